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
