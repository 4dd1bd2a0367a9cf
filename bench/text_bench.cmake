# Value probes: cost of formatting items on the caller's thread.
add_executable(text_probe_bench ${CMAKE_CURRENT_SOURCE_DIR}/text_probe_bench.cpp)
target_link_libraries(text_probe_bench PRIVATE qelmq_core benchmark::benchmark Threads::Threads)
qel_warnings(text_probe_bench)
