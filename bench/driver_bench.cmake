# Test driver: all of the sample's vectors, each test case in a child process.
add_executable(driver_isolation_bench ${CMAKE_CURRENT_SOURCE_DIR}/driver_isolation_bench.cpp)
target_link_libraries(driver_isolation_bench PRIVATE benchmark::benchmark qeltools_process)
target_include_directories(driver_isolation_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
target_compile_definitions(driver_isolation_bench PRIVATE
  ORRIN_DRIVE="$<TARGET_FILE:orrin_drive>")
add_dependencies(driver_isolation_bench orrin_drive)
qel_warnings(driver_isolation_bench)
