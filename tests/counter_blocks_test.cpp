// The runtime's side of counters in the program, through the registration
// ABI as a hand-written counted unit uses it (what qelcc writes, spelled
// out): registration, each thread's block, readings that hand out every
// count exactly once, blocks of ended threads taken over by new threads,
// refused descriptors, and unregistration.
#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "counter_blocks.h"

namespace {

// A unit of three nodes and one decision `a && (b || c)` (four paths, in
// counters 3 to 6): the descriptor qelcc would write.
const unsigned short kLeaves[] = {11, 12, 13};
const unsigned char kNext[] = {1, QEL_PATH_FALSE, QEL_PATH_TRUE, 2, QEL_PATH_TRUE, QEL_PATH_FALSE};
const __qel_decision kDecision[] = {{1, 10, 3, 4, 3, 0, 0, kLeaves, kNext}};

struct Unit {
  __qel_unit desc;
  __qel_ctr shared[7] = {};
  __qel_reg reg;
  explicit Unit(unsigned short id, unsigned abi = QEL_COUNTERS_ABI)
      : desc{abi, id, 1, 0x89ABCDEFu, 0x01234567u, 3, 7, 1, kDecision},
        reg{&desc, shared, 0, nullptr} {}
};

// Every reading of `only` (or of every unit), added up by unit and counter.
struct Totals {
  std::map<unsigned, std::vector<uint64_t>> by_unit;
  std::map<unsigned, int> announced;
  static void visit(const qel_counters::UnitChanges& c, void* self) {
    Totals& t = *static_cast<Totals*>(self);
    std::vector<uint64_t>& v = t.by_unit[c.desc->unit];
    v.resize(c.desc->counters);
    for (unsigned i = 0; i < c.desc->counters; ++i) v[i] += c.delta[i];
    t.announced[c.desc->unit] += c.announce;
  }
  void read(const __qel_reg* only = nullptr) {
    ASSERT_TRUE(qel_counters::read_changes(visit, this, UINT32_MAX, only));
  }
};

void add(__qel_ctr* block, unsigned counter, unsigned times) {
  for (unsigned i = 0; i < times; ++i) __atomic_store_n(&block[counter], block[counter] + 1, 0);
}

TEST(CounterBlocks, EachCountIsReadOnceAndTheUnitAnnouncesItselfOnce) {
  Unit u(101);
  QelCounterRegister(&u.reg);
  ASSERT_NE(u.reg.runtime, nullptr);
  ASSERT_NE(u.reg.slot, 0u);
  __qel_ctr* tls = nullptr;
  __qel_ctr* b = QelCounterBlock(&u.reg, &tls);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(b, u.shared);
  EXPECT_EQ(tls, b);  // the unit's own pointer, filled
  // The table form finds the same block through the thread's table.
  EXPECT_EQ(QelCounterBlock(&u.reg, nullptr), b);
  ASSERT_NE(QelCounterTable(), nullptr);
  EXPECT_EQ(QelCounterTable()[u.reg.slot], b);
  EXPECT_EQ(__qel_tls, QelCounterTable());

  add(b, 0, 5);
  add(b, 4, 2);
  Totals t;
  t.read(&u.reg);
  EXPECT_EQ(t.by_unit[101], (std::vector<uint64_t>{5, 0, 0, 0, 2, 0, 0}));
  EXPECT_EQ(t.announced[101], 1);
  Totals again;
  again.read(&u.reg);
  EXPECT_TRUE(again.by_unit.empty());  // nothing new, already announced
  add(b, 0, 1);
  again.read(&u.reg);
  EXPECT_EQ(again.by_unit[101][0], 1u);
  EXPECT_EQ(again.announced[101], 0);
  QelCounterUnregister(&u.reg);
  EXPECT_EQ(u.reg.runtime, nullptr);
}

TEST(CounterBlocks, EightThreadsAndTheThreadsAfterThemCountExactly) {
  Unit u(102);
  QelCounterRegister(&u.reg);
  constexpr unsigned kTimes = 100000;
  const uint32_t records_before = qel_counters::stats().threads;
  auto wave = [&]() {
    std::vector<std::thread> ts;
    for (int i = 0; i < 8; ++i)
      ts.emplace_back([&u, i]() {
        __qel_ctr* tls = nullptr;
        __qel_ctr* b = QelCounterBlock(&u.reg, &tls);
        add(b, 1, kTimes);
        add(b, 3 + static_cast<unsigned>(i % 4), kTimes);
      });
    for (auto& t : ts) t.join();
  };
  wave();
  // A second wave takes the ended threads' records over, and their blocks
  // keep counting: never more records than threads alive at once.
  wave();
  EXPECT_LE(qel_counters::stats().threads, records_before + 8);
  // One thread after another: one record, handed on.
  const uint32_t records = qel_counters::stats().threads;
  for (int i = 0; i < 20; ++i)
    std::thread([&u]() {
      __qel_ctr* tls = nullptr;
      add(QelCounterBlock(&u.reg, &tls), 1, 1);
    }).join();
  EXPECT_EQ(qel_counters::stats().threads, records);
  Totals t;
  t.read(&u.reg);
  const std::vector<uint64_t>& v = t.by_unit[102];
  ASSERT_EQ(v.size(), 7u);
  EXPECT_EQ(v[1], 16u * kTimes + 20);
  for (unsigned p = 3; p < 7; ++p) EXPECT_EQ(v[p], 4u * kTimes) << p;
  QelCounterUnregister(&u.reg);
}

TEST(CounterBlocks, ReadingsWhileThreadsCountLoseNothing) {
  Unit u(103);
  QelCounterRegister(&u.reg);
  std::atomic<bool> go{true};
  Totals t;
  std::vector<std::thread> ts;
  constexpr unsigned kTimes = 2000000;
  for (int i = 0; i < 4; ++i)
    ts.emplace_back([&u]() {
      __qel_ctr* tls = nullptr;
      add(QelCounterBlock(&u.reg, &tls), 2, kTimes);
    });
  std::thread reader([&]() {
    while (go.load()) t.read(&u.reg);
  });
  for (auto& x : ts) x.join();
  go = false;
  reader.join();
  t.read(&u.reg);
  EXPECT_EQ(t.by_unit[103][2], 4u * kTimes);
  QelCounterUnregister(&u.reg);
}

TEST(CounterBlocks, ADescriptorOfAnotherVersionIsRefusedAndCountsInItsOwnStorage) {
  Unit u(104, QEL_COUNTERS_ABI + 1);
  QelCounterRegister(&u.reg);
  EXPECT_EQ(u.reg.slot, 0u);
  // Refused once (one trace line), and for good: the unit's own pointer
  // keeps its shared counters.
  __qel_ctr* tls = nullptr;
  EXPECT_EQ(QelCounterBlock(&u.reg, &tls), u.shared);
  EXPECT_EQ(tls, u.shared);
  EXPECT_EQ(QelCounterBlock(&u.reg, nullptr), u.shared);
  QelCounterUnregister(&u.reg);
  // So does a decision whose paths do not match its conditions.
  __qel_decision bad = kDecision[0];
  bad.paths = 5;
  Unit w(105);
  w.desc.decision = &bad;
  QelCounterRegister(&w.reg);
  EXPECT_EQ(w.reg.slot, 0u);
  EXPECT_EQ(QelCounterBlock(&w.reg, nullptr), w.shared);
}

TEST(CounterBlocks, AnUnregisteredUnitsBlocksComeBackZeroed) {
  Unit u(106);
  QelCounterRegister(&u.reg);
  __qel_ctr* tls = nullptr;
  add(QelCounterBlock(&u.reg, &tls), 0, 9);
  Totals t;
  t.read(&u.reg);
  EXPECT_EQ(t.by_unit[106][0], 9u);
  QelCounterUnregister(&u.reg);
  // A unit registered later (a library opened again) starts from zero,
  // whether it gets a fresh block or one from the pool.
  Unit v(107);
  QelCounterRegister(&v.reg);
  tls = nullptr;
  __qel_ctr* b = QelCounterBlock(&v.reg, &tls);
  for (unsigned i = 0; i < 7; ++i) EXPECT_EQ(b[i], 0u) << i;
  add(b, 0, 2);
  Totals w;
  w.read(&v.reg);
  EXPECT_EQ(w.by_unit[107][0], 2u);
  QelCounterUnregister(&v.reg);
}

}  // namespace
