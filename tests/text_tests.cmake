# Value probes, method timing and test-case events.
set(QEL_TEXT_TEST_SUPPORT ${CMAKE_CURRENT_SOURCE_DIR}/support)

# Formatting of value items, buffer handling, and the probes end to end
# through the runtime instance.
qel_add_test(qel_print_test SOURCES qel_print_test.cpp LIBS qelmq_core PORTS TIMEOUT 120)
target_include_directories(qel_print_test PRIVATE ${QEL_TEXT_TEST_SUPPORT})

# The twin text senders: framing, order, pacing at shutdown, leave operation.
qel_add_test(text_sender_test SOURCES text_sender_test.cpp LIBS qelmq_core PORTS TIMEOUT 120)
target_include_directories(text_sender_test PRIVATE ${QEL_TEXT_TEST_SUPPORT})

# Test-case events.
qel_add_test(unitest_sender_test SOURCES unitest_sender_test.cpp LIBS qelmq_core PORTS TIMEOUT 120)
target_include_directories(unitest_sender_test PRIVATE ${QEL_TEXT_TEST_SUPPORT})
