# Coverage reports: the model and every output format for a project the
# size of cJSON.
if(TARGET qelcollect_core)
  add_executable(reports_bench ${CMAKE_CURRENT_SOURCE_DIR}/reports_bench.cpp)
  target_link_libraries(reports_bench PRIVATE qelcollect_core benchmark::benchmark Threads::Threads)
  qel_warnings(reports_bench)
endif()
