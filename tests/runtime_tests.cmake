# Probe runtime: queue, bootstrap, property channel, coverage probes.
set(QEL_TEST_SUPPORT ${CMAKE_CURRENT_SOURCE_DIR}/support)

qel_add_test(ring_queue_test SOURCES ring_queue_test.cpp LIBS qelmq_core)
