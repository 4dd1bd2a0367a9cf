# Memory tracking: cost of QelNew/QelDelete against plain malloc/free, with
# several threads, and while leak reports read the table.
add_executable(leak_new_delete_bench ${CMAKE_CURRENT_SOURCE_DIR}/leak_new_delete_bench.cpp)
target_link_libraries(leak_new_delete_bench PRIVATE qelmq_core benchmark::benchmark Threads::Threads)
qel_warnings(leak_new_delete_bench)
