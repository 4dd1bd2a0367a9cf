# Delivery to the collector: the spool as qelcollect reads it and the run's
# private directory (the runtime's side is in runtime_tests.cmake and
# runtime_exit_tests.cmake).
if(TARGET qelcollect_core)
  qel_add_test(collector_spool_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/collector_spool_test.cpp
               LIBS qelcollect_core TIMEOUT 60 LABELS collector)
endif()
# Processes that reach `qelcollect -- COMMAND` through the spool only.
if(TARGET qelcollect_testfeed AND TARGET qelcollect)
  qel_add_test(collector_spool_run_test
               SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/collector_spool_run_test.cpp
               PORTS TIMEOUT 120 LABELS collector)
  target_compile_definitions(collector_spool_run_test PRIVATE
    QELCOLLECT_EXE="$<TARGET_FILE:qelcollect>"
    QELCOLLECT_FEED="$<TARGET_FILE:qelcollect_testfeed>")
  add_dependencies(collector_spool_run_test qelcollect qelcollect_testfeed)
endif()
