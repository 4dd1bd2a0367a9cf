#pragma once
// Counters in the program: the units that registered their counters, the
// blocks of counters each thread increments, and the reading of what they
// counted since the last reading. What the counts turn into (records for
// the senders) is counter_harvest's business, above this layer.
#include <cstdint>
#include <string>
#include <vector>

#include "qelmq/probes.h"
#include "qelmq/protocol/counter_paths.h"
#include "qelmq/protocol/counters.h"

// The structures of the registration ABI, as every counted unit defines them.
QEL_COUNTERS_DECLARATIONS

namespace qel_counters {

// What one unit counted since the last reading, by block index.
struct UnitChanges {
  const __qel_unit* desc;
  const uint64_t* delta;  // desc->counters of them
  // The unit has not announced its identity in this process yet (it does
  // with these changes, which may all be zero).
  bool announce;
  // Its decisions counted by paths, each decoded path by index (empty for a
  // decision whose descriptor the runtime refused).
  const std::vector<std::vector<qel_wire::DecisionPath>>* paths;
  // The path of the program or library the unit lives in ("" when unknown).
  const std::string* module;
};

// Reads every unit (or only `only`) and calls `visit` for each that changed
// or has yet to announce itself; what it reads becomes the new baseline, so
// each count is handed out exactly once. Waits for the registry's lock at
// most `wait_ms` (UINT32_MAX: as long as it takes), and returns false when
// it could not have it (its holder may be a thread that crashed).
using Visit = void (*)(const UnitChanges& changes, void* context);
bool read_changes(Visit visit, void* context, uint32_t wait_ms, const __qel_reg* only = nullptr);

// True when some unit counted something that was not read yet, or has not
// announced itself (cheap enough for the exit path).
bool changes_pending();

// Hooks of the layer above, set once by the bootstrap (release; the
// registry loads them with acquire):
//  * `leaving(reg)`: a unit is about to unregister; its counts so far must
//    go to the senders now (it calls read_changes with `only`);
//  * `first_block()`: a thread took a block (the slow path, called by a
//    thread's first call into a unit): the runtime instance of this
//    process must exist.
struct Hooks {
  void (*leaving)(const __qel_reg* reg);
  void (*first_block)();
};
void set_hooks(const Hooks& hooks);

// Registered units and blocks handed out (tests and traces).
struct Stats {
  uint32_t units = 0;
  uint32_t blocks = 0;
  uint32_t threads = 0;      // thread records, in use or free
  uint64_t shared_uses = 0;  // times a thread was given a unit's shared counters
};
Stats stats();

}  // namespace qel_counters
