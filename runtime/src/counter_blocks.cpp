// Counters in the program: registry of counted units, the threads' blocks
// of counters, and the reading of what they counted.
//
// Design
// ------
// A counted unit increments counters in a block that belongs to the calling
// thread: a function finds the block once, at entry, through a thread-local
// pointer (the thread's table `__qel_tls`, indexed by the unit's slot, or a
// thread-local pointer of the unit's own), and then adds 1 to counters of
// it with single plain instructions. The runtime adds up a unit's blocks
// when it reads the counts. Nobody but the owning thread ever writes a
// counter; shared counters written by several threads would lose counts,
// and atomic read-modify-writes on them cost 5 to 20 times a plain
// increment.
//
// Who touches what:
//  * A block's counters: written only by the thread that owns its thread
//    record (with a plain increment in one instruction on x86, or a relaxed
//    atomic load and store elsewhere: never torn, never held in a register
//    past the next statement, so a crash loses nothing counted before it).
//    Read by the reading thread (read_changes) with relaxed atomic loads.
//    Counters are as wide as a pointer: a 64-bit counter is read in one
//    access on 64-bit targets; on 32-bit targets 32-bit counters are read
//    and differences taken modulo 2^32, which is exact as long as no
//    counter (summed over its unit's blocks) moves by 2^32 or more between
//    two readings, at least 100 ms apart on a live runtime.
//  * A unit's `shared` counters (in its own storage): written by threads
//    that cannot have a block (no memory; a first call from a signal
//    handler that interrupted this file's own code), several at a time only
//    in that rare case, which `shared_uses` counts and a trace names.
//  * A thread record (its table of blocks by slot, its list of the units'
//    own thread-local pointers it filled): used by one thread at a time,
//    its owner. The owner reads its table without any lock (the hot path);
//    every change to a table is made under `g_lock`, by the owner (a new
//    block) or by an unregistration (a slot emptied: no thread runs an
//    unloaded unit's code). A thread that ends gives its record back
//    (thread-end hook) and the next new thread takes it over with its
//    blocks, which keep counting: no count is folded, moved or lost, and a
//    program that starts threads without end needs no more blocks than it
//    has threads alive at once.
//  * `g_lock` guards the registry (units, slots, records, baselines, the
//    block lists and the pool of blocks of unloaded units). Held by the
//    slow path (a thread's first call into a unit), registration, reading
//    and fork (taken before the fork, given back after it in both
//    processes, so the child never inherits a registry in mid-change).
//
// Why no count is lost or counted twice: a reading takes, for each counter,
// the sum over all blocks the unit ever had (blocks are never freed while
// the unit is registered) and hands out the difference from the previous
// sum under `g_lock`, then stores the sum as the new baseline. Counters only
// grow, and each increment is in exactly one block, so each increment
// enters exactly one difference. After fork the child's baseline is the sum
// at the fork: what the parent counted before it is the parent's to send.
#include "counter_blocks.h"

#include <pthread.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "port.h"
#include "sync.h"
#include "trace.h"

extern "C" {
#ifndef _WIN32
// The thread's table; initial-exec: the program loads the runtime at its
// start, so the variable lies in the static TLS block (8 bytes, which even a
// runtime loaded later by dlopen() finds room for).
QEL_EXPORT __thread __qel_ctr** __qel_tls __attribute__((tls_model("initial-exec"))) = nullptr;
#endif
}

