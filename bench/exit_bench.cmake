# Load-to-exit time with and without the runtime (needs the fixed ports for
# the collector case).
add_executable(exit_bench exit_bench.cpp)
target_link_libraries(exit_bench PRIVATE benchmark::benchmark PkgConfig::ZMQ Threads::Threads)
add_dependencies(exit_bench qel_hello plain_hello)
# The plain program built through qelcc (counters in the program).
set(counted_hello ${CMAKE_CURRENT_BINARY_DIR}/counted_hello)
if(TARGET qelcc)
  add_custom_command(
    OUTPUT ${counted_hello}
    COMMAND $<TARGET_FILE:qelcc> --map-dir=${CMAKE_CURRENT_BINARY_DIR}/counted_hello_maps
            ${CMAKE_C_COMPILER} -O2 ${CMAKE_CURRENT_SOURCE_DIR}/plain_hello.c -o ${counted_hello}
    DEPENDS plain_hello.c qelcc QELMQLib
    COMMENT "Building plain_hello through qelcc")
  add_custom_target(counted_hello_program DEPENDS ${counted_hello})
  add_dependencies(exit_bench counted_hello_program)
endif()
target_compile_definitions(exit_bench PRIVATE
  QEL_HELLO="$<TARGET_FILE:qel_hello>" QEL_PLAIN="$<TARGET_FILE:plain_hello>"
  QEL_COUNTED_HELLO="${counted_hello}")
qel_warnings(exit_bench)
