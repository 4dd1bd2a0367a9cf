#pragma once
// Counters in the program, read into the senders: what every counted unit
// counted since the last reading becomes node, condition and MC/DC records
// in the senders' insert maps (and the identity of units that have not
// announced themselves, and wide MC/DC vectors, messages of their own), so
// the aggregating senders send counts exactly as they send what the
// call-per-event probes record.
#include <cstdint>

class thread_exit;
struct __qel_reg;

namespace qel_harvest {

// Reads every unit (or only `only`) into the senders of `inst`. Waits at
// most `wait_ms` for each lock (UINT32_MAX: as long as it takes); false when
// a lock could not be had, and what it guards stays for a later reading.
bool harvest(thread_exit* inst, uint32_t wait_ms, const __qel_reg* only = nullptr);

// harvest(), for a reading on a program's thread that must not wait for a
// collector (`modules_later`): the modules its units name are announced by
// the next reading without it, the shutdown's at the latest.
bool harvest_counts(thread_exit* inst, uint32_t wait_ms, const __qel_reg* only, bool modules_later);

// How often the insert thread reads the counters.
constexpr uint32_t kPeriodMs = 100;

// Called by the bootstrap of `inst`: leave operations and unregistering
// units read the counters first, and a thread's first counter block makes
// sure an instance exists.
void install();

// The exit of a process that counted but has no instance of its own (a
// forked child, or a program that called QelExit and counted on): starts
// one, so that its shutdown sends the counts. True when it did.
bool start_instance_for_counts();

}  // namespace qel_harvest
