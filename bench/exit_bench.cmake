# Load-to-exit time with and without the runtime (needs the fixed ports for
# the collector case).
add_executable(exit_bench exit_bench.cpp)
target_link_libraries(exit_bench PRIVATE benchmark::benchmark PkgConfig::ZMQ Threads::Threads)
add_dependencies(exit_bench qel_hello plain_hello)
target_compile_definitions(exit_bench PRIVATE
  QEL_HELLO="$<TARGET_FILE:qel_hello>" QEL_PLAIN="$<TARGET_FILE:plain_hello>")
qel_warnings(exit_bench)
