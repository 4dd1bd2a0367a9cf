# Tests of the sample project (orrin) and the test driver (orrin_drive).

# The sample's functions themselves, including what the driver cannot reach.
qel_add_test(sample_functions_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/sample_functions_test.cpp
  LIBS orrin_funcs
  LABELS driver)

# The program orrin as a whole.
qel_add_test(sample_program_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/sample_program_test.cpp
  LABELS driver)
target_compile_definitions(sample_program_test PRIVATE ORRIN_PROGRAM="$<TARGET_FILE:orrin>")
add_dependencies(sample_program_test orrin)

# Reading test vectors and building arguments, in process.
qel_add_test(driver_vectors_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/driver_vectors_test.cpp
  LIBS orrin_drive_core
  LABELS driver)

# What an isolated test case's child process hands back, in process.
qel_add_test(driver_isolation_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/driver_isolation_test.cpp
  LIBS qel_drive_runner
  LABELS driver)

# orrin_drive as a program: whole standard output, byte for byte, and the
# handling of bad vectors.
qel_add_test(driver_run_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/driver_run_test.cpp
  LABELS driver)
target_compile_definitions(driver_run_test PRIVATE
  ORRIN_DRIVE="$<TARGET_FILE:orrin_drive>"
  ORRIN_GOLDEN_DIR="${CMAKE_CURRENT_SOURCE_DIR}/golden")
add_dependencies(driver_run_test orrin_drive)
