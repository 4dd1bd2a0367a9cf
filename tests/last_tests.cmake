# Memory tracking, the leak report and the crash sender.

# Report lines, ordering and concurrent use; one suite through the property
# socket on port 15559.
qel_add_test(leak_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/leak_test.cpp
  LIBS qelmq_core
  PORTS
  TIMEOUT 120
  LABELS last)

# Encoders, the last-data cycle on port 15562 and crash reports.
qel_add_test(last_sender_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/last_sender_test.cpp
  LIBS qelmq_core
  PORTS
  TIMEOUT 120
  LABELS last)
