// Counters in the program, read into the senders' maps.
//
// Design
// ------
// Any thread may read (the insert thread every kPeriodMs, the shutdown,
// leave operations on the program's threads, a unit's destructor, the exec
// wrappers); counter_blocks serialises the readings and hands out each
// count once. A reading turns counts into records on the reading thread's
// stack, then adds them to each sender under that sender's `mutex`, the lock
// the insert thread holds when it moves queued records: the maps see one
// consistent window, and the rings of the latest records have one producer
// at a time. No lock of this file is held while another is taken: the
// registry's lock is released before any sender's.
//
// From a decision's path counts: its outcome counts (its own condition
// records, and the nodes it counts: true_node, false_node), each leaf's
// true and false counts (over the paths that evaluated it), and one MC/DC
// vector per path with the path's count: a record for up to 16 conditions,
// a wide message for 17 to 64.
#include "counter_harvest.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>
#include <vector>

#include "counter_blocks.h"
#include "net.h"
#include "port.h"
#include "qelmq/QelSendCond.h"
#include "qelmq/QelSendDD.h"
#include "qelmq/QelSendLast.h"
#include "qelmq/QelSendMCDC.h"
#include "qelmq/QelSendProperty.h"
#include "qelmq/protocol/messages.h"
#include "qelmq/thread_exit.h"
#include "staged_drain.h"
#include "sync.h"

