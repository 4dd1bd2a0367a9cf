add_library(qel_gcov_loop OBJECT gcov_loop.c)
target_compile_options(qel_gcov_loop PRIVATE --coverage -fprofile-update=atomic)
add_executable(plain_hello plain_hello.c)

add_executable(probe_bench probe_bench.cpp $<TARGET_OBJECTS:qel_gcov_loop>)
target_link_libraries(probe_bench PRIVATE qelmq_core benchmark::benchmark Threads::Threads --coverage)
add_dependencies(probe_bench qel_hello plain_hello)
target_compile_definitions(probe_bench PRIVATE
  QEL_HELLO="$<TARGET_FILE:qel_hello>" QEL_PLAIN="$<TARGET_FILE:plain_hello>")
qel_warnings(probe_bench)

# Linked to the shared library, as instrumented programs are.
add_executable(thread_bench thread_bench.cpp $<TARGET_OBJECTS:qel_gcov_loop>)
target_link_libraries(thread_bench PRIVATE QELMQLib benchmark::benchmark Threads::Threads --coverage)
qel_warnings(thread_bench)
