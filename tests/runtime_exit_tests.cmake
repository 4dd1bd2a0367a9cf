# The runtime at exit and with many processes: prompt exit, no hang without a
# collector, QELMQ_CONFIG / QELMQ_TRACE, `qelcollect -- COMMAND` fan-in.

add_executable(node_counter programs/node_counter.c)
target_link_libraries(node_counter PRIVATE QELMQLib)
qel_warnings(node_counter)
add_executable(value_flood programs/value_flood.c)
target_link_libraries(value_flood PRIVATE QELMQLib)
qel_warnings(value_flood)

qel_add_test(runtime_exit_test SOURCES runtime_exit_test.cpp LIBS PkgConfig::ZMQ PORTS TIMEOUT 600)
add_dependencies(runtime_exit_test qel_hello node_counter value_flood qelcollect QELMQLib)
target_compile_definitions(runtime_exit_test PRIVATE
  QEL_HELLO="$<TARGET_FILE:qel_hello>"
  QEL_NODE_COUNTER="$<TARGET_FILE:node_counter>"
  QEL_VALUE_FLOOD="$<TARGET_FILE:value_flood>"
  QELCOLLECT="$<TARGET_FILE:qelcollect>")

# The installed kit (plain build only, like install_consumer_test).
if(QEL_SANITIZE STREQUAL "")
  add_test(NAME install_version_test
           COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/programs/install_version.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(install_version_test PROPERTIES RESOURCE_LOCK qel_fixed_ports TIMEOUT 300)
endif()

qel_add_test(runtime_delete_test SOURCES runtime_delete_test.cpp LIBS qelmq_core)
