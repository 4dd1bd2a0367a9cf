# A program that crashes or leaves still delivers its data; the C API.

add_executable(crash_probe programs/crash_probe.c)
target_link_libraries(crash_probe PRIVATE QELMQLib)
add_executable(c_api_probe programs/c_api_probe.c)
target_link_libraries(c_api_probe PRIVATE QELMQLib)
add_executable(leave_cxx_probe programs/leave_cxx_probe.cpp)
target_link_libraries(leave_cxx_probe PRIVATE QELMQLib)
# Compiled as C: no C++ reaches these programs but through the library.
set_source_files_properties(programs/crash_probe.c programs/c_api_probe.c PROPERTIES LANGUAGE C)

qel_add_test(runtime_crash_test SOURCES runtime_crash_test.cpp PORTS TIMEOUT 180 LABELS runtime)
add_dependencies(runtime_crash_test crash_probe c_api_probe leave_cxx_probe)
target_link_libraries(runtime_crash_test PRIVATE PkgConfig::ZMQ)
target_compile_definitions(runtime_crash_test PRIVATE
  QEL_CRASH_PROBE="$<TARGET_FILE:crash_probe>"
  QEL_C_API_PROBE="$<TARGET_FILE:c_api_probe>"
  QEL_LEAVE_CXX_PROBE="$<TARGET_FILE:leave_cxx_probe>")

# Lock and time bounds of leave operations.
qel_add_test(leave_bounds_test SOURCES leave_bounds_test.cpp LIBS qelmq_core TIMEOUT 60 LABELS runtime)

# The crash guard's shared part: causes, requests from many threads, arm and disarm.
qel_add_test(crash_guard_test SOURCES crash_guard_test.cpp LIBS qelmq_core TIMEOUT 60 LABELS runtime)
