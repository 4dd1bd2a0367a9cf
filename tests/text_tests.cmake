# Value probes, method timing and test-case events.

# Formatting of value items, buffer handling, and the probes end to end
# through the runtime instance.
qel_add_test(qel_print_test SOURCES qel_print_test.cpp LIBS qelmq_core PORTS TIMEOUT 120)

# The twin text senders: framing, order, pacing at shutdown, leave operation.
qel_add_test(text_sender_test SOURCES text_sender_test.cpp LIBS qelmq_core PORTS TIMEOUT 120)

# Test-case events.
qel_add_test(unitest_sender_test SOURCES unitest_sender_test.cpp LIBS qelmq_core PORTS TIMEOUT 120)
