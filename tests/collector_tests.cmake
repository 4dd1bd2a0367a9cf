# Collector: decoders, report, receive loop and command line; the
# end-to-end run of the demo needs the runtime and the examples.
if(TARGET qelcollect_core)
  # Stands in for an instrumented program in the collector's tests.
  add_executable(qelcollect_testfeed ${CMAKE_CURRENT_SOURCE_DIR}/support/testfeed.cpp)
  target_link_libraries(qelcollect_testfeed PRIVATE qelcollect_core)
  qel_warnings(qelcollect_testfeed)

  qel_add_test(collector_decode_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/collector_decode_test.cpp
               LIBS qelcollect_core TIMEOUT 60 LABELS collector)
  qel_add_test(collector_report_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/collector_report_test.cpp
               LIBS qelcollect_core TIMEOUT 60 LABELS collector)
  # Program maps read during the run against the same maps read at its end.
  qel_add_test(collector_early_maps_test
               SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/collector_early_maps_test.cpp
               LIBS qelcollect_core qel_map_section TIMEOUT 60 LABELS collector)
  # Uses ports well away from the runtime's, so it needs no port lock.
  qel_add_test(collector_receive_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/collector_receive_test.cpp
               LIBS qelcollect_core TIMEOUT 120 LABELS collector)
  target_compile_definitions(collector_receive_test PRIVATE
    QELCOLLECT_EXE="$<TARGET_FILE:qelcollect>"
    QELCOLLECT_FEED="$<TARGET_FILE:qelcollect_testfeed>")
  add_dependencies(collector_receive_test qelcollect qelcollect_testfeed)

  # The hand-instrumented parcel module: fixed node and condition numbers.
  if(TARGET QELMQLib)
    add_executable(qel_demo_hand ${CMAKE_CURRENT_SOURCE_DIR}/programs/parcel_hand.c
                   ${PROJECT_SOURCE_DIR}/examples/parcel_demo.cpp)
    target_include_directories(qel_demo_hand PRIVATE ${PROJECT_SOURCE_DIR}/examples)
    target_link_libraries(qel_demo_hand PRIVATE QELMQLib)
    qel_warnings(qel_demo_hand)
  endif()
  if(TARGET qel_demo_hand)
    qel_add_test(collector_e2e_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/collector_e2e_test.cpp
                 LIBS qelcollect_core PkgConfig::JSONCPP PORTS TIMEOUT 180 LABELS collector)
    target_compile_definitions(collector_e2e_test PRIVATE
      QELCOLLECT_EXE="$<TARGET_FILE:qelcollect>"
      QEL_DEMO_EXE="$<TARGET_FILE:qel_demo_hand>")
    add_dependencies(collector_e2e_test qelcollect qel_demo_hand)
  endif()
endif()
