# Delivery to the collector: the spool as qelcollect reads it and the run's
# private directory (the runtime's side is in runtime_tests.cmake and
# runtime_exit_tests.cmake).
if(TARGET qelcollect_core)
  qel_add_test(collector_spool_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/collector_spool_test.cpp
               LIBS qelcollect_core TIMEOUT 60 LABELS collector)
endif()