namespace qel_counters {
namespace {

constexpr uint32_t kSlots = QEL_COUNTER_SLOTS;

struct Unit {
  __qel_reg* reg = nullptr;
  const __qel_unit* desc = nullptr;
  uint32_t slot = 0;
  // Every block handed out for the unit, and its shared counters first.
  std::vector<__qel_ctr*> blocks;
  // Sums at the last reading (wrapping at the counters' width).
  std::vector<__qel_ctr> sent;
  bool announced = false;
  std::vector<std::vector<qel_wire::DecisionPath>> paths;
  // The program or library the unit lives in (its maps are inside it);
  // set by the unit's constructor, empty until then or when unknown.
  std::string module;
};

struct TlsPointer {
  uint32_t slot;
  __qel_ctr** where;  // a unit's own thread-local pointer, in the owner's TLS
};

struct ThreadRecord {
  __qel_ctr** table = nullptr;  // kSlots entries
  std::vector<TlsPointer> own;
  bool in_use = false;
};

struct PooledBlock {
  uint32_t counters;
  __qel_ctr* block;
};

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
// Made at the first registration, never freed: a registry without static
// constructors, usable from any other module's constructor.
Unit** g_by_slot = nullptr;             // kSlots entries
std::vector<Unit*>* g_units = nullptr;  // registered, in registration order
std::vector<ThreadRecord*>* g_records = nullptr;
std::vector<PooledBlock>* g_pool = nullptr;
uint32_t g_next_slot = 1;
std::vector<uint32_t>* g_free_slots = nullptr;
uint64_t g_shared_uses = 0;
int g_end_hook = -1;
std::atomic<void (*)(const __qel_reg*)> g_leaving{nullptr};
std::atomic<void (*)()> g_first_block{nullptr};

// What a refused unit's registration points to: its counts are not read,
// and it is refused (and traced) once.
char g_refused_mark;
void* const kRefused = &g_refused_mark;

QEL_PORT_FAST_TLS thread_local ThreadRecord* t_record = nullptr;
// Set while this thread runs the slow path: a signal handler that calls into
// a counted unit meanwhile must not take `g_lock` again.
QEL_PORT_FAST_TLS thread_local bool t_in_slow_path = false;

__qel_ctr load(const __qel_ctr* p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }

// Whether a descriptor can be read: its version, and each decision's paths
// and counters within the block. A unit that fails keeps counting in its own
// storage, unread, and a trace says so.
const char* refusal(const __qel_unit* d) {
  if (d->abi != QEL_COUNTERS_ABI) return "built for another version of the counters ABI";
  if (d->counters < d->nodes) return "fewer counters than nodes";
  for (unsigned i = 0; i < d->decisions; ++i) {
    const __qel_decision& x = d->decision[i];
    if (!x.leaf || !x.next || !qel_wire::paths_well_formed(x.next, x.conditions))
      return "a decision whose conditions do not form evaluation paths";
    std::vector<uint32_t> from;
    if (qel_wire::number_paths(x.next, x.conditions, &from) != x.paths)
      return "a decision whose path count does not match its conditions";
    if (x.first < d->nodes || x.first > d->counters || d->counters - x.first < x.paths)
      return "a decision whose counters lie outside the block";
    if (x.true_node > d->nodes || x.false_node > d->nodes)
      return "a decision that counts a node the unit does not have";
  }
  return nullptr;
}

void decode_paths(Unit* u) {
  const __qel_unit* d = u->desc;
  u->paths.resize(d->decisions);
  for (unsigned i = 0; i < d->decisions; ++i) {
    const __qel_decision& x = d->decision[i];
    std::vector<uint32_t> from;
    qel_wire::number_paths(x.next, x.conditions, &from);
    std::vector<qel_wire::DecisionPath>& out = u->paths[i];
    out.reserve(x.paths);
    for (uint32_t p = 0; p < x.paths; ++p)
      out.push_back(qel_wire::decode_path(x.next, x.conditions, from, p));
  }
}

// Under g_lock: the sum of counter i over every block of `u`, for each i,
// block by block (each block is read front to back, once).
void sum_blocks(const Unit* u, std::vector<__qel_ctr>& sums) {
  const uint32_t n = u->desc->counters;
  sums.assign(n, 0);
  for (const __qel_ctr* b : u->blocks)
    for (uint32_t i = 0; i < n; ++i) sums[i] += load(b + i);
}

void on_thread_end(void* record);
void before_fork() { pthread_mutex_lock(&g_lock); }
void after_fork_in_parent() { pthread_mutex_unlock(&g_lock); }
void after_fork_in_child();

bool make_registry() {
  if (g_units) return true;
  g_by_slot = static_cast<Unit**>(std::calloc(kSlots, sizeof(Unit*)));
  g_units = new (std::nothrow) std::vector<Unit*>();
  g_records = new (std::nothrow) std::vector<ThreadRecord*>();
  g_pool = new (std::nothrow) std::vector<PooledBlock>();
  g_free_slots = new (std::nothrow) std::vector<uint32_t>();
  if (!g_by_slot || !g_units || !g_records || !g_pool || !g_free_slots) {
    std::free(g_by_slot);
    delete g_units;
    delete g_records;
    delete g_pool;
    delete g_free_slots;
    g_by_slot = nullptr;
    g_units = nullptr;
    return false;
  }
  qel_port::register_fork_lock_hooks(before_fork, after_fork_in_parent);
  qel_port::register_fork_child_hook(after_fork_in_child);
  g_end_hook = qel_port::create_thread_end_hook(on_thread_end);
  return true;
}

// Under g_lock. The unit's record, registering it first if its constructor
// has not run yet (a call from another module's constructor).
Unit* unit_of(__qel_reg* reg) {
  if (reg->runtime == kRefused) return nullptr;
  if (reg->runtime) return static_cast<Unit*>(reg->runtime);
  if (!reg->unit || !make_registry()) return nullptr;
  const __qel_unit* d = reg->unit;
  if (const char* why = refusal(d)) {
    qel_trace::line("counters of unit %u not read: %s::%d\n", static_cast<unsigned>(d->unit), why,
                    qel_port::current_pid());
    reg->runtime = kRefused;
    return nullptr;
  }
  Unit* u = nullptr;
  try {
    u = new Unit();
    u->reg = reg;
    u->desc = d;
    u->sent.assign(d->counters, 0);
    if (reg->shared) u->blocks.push_back(reg->shared);
    decode_paths(u);
    g_units->push_back(u);
  } catch (...) {
    delete u;
    return nullptr;
  }
  uint32_t slot = 0;
  if (!g_free_slots->empty()) {
    slot = g_free_slots->back();
    g_free_slots->pop_back();
  } else if (g_next_slot < kSlots) {
    slot = g_next_slot++;
  } else {
    qel_trace::line(
        "counters of unit %u: more than %u units at once; its threads share one "
        "block::%d\n",
        static_cast<unsigned>(d->unit), kSlots - 1, qel_port::current_pid());
  }
  u->slot = slot;
  if (slot) g_by_slot[slot] = u;
  reg->slot = slot;
  reg->runtime = u;
  return u;
}

// Under g_lock: the record of the calling thread, adopting a free one (with
// its blocks) or making one.
ThreadRecord* my_record() {
  if (t_record) return t_record;
  ThreadRecord* r = nullptr;
  for (ThreadRecord* f : *g_records) {
    if (!f->in_use) {
      r = f;
      break;
    }
  }
  if (!r) {
    __qel_ctr** table = static_cast<__qel_ctr**>(std::calloc(kSlots, sizeof(__qel_ctr*)));
    if (!table) return nullptr;
    try {
      r = new ThreadRecord();
      g_records->push_back(r);
    } catch (...) {
      delete r;
      std::free(table);
      return nullptr;
    }
    r->table = table;
  }
  r->in_use = true;
  r->own.clear();
  t_record = r;
  qel_port::arm_thread_end_hook(g_end_hook, r);
  return r;
}

// Under g_lock: a zeroed block of `n` counters, from the pool when it holds
// one of that size.
__qel_ctr* new_block(uint32_t n) {
  for (std::size_t i = 0; i < g_pool->size(); ++i) {
    if ((*g_pool)[i].counters == n) {
      __qel_ctr* b = (*g_pool)[i].block;
      (*g_pool)[i] = g_pool->back();
      g_pool->pop_back();
      std::memset(b, 0, n * sizeof(__qel_ctr));
      return b;
    }
  }
  return static_cast<__qel_ctr*>(std::calloc(n ? n : 1, sizeof(__qel_ctr)));
}

void on_thread_end(void* record) {
  ThreadRecord* r = static_cast<ThreadRecord*>(record);
  {
    qel_sync::MutexGuard lock(g_lock);
    r->own.clear();
    r->in_use = false;
  }
  t_record = nullptr;
#ifndef _WIN32
  // Code that runs later in this thread's end (other keys' destructors)
  // asks again and gets a record of its own.
  __qel_tls = nullptr;
#endif
}

// In the child of fork(), with g_lock held (taken before the fork). Only
// the forking thread lives on: the other records are free for the child's
// threads. The child sends only what it counts itself, so every baseline
// becomes the sum at the fork; every unit announces itself again. The
// forking thread's pointers are cleared, so that its next call into a
// counted unit goes through the slow path, which starts the child's runtime.
void after_fork_in_child() {
  if (g_units) {
    std::vector<__qel_ctr> sums;
    for (Unit* u : *g_units) {
      u->announced = false;
      try {
        sum_blocks(u, sums);
        u->sent = sums;
      } catch (...) {
        // No memory in the child: it sends what it inherited once more.
      }
    }
    for (ThreadRecord* r : *g_records) {
      if (r == t_record) {
        for (const TlsPointer& p : r->own) *p.where = nullptr;
        r->own.clear();
      } else {
        r->own.clear();
        r->in_use = false;
      }
    }
  }
#ifndef _WIN32
  __qel_tls = nullptr;
#endif
  pthread_mutex_unlock(&g_lock);
}

}  // namespace

bool read_changes(Visit visit, void* context, uint32_t wait_ms, const __qel_reg* only) {
  // Reused from reading to reading (under g_lock): a reading that finds
  // nothing new allocates nothing, so the periodic one stays out of the
  // allocator, which a fork may catch in the middle of a call.
  // Never destroyed: a reading may come after static destructors ran.
  static std::vector<uint64_t>& delta = *new std::vector<uint64_t>();
  static std::vector<__qel_ctr>& sums = *new std::vector<__qel_ctr>();
  auto read = [&]() {
    if (!g_units) return;
    for (Unit* u : *g_units) {
      if (only && u->reg != only) continue;
      const uint32_t n = u->desc->counters;
      sum_blocks(u, sums);
      delta.assign(n, 0);
      bool changed = false;
      for (uint32_t i = 0; i < n; ++i) {
        const __qel_ctr d = static_cast<__qel_ctr>(sums[i] - u->sent[i]);
        if (d) {
          delta[i] = d;
          u->sent[i] = sums[i];
          changed = true;
        }
      }
      if (!changed && u->announced) continue;
      UnitChanges c{u->desc, delta.data(), !u->announced, &u->paths, &u->module};
      u->announced = true;
      visit(c, context);
    }
  };
  try {
    if (wait_ms == UINT32_MAX) {
      qel_sync::MutexGuard lock(g_lock);
      read();
      return true;
    }
    qel_sync::TimedMutexGuard lock(g_lock, wait_ms);
    if (!lock.owns()) return false;
    read();
  } catch (...) {
    return false;  // no memory for the differences: they stay for the next reading
  }
  return true;
}

bool changes_pending() {
  qel_sync::MutexGuard lock(g_lock);
  if (!g_units) return false;
  std::vector<__qel_ctr> sums;
  for (Unit* u : *g_units) {
    if (!u->announced) return true;
    try {
      sum_blocks(u, sums);
    } catch (...) {
      return true;  // cannot tell: say so, and let a reading find out
    }
    for (uint32_t i = 0; i < u->desc->counters; ++i)
      if (sums[i] != u->sent[i]) return true;
  }
  return false;
}

void set_hooks(const Hooks& hooks) {
  // release: pairs with the acquire loads before each call.
  g_leaving.store(hooks.leaving, std::memory_order_release);
  g_first_block.store(hooks.first_block, std::memory_order_release);
}

Stats stats() {
  qel_sync::MutexGuard lock(g_lock);
  Stats s;
  if (!g_units) return s;
  s.units = static_cast<uint32_t>(g_units->size());
  for (Unit* u : *g_units) s.blocks += static_cast<uint32_t>(u->blocks.size());
  s.threads = static_cast<uint32_t>(g_records->size());
  s.shared_uses = g_shared_uses;
  return s;
}

}  // namespace qel_counters

