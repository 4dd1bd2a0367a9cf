# Probe runtime: queue, bootstrap, property channel, coverage probes.

qel_add_test(ring_queue_test SOURCES ring_queue_test.cpp LIBS qelmq_core)
qel_add_test(config_test SOURCES config_test.cpp LIBS qelmq_core)
qel_add_test(port_test SOURCES port_test.cpp LIBS qelmq_core)
qel_add_test(counter_blocks_test SOURCES counter_blocks_test.cpp LIBS qelmq_core)
qel_add_test(coverage_probe_test SOURCES coverage_probe_test.cpp LIBS qelmq_core PORTS)
qel_add_test(property_channel_test SOURCES property_channel_test.cpp LIBS qelmq_core PORTS)
qel_add_test(coverage_e2e_test SOURCES coverage_e2e_test.cpp LIBS qelmq_core PORTS)

add_executable(fork_probe programs/fork_probe.c)
target_link_libraries(fork_probe PRIVATE QELMQLib)
add_executable(thread_life programs/thread_life.c)
target_link_libraries(thread_life PRIVATE QELMQLib)
add_executable(dl_cycle programs/dl_cycle.c)
target_link_libraries(dl_cycle PRIVATE ${CMAKE_DL_LIBS})
qel_add_test(bootstrap_test SOURCES bootstrap_test.cpp PORTS)
add_dependencies(bootstrap_test qel_hello fork_probe dl_cycle thread_life QELMQLib)
target_compile_definitions(bootstrap_test PRIVATE
  QEL_HELLO="$<TARGET_FILE:qel_hello>"
  QEL_FORK_PROBE="$<TARGET_FILE:fork_probe>"
  QEL_THREAD_LIFE="$<TARGET_FILE:thread_life>"
  QEL_DL_CYCLE="$<TARGET_FILE:dl_cycle>"
  QEL_LIB="$<TARGET_FILE:QELMQLib>")

# A C project consumes the installed runtime (sanitizer builds would need
# the consumer built with the same runtime, so only the plain build runs it).
if(QEL_SANITIZE STREQUAL "")
  add_test(NAME install_consumer_test
           COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/programs/install_consumer.sh ${PROJECT_BINARY_DIR})
  set_tests_properties(install_consumer_test PROPERTIES RESOURCE_LOCK qel_fixed_ports TIMEOUT 300)
endif()

# The spool writer, read back with qelcollect's spool reader.
qel_add_test(runtime_spool_test SOURCES runtime_spool_test.cpp LIBS qelmq_core qelcollect_core)

# ZeroMQ loaded at first need; a short process with a spool that needs none.
qel_add_test(runtime_lazy_zmq_test SOURCES runtime_lazy_zmq_test.cpp LIBS qelmq_core qelcollect_core)
