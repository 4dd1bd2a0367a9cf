# The runtime at exit and with many processes: prompt exit, no hang without a
# collector, QELMQ_CONFIG / QELMQ_TRACE, `qelcollect -- COMMAND` fan-in.

add_executable(node_counter programs/node_counter.c)
target_link_libraries(node_counter PRIVATE QELMQLib)
qel_warnings(node_counter)
add_executable(value_flood programs/value_flood.c)
target_link_libraries(value_flood PRIVATE QELMQLib)
qel_warnings(value_flood)
add_executable(filter_probe programs/filter_probe.c)
target_link_libraries(filter_probe PRIVATE QELMQLib)
qel_warnings(filter_probe)
add_executable(short_probe programs/short_probe.c)
target_link_libraries(short_probe PRIVATE QELMQLib)
qel_warnings(short_probe)
# The independent collector of the bind-mode test is Python with the
# distribution's ZeroMQ binding (python3-zmq): that interpreter, not one an
# environment manager put first on the PATH.
find_program(QEL_SYSTEM_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(NOT QEL_SYSTEM_PYTHON3)
  set(QEL_SYSTEM_PYTHON3 /usr/bin/python3)
endif()

# qelcollect's spool reader reads what the runtime spooled.
qel_add_test(runtime_exit_test SOURCES runtime_exit_test.cpp LIBS PkgConfig::ZMQ qelcollect_core
             PORTS TIMEOUT 600)
add_dependencies(runtime_exit_test qel_hello node_counter value_flood filter_probe short_probe
                 qelcollect QELMQLib)
target_compile_definitions(runtime_exit_test PRIVATE
  QEL_HELLO="$<TARGET_FILE:qel_hello>"
  QEL_NODE_COUNTER="$<TARGET_FILE:node_counter>"
  QEL_VALUE_FLOOD="$<TARGET_FILE:value_flood>"
  QEL_FILTER_PROBE="$<TARGET_FILE:filter_probe>"
  QEL_SHORT_PROBE="$<TARGET_FILE:short_probe>"
  QEL_PYTHON3="${QEL_SYSTEM_PYTHON3}"
  QEL_BIND_COLLECTOR="${CMAKE_CURRENT_SOURCE_DIR}/programs/bind_collector.py"
  QELCOLLECT="$<TARGET_FILE:qelcollect>")

# The installed kit (plain build only, like install_consumer_test).
if(QEL_SANITIZE STREQUAL "")
  add_test(NAME install_version_test
           COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/programs/install_version.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(install_version_test PROPERTIES RESOURCE_LOCK qel_fixed_ports TIMEOUT 300)
endif()

qel_add_test(runtime_delete_test SOURCES runtime_delete_test.cpp LIBS qelmq_core)
