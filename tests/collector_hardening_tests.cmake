# Collector against hostile senders: huge, crafted and multipart messages on
# loopback sockets. Ephemeral ports (and one far from the runtime's), so no
# port lock is needed.
if(TARGET qelcollect_core)
  qel_add_test(collector_hostile_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/collector_hostile_test.cpp
               LIBS qelcollect_core TIMEOUT 300 LABELS collector)
  target_compile_definitions(collector_hostile_test PRIVATE QELCOLLECT_EXE="$<TARGET_FILE:qelcollect>")
  add_dependencies(collector_hostile_test qelcollect)
endif()
