# qelgen: the generated sample driver passes the hand-written driver's golden
# and runner tests unchanged; a driver for a second project of its own.
if(TARGET orrin_drive_generated)
  qel_add_test(qelgen_sample_run_test
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/driver_run_test.cpp
    LABELS driver qelgen)
  target_compile_definitions(qelgen_sample_run_test PRIVATE
    ORRIN_DRIVE="$<TARGET_FILE:orrin_drive_generated>"
    ORRIN_GOLDEN_DIR="${CMAKE_CURRENT_SOURCE_DIR}/golden")
  add_dependencies(qelgen_sample_run_test orrin_drive_generated)

  qel_add_test(qelgen_sample_check_test
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/driver_check_test.cpp
    LABELS driver qelgen)
  target_compile_definitions(qelgen_sample_check_test PRIVATE
    ORRIN_DRIVE="$<TARGET_FILE:orrin_drive_generated>"
    FIXTURE_DRIVE="$<TARGET_FILE:fixture_drive>"
    ORRIN_GOLDEN_DIR="${CMAKE_CURRENT_SOURCE_DIR}/golden"
    JUNIT_XSD="${CMAKE_CURRENT_SOURCE_DIR}/driver_fixture/junit.xsd"
    XMLLINT="${QEL_XMLLINT}")
  add_dependencies(qelgen_sample_check_test orrin_drive_generated fixture_drive)
endif()

# A second project of its own: generated at build time, run on its vectors.
if(TARGET qelgen)
  set(QELGEN_DEMO_DIR ${CMAKE_CURRENT_SOURCE_DIR}/qelgen_demo)
  set(QELGEN_DEMO_SOURCES ${QELGEN_DEMO_DIR}/src/geometry.c ${QELGEN_DEMO_DIR}/src/text.c)
  set(QELGEN_DEMO_DRIVER ${CMAKE_CURRENT_BINARY_DIR}/qelgen_demo_drive.cpp)
  add_custom_command(
    OUTPUT ${QELGEN_DEMO_DRIVER}
    COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0 TSAN_OPTIONS=report_bugs=0
            LIBCLANG_NOTHREADS=1
            $<TARGET_FILE:qelgen> -o ${QELGEN_DEMO_DRIVER} --include demo.h
            --program demo_drive --root ${QELGEN_DEMO_DIR}
            ${QELGEN_DEMO_SOURCES} -- -I${QELGEN_DEMO_DIR}/src
    DEPENDS qelgen ${QELGEN_DEMO_SOURCES} ${QELGEN_DEMO_DIR}/src/demo.h
    COMMENT "qelgen: the demo project's driver"
    VERBATIM)
  add_library(qelgen_demo_funcs STATIC ${QELGEN_DEMO_SOURCES})
  target_include_directories(qelgen_demo_funcs PUBLIC ${QELGEN_DEMO_DIR}/src)
  target_link_libraries(qelgen_demo_funcs PUBLIC m)
  add_executable(qelgen_demo_drive ${QELGEN_DEMO_DRIVER})
  target_link_libraries(qelgen_demo_drive PRIVATE qelgen_demo_funcs qel_drive_runner)
  qel_warnings(qelgen_demo_drive)

  qel_add_test(qelgen_demo_test
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/qelgen_demo_test.cpp
    LABELS qelgen)
  target_compile_definitions(qelgen_demo_test PRIVATE
    QELGEN="$<TARGET_FILE:qelgen>"
    DEMO_DRIVE="$<TARGET_FILE:qelgen_demo_drive>"
    DEMO_DIR="${QELGEN_DEMO_DIR}")
  add_dependencies(qelgen_demo_test qelgen qelgen_demo_drive)
endif()
