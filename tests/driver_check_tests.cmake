# orrin_drive as a test runner: expectations and verdicts, every test case,
# filters, isolation, JUnit and TAP, and its error messages.

add_executable(fixture_drive ${CMAKE_CURRENT_SOURCE_DIR}/driver_fixture/fixture_drive.cpp)
target_link_libraries(fixture_drive PRIVATE qel_drive_runner)
qel_warnings(fixture_drive)

# Comparing expectations and writing reports, in process.
qel_add_test(driver_expect_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/driver_expect_test.cpp
  LIBS qel_drive_runner qeltools_text
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

# The driver linked with the probe runtime sends the test-case events.
add_executable(orrin_drive_events ${PROJECT_SOURCE_DIR}/driver/main.cpp
                                  ${PROJECT_SOURCE_DIR}/driver/runner/events.cpp)
target_link_libraries(orrin_drive_events PRIVATE orrin_drive_core QELMQLib)
target_compile_definitions(orrin_drive_events PRIVATE QEL_DRIVER_TESTCASE_EVENTS=1
  ORRIN_PROJECT_ROOT="${PROJECT_SOURCE_DIR}/sample")
qel_warnings(orrin_drive_events)
qel_add_test(driver_events_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/driver_events_test.cpp
  LIBS PkgConfig::ZMQ
  PORTS
  LABELS driver)
target_compile_definitions(driver_events_test PRIVATE
  ORRIN_DRIVE_EVENTS="$<TARGET_FILE:orrin_drive_events>")
add_dependencies(driver_events_test orrin_drive_events)
