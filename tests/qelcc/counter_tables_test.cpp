// The registration's tables as the runtime receives them: written as C
// initializers or as assembler data, compiled as position-dependent and
// independent code, optimised or not, each decision must read back the same,
// field by field, through the pointers the runtime follows.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "probe_text.h"
#include "qelmq/protocol/counters.h"

namespace {

// Stands in for the runtime: prints every field of what it is given.
const char* const kReader = R"(
#include <stdio.h>
void QelCounterRegister(struct __qel_reg* r) {
  const struct __qel_unit* u = r->unit;
  unsigned i, k;
  printf("unit %u %u %u %u %u %u %u %u\n", u->abi, u->unit, u->group, u->identity_low,
         u->identity_high, u->nodes, u->counters, u->decisions);
  for (i = 0; i < u->decisions; ++i) {
    const struct __qel_decision* d = &u->decision[i];
    printf("decision %u %u %u %u %u %u %u leaves", d->decision, d->cond, d->conditions, d->paths,
           d->first, d->true_node, d->false_node);
    if (!d->leaf) printf(" none");
    for (k = 0; d->leaf && k < d->conditions; ++k) printf(" %u", d->leaf[k]);
    printf(" next");
    if (!d->next) printf(" none");
    for (k = 0; d->next && k < 2u * d->conditions; ++k) printf(" %u", d->next[k]);
    printf("\n");
  }
}
void QelCounterUnregister(struct __qel_reg* r) { (void)r; }
int main(void) { return 0; }
)";

std::string Run(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return "popen failed";
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  if (pclose(p) != 0) out += "\n(exit status not 0)";
  return out;
}

std::string WorkDir() { return ::testing::TempDir() + "counter_tables_" + std::to_string(getpid()); }

// What a program built from `registration` hands the runtime.
std::string Received(const std::string& registration, const std::string& flags,
                     const std::string& name) {
  const std::string dir = WorkDir();
  std::system(("mkdir -p '" + dir + "'").c_str());
  const std::string src = dir + "/" + name + ".c";
  std::ofstream(src) << QEL_COUNTERS_DECLARATION_TEXT
                     << "\nvoid QelCounterRegister(struct __qel_reg*);"
                        " void QelCounterUnregister(struct __qel_reg*);\n"
                     << registration << kReader;
  return Run("cd '" + dir + "' && gcc -std=c89 -pedantic -Wall -Werror " + flags + " " + name +
             ".c -o " + name + " 2>&1 && ./" + name);
}

std::vector<qelcc::CounterDecision> Decisions() {
  std::vector<qelcc::CounterDecision> ds;
  unsigned first = 0;
  // Leaves and transitions of several lengths, one wider than a line of
  // the lists, and one decision with none.
  for (int conds : {1, 2, 3, 0, 40, 5}) {
    qelcc::CounterDecision d;
    d.decision = 7 + conds;
    d.cond = 100 + 3 * conds;
    for (int k = 0; k < conds; ++k) {
      d.leaf_conds.push_back(200 + k);
      d.next.push_back(static_cast<unsigned char>(k + 1));
      d.next.push_back(static_cast<unsigned char>(255 - k));
    }
    d.paths = static_cast<unsigned>(conds + 1);
    d.first = first;
    first += d.paths;
    d.true_node = 300 + conds;
    d.false_node = conds == 0 ? 65535 : 400 + conds;
    ds.push_back(d);
  }
  return ds;
}

TEST(CounterTables, AssemblyDataReadsAsTheCInitializers) {
#if defined(__x86_64__) && defined(__ELF__)
  const auto ds = Decisions();
  const unsigned long long identity = 0x123456789abcdef0ull;
  const std::string in_c = qelcc::CounterRegistration(9, 3, identity, 50, ds, false);
  const std::string in_asm = qelcc::CounterRegistration(9, 3, identity, 50, ds, true);
  ASSERT_EQ(in_asm.find("__qel_lc[]"), std::string::npos) << "the tables are still C";
  for (const char* flags : {"-O0 -no-pie", "-O2 -fPIE -pie", "-O0 -g -fPIC"}) {
    SCOPED_TRACE(flags);
    const std::string expected = Received(in_c, flags, "c");
    ASSERT_NE(expected.find("decision 47 220 40 41 "), std::string::npos) << expected;
    EXPECT_NE(expected.find("decision 7 100 0 1 59 300 65535 leaves none next none"),
              std::string::npos)
        << expected;
    EXPECT_EQ(Received(in_asm, flags, "a"), expected);
  }
  if (!::testing::Test::HasFailure()) std::system(("rm -rf '" + WorkDir() + "'").c_str());
#else
  GTEST_SKIP() << "assembler tables are written for x86-64 ELF";
#endif
}

TEST(CounterTables, AUnitWithoutDecisionsHasNoTables) {
  for (bool assembly : {false, true}) {
    const std::string r = qelcc::CounterRegistration(1, 1, 5, 4, {}, assembly);
    EXPECT_EQ(r.find("__qel_ds"), std::string::npos);
    EXPECT_EQ(r.find("__asm__"), std::string::npos);
  }
}

}  // namespace