using namespace qel_counters;

void QelCounterRegister(struct __qel_reg* reg) {
  if (!reg) return;
  // Outside the lock: the dynamic linker takes its own, and a reading under
  // g_lock must never wait for it.
  std::string module;
  try {
    module = qel_port::module_path_of(reg->unit);
  } catch (...) {
    module.clear();
  }
  qel_sync::MutexGuard lock(g_lock);
  if (Unit* u = unit_of(reg)) {
    if (u->module.empty()) u->module.swap(module);
  }
}

void QelCounterUnregister(struct __qel_reg* reg) {
  if (!reg || !reg->runtime || reg->runtime == kRefused) return;
  // What the unit counted goes to the senders while its code and storage
  // still exist.
  // acquire: pairs with set_hooks.
  if (auto leaving = g_leaving.load(std::memory_order_acquire)) leaving(reg);
  qel_sync::MutexGuard lock(g_lock);
  Unit* u = static_cast<Unit*>(reg->runtime);
  if (!u) return;
  // Its slot empties in every table; its blocks go to the pool, never back
  // to the heap: at exit, a thread still running may write to one.
  for (ThreadRecord* r : *g_records) {
    if (u->slot) __atomic_store_n(&r->table[u->slot], nullptr, __ATOMIC_RELAXED);
    for (std::size_t i = 0; i < r->own.size();) {
      if (r->own[i].slot == u->slot && u->slot) {
        r->own[i] = r->own.back();
        r->own.pop_back();
      } else {
        ++i;
      }
    }
  }
  for (__qel_ctr* b : u->blocks) {
    if (b == reg->shared) continue;
    try {
      g_pool->push_back({u->desc->counters, b});
    } catch (...) {
      // Without room in the pool the block stays allocated: a stray write
      // must never reach freed memory.
    }
  }
  if (u->slot) {
    g_by_slot[u->slot] = nullptr;
    try {
      g_free_slots->push_back(u->slot);
    } catch (...) {
    }
  }
  for (std::size_t i = 0; i < g_units->size(); ++i) {
    if ((*g_units)[i] == u) {
      g_units->erase(g_units->begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }
  reg->runtime = nullptr;
  reg->slot = 0;
  delete u;
}

__qel_ctr* QelCounterBlock(struct __qel_reg* reg, __qel_ctr** tls) {
  if (!reg) return nullptr;
  if (t_in_slow_path) {
    ++g_shared_uses;  // a signal handler inside the slow path: rare, and counted
    return reg->shared;
  }
  t_in_slow_path = true;
  __qel_ctr* block = nullptr;
  {
    qel_sync::MutexGuard lock(g_lock);
    Unit* u = unit_of(reg);
    if (u && u->slot) {
      if (ThreadRecord* r = my_record()) {
        block = r->table[u->slot];
        if (!block && (block = new_block(u->desc->counters)) != nullptr) {
          try {
            u->blocks.push_back(block);
            r->table[u->slot] = block;
          } catch (...) {
            std::free(block);
            block = nullptr;
          }
        }
        if (block && tls) {
          try {
            r->own.push_back({u->slot, tls});
            *tls = block;
          } catch (...) {
          }
        }
#ifndef _WIN32
        __qel_tls = r->table;
#endif
      }
    }
    if (!block) {
      // For good: the thread keeps the shared counters rather than asking
      // again at every call.
      ++g_shared_uses;
      block = reg->shared;
      if (tls) *tls = block;
    }
  }
  t_in_slow_path = false;
  // The runtime instance of this process reads the counts: the first call
  // of a thread into a unit makes sure it exists (after fork() the child's
  // first call starts the child's).
  // acquire: pairs with set_hooks.
  if (auto hook = g_first_block.load(std::memory_order_acquire)) hook();
  return block;
}

__qel_ctr** QelCounterTable(void) {
  ThreadRecord* r = t_record;
  return r ? r->table : nullptr;
}
