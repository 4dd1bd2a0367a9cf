# The protocol: its layouts, every message kind from the runtime's encoders
# through the collector's decoders, and the runtime's include layers.
if(TARGET qelcollect_core)
  qel_add_test(protocol_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/protocol_test.cpp
               LIBS qelmq_core qelcollect_core TIMEOUT 60)
endif()
add_test(NAME runtime_layers COMMAND ${CMAKE_COMMAND} -P ${PROJECT_SOURCE_DIR}/runtime/layers.cmake)