namespace qel_harvest {
namespace {

using Counted = std::vector<std::pair<uint64_t, uint64_t>>;
using Pending = std::vector<qel_senders::PendingMessage>;

struct Batch {
  thread_exit* inst;
  bool little;
  bool mcdc;  // MC/DC records wanted (no_mcdc not set)
  Counted node, cond, mcdc_records;
  Pending node_pending, mcdc_pending;
  // Modules whose units announce themselves in this reading, each once.
  std::vector<std::string> modules;
};

void pend(Pending& out, const uint8_t* bytes, std::size_t len, std::size_t seq_at) {
  qel_senders::PendingMessage m;
  std::memcpy(m.bytes, bytes, len);
  m.length = static_cast<uint8_t>(len);
  m.seq_at = static_cast<uint8_t>(seq_at);
  out.push_back(m);
}

// The first MC/DC record of the process latches its unit's group, as the
// first QelExp latches its argument (relaxed: a plain latch).
void latch_group(thread_exit* inst, uint16_t group) {
  if (firstMcdc.load(std::memory_order_relaxed) != 1) return;
  firstMcdc.store(2, std::memory_order_relaxed);
  if (inst->sendMCDC) inst->sendMCDC->groupId.store(group, std::memory_order_relaxed);
  if (inst->sendLast) inst->sendLast->groupId.store(group, std::memory_order_relaxed);
}

void add_decision(Batch& b, const __qel_unit* d, const __qel_decision& x,
                  const std::vector<qel_wire::DecisionPath>& paths, const uint64_t* delta) {
  uint64_t outcome[2] = {0, 0};
  std::vector<uint64_t> leaf(2u * x.conditions, 0);  // [2c]: false, [2c + 1]: true
  for (uint32_t p = 0; p < x.paths; ++p) {
    const uint64_t n = delta[x.first + p];
    if (n == 0) continue;
    const qel_wire::DecisionPath& path = paths[p];
    outcome[path.outcome] += n;
    for (int c = 0; c < x.conditions; ++c)
      if (path.evaluated >> c & 1) leaf[2u * c + (path.held >> c & 1)] += n;
    if (!b.mcdc) continue;
    latch_group(b.inst, d->group);
    if (x.conditions <= qel_wire::kConditionSlots) {
      b.mcdc_records.emplace_back(
          qel_wire::mcdc_record(d->unit, x.decision, path.outcome, path.codes.word[0]), n);
      continue;
    }
    const uint16_t group =
        b.inst->sendMCDC ? b.inst->sendMCDC->groupId.load(std::memory_order_relaxed) : d->group;
    for (uint64_t left = n; left > 0;) {
      const uint64_t part = left < qel_wire::kMaxWireCount ? left : qel_wire::kMaxWireCount;
      left -= part;
      uint8_t msg[sizeof(qel_wire::WideMcdcMessage)];
      const std::size_t len =
          qel_wire::encode_wide_mcdc(d->unit, x.decision, path.outcome, path.codes, x.conditions,
                                     group, static_cast<int32_t>(part), 0, b.little, msg);
      pend(b.mcdc_pending, msg, len, qel_wire::kWideMcdcSeqOffset);
    }
  }
  for (int o = 0; o < 2; ++o) {
    if (!outcome[o]) continue;
    b.cond.emplace_back(qel_wire::cond_record(d->unit, x.cond, o == 1, d->group, b.little),
                        outcome[o]);
    const unsigned node = o == 1 ? x.true_node : x.false_node;
    if (node) b.node.emplace_back(qel_wire::node_record(d->unit, node, 0, b.little), outcome[o]);
  }
  for (int c = 0; c < x.conditions; ++c)
    for (int v = 0; v < 2; ++v)
      if (uint64_t n = leaf[2u * c + v])
        b.cond.emplace_back(qel_wire::cond_record(d->unit, x.leaf[c], v == 1, d->group, b.little),
                            n);
}

void visit(const qel_counters::UnitChanges& c, void* context) {
  Batch& b = *static_cast<Batch*>(context);
  const __qel_unit* d = c.desc;
  if (c.announce) {
    uint8_t msg[sizeof(qel_wire::UnitIdentityMessage)];
    const uint64_t identity = uint64_t{d->identity_high} << 32 | d->identity_low;
    const std::size_t len = qel_wire::encode_unit_identity(d->unit, identity, 0, b.little, msg);
    pend(b.node_pending, msg, len, qel_wire::kUnitIdentitySeqOffset);
    if (c.module && !c.module->empty() &&
        std::find(b.modules.begin(), b.modules.end(), *c.module) == b.modules.end())
      b.modules.push_back(*c.module);
  }
  for (uint32_t k = 0; k < d->nodes; ++k)
    if (c.delta[k])
      b.node.emplace_back(qel_wire::node_record(d->unit, k + 1, 0, b.little), c.delta[k]);
  for (unsigned i = 0; i < d->decisions; ++i)
    if (!(*c.paths)[i].empty()) add_decision(b, d, d->decision[i], (*c.paths)[i], c.delta);
}

// Adds `records` (and `pending`) to `sender` under its lock, and the latest
// of them to the crash sender's ring.
template <typename Sender>
bool hand_over(Sender* sender, const Counted& records, const Pending& pending,
               QelSendLast::Ring* ring, uint32_t wait_ms) {
  if (!sender || (records.empty() && pending.empty())) return true;
  auto add = [&]() {
    for (const auto& r : records) sender->add_locked(r.first, r.second);
    for (const auto& m : pending) sender->add_pending_locked(m);
    if (ring) {
      const std::size_t from = records.size() > 50 ? records.size() - 50 : 0;
      for (std::size_t i = from; i < records.size(); ++i)
        QelSendLast::keep_latest(ring, records[i].first);
    }
  };
  if (wait_ms == UINT32_MAX) {
    qel_sync::MutexGuard lock(sender->mutex);
    add();
    return true;
  }
  qel_sync::TimedMutexGuard lock(sender->mutex, wait_ms);
  if (!lock.owns()) return false;
  add();
  return true;
}

// Modules named by readings that may not wait for a collector (a unit
// leaving: dlclose, or the executable's destructors at exit, which run
// before the runtime's shutdown has fixed its deadline). The next reading
// that may wait sends them first; the collector keeps the modules as a set,
// so the later arrival changes nothing. Guarded by `g_deferred_lock`,
// taken with no other lock held and released before any send.
pthread_mutex_t g_deferred_lock = PTHREAD_MUTEX_INITIALIZER;
std::vector<std::string>* g_deferred = nullptr;  // made at the first deferral, never freed

void defer_modules(const std::vector<std::string>& modules) {
  if (modules.empty()) return;
  qel_sync::MutexGuard lock(g_deferred_lock);
  if (!g_deferred) g_deferred = new std::vector<std::string>();
  for (const std::string& m : modules)
    if (std::find(g_deferred->begin(), g_deferred->end(), m) == g_deferred->end())
      g_deferred->push_back(m);
}

// The deferred modules, taken out of the list: the reading that takes them
// sends them as its own (a failed send goes to the spool or the tally).
std::vector<std::string> take_deferred_modules() {
  std::vector<std::string> out;
  qel_sync::MutexGuard lock(g_deferred_lock);
  if (g_deferred) out.swap(*g_deferred);
  return out;
}

// In the child of a fork: the parent's other threads may have held the lock.
void reset_deferred_lock_in_child() { pthread_mutex_init(&g_deferred_lock, nullptr); }

void leaving(const __qel_reg* reg) {
  thread_exit* inst = thread_exit::pInst.load(std::memory_order_acquire);
  if (!inst || pid.load(std::memory_order_relaxed) != qel_port::current_pid()) {
    // No instance of this process (a forked child, or an exit whose
    // shutdown already ran and read everything): one only if this unit
    // still has counts to send.
    if (!qel_counters::changes_pending()) return;
    inst = thread_exit::current();
  }
  if (inst) harvest_counts(inst, UINT32_MAX, reg, true);
}

void first_block() { thread_exit::current(); }

void for_leave() {
  thread_exit* inst = thread_exit::pInst.load(std::memory_order_acquire);
  if (inst && pid.load(std::memory_order_relaxed) == qel_port::current_pid())
    harvest(inst, qel_net::leave_lock_wait_ms());
}

}  // namespace

bool harvest(thread_exit* inst, uint32_t wait_ms, const __qel_reg* only) {
  return harvest_counts(inst, wait_ms, only, false);
}

bool harvest_counts(thread_exit* inst, uint32_t wait_ms, const __qel_reg* only,
                    bool modules_later) {
  if (!inst) return true;
  Batch b;
  b.inst = inst;
  QelSendProperty* prop = inst->sendProperty;
  // relaxed: set by the bootstrap and never cleared.
  b.little = prop ? prop->littleEndian.load(std::memory_order_relaxed)
                  : QelSendProperty::little_endian_flag();
  b.mcdc = inst->noMcdc == 0;
  bool ok;
  try {
    ok = qel_counters::read_changes(visit, &b, wait_ms, only);
  } catch (...) {
    return false;
  }
  // The modules go first, so that a collector has the maps' files named
  // before the counts that need them. A module announced again by a later
  // reading (its units loaded at another time) costs a duplicate line only.
  // A reading that must not wait for a collector leaves them to the next
  // one that may (the shutdown's at the latest).
  if (modules_later) {
    try {
      defer_modules(b.modules);
    } catch (...) {
      ok = false;
    }
    b.modules.clear();
  } else if (prop) {
    try {
      std::vector<std::string> earlier = take_deferred_modules();
      b.modules.insert(b.modules.begin(), earlier.begin(), earlier.end());
    } catch (...) {
      ok = false;
    }
  }
  if (prop) try {
      for (const std::string& module : b.modules) {
        if (wait_ms == UINT32_MAX)
          prop->sendMsg(LoadedModule, qel_wire::module_text(module));
        else
          ok = prop->sendMsgWithin(LoadedModule, qel_wire::module_text(module), wait_ms) && ok;
      }
    } catch (...) {
      ok = false;
    }
  QelSendLast* last = inst->sendLast;
  ok =
      hand_over(inst->sendDD, b.node, b.node_pending, last ? last->lastDD : nullptr, wait_ms) && ok;
  ok = hand_over(inst->sendCond, b.cond, Pending(), last ? last->lastCond : nullptr, wait_ms) && ok;
  ok = hand_over(inst->sendMCDC, b.mcdc_records, b.mcdc_pending, last ? last->lastMCDC : nullptr,
                 wait_ms) &&
       ok;
  return ok;
}

void install() {
  qel_port::register_fork_child_hook(reset_deferred_lock_in_child);
  qel_counters::set_hooks({leaving, first_block});
  // release: pairs with the acquire in qel_senders::harvest_counters.
  qel_senders::harvest_counters_hook.store(for_leave, std::memory_order_release);
}

bool start_instance_for_counts() {
  thread_exit* inst = thread_exit::pInst.load(std::memory_order_acquire);
  if (inst && pid.load(std::memory_order_relaxed) == qel_port::current_pid()) return false;
  if (!qel_counters::changes_pending()) return false;
  return thread_exit::getInst() != nullptr;
}

}  // namespace qel_harvest
