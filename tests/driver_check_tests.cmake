# orrin_drive as a test runner: expectations and verdicts, every test case,
# filters, isolation, JUnit and TAP, and its error messages.

add_executable(fixture_drive ${CMAKE_CURRENT_SOURCE_DIR}/driver_fixture/fixture_drive.cpp)
target_link_libraries(fixture_drive PRIVATE qel_drive_runner)
qel_warnings(fixture_drive)

# Comparing expectations and writing reports, in process.
qel_add_test(driver_expect_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/driver_expect_test.cpp
  LIBS qel_drive_runner
  LABELS driver)

qel_add_test(driver_check_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/driver_check_test.cpp
  LABELS driver)
find_program(QEL_XMLLINT xmllint)
target_compile_definitions(driver_check_test PRIVATE
  ORRIN_DRIVE="$<TARGET_FILE:orrin_drive>"
  FIXTURE_DRIVE="$<TARGET_FILE:fixture_drive>"
  ORRIN_GOLDEN_DIR="${CMAKE_CURRENT_SOURCE_DIR}/golden"
  JUNIT_XSD="${CMAKE_CURRENT_SOURCE_DIR}/driver_fixture/junit.xsd"
  XMLLINT="${QEL_XMLLINT}")
add_dependencies(driver_check_test orrin_drive fixture_drive)
