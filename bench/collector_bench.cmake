# Collector throughput: decoding alone, and node messages over loopback
# through the collector against a bare receiver.
if(TARGET qelcollect_core)
  add_executable(collector_receive_bench ${CMAKE_CURRENT_SOURCE_DIR}/collector_receive_bench.cpp)
  target_link_libraries(collector_receive_bench PRIVATE qelcollect_core benchmark::benchmark Threads::Threads)
  qel_warnings(collector_receive_bench)
endif()
