# Probes under threads: per-thread staging of coverage records.

qel_add_test(thread_stage_test SOURCES thread_stage_test.cpp LIBS qelmq_core PORTS)
