/*
 * tests/reports/gate.c instrumented by hand (unit 7, group 3, as its map in
 * tests/reports/gate_map says), for the tests of which test ran what:
 *
 *   gate_cases cases   never(1) before any test case, then the test cases
 *                      "gate_open" (gate(1, 1, 0), passed) and
 *                      "gate_closed" (gate(0, 0, 0), failed) through the C API;
 *   gate_cases open    gate(1, 1, 0) alone, no test case;
 *   gate_cases closed  gate(0, 0, 0) alone, no test case.
 */
#include <stdio.h>
#include <string.h>

#include "QELMQLib.h"

#define UNIT 7
#define GROUP 3

static int cond(int* cs, int index, int condId, int value) {
  QelStringAddCond(cs, index, value);
  return QelExp(UNIT, condId, 0, 0, GROUP, value);
}

static int gate(int a, int b, int c) {
  int cs[2];
  QelNode(UNIT, 1, 0);
  QelStringInit(cs);
  if (QelExp(UNIT, 4, 1, cs, GROUP, cond(cs, 0, 1, a) && (cond(cs, 1, 2, b) || cond(cs, 2, 3, c)))) {
    QelNode(UNIT, 2, 0);
    return 1;
  }
  QelNode(UNIT, 3, 0);
  return 0;
}

static int never(int x) {
  int cs[2];
  QelNode(UNIT, 4, 0);
  QelStringInit(cs);
  return QelExp(UNIT, 6, 2, cs, GROUP, cond(cs, 0, 5, x)) ? 1 : 2;
}

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "";
  if (strcmp(mode, "open") == 0) return gate(1, 1, 0) == 1 ? 0 : 1;
  if (strcmp(mode, "closed") == 0) return gate(0, 0, 0) == 0 ? 0 : 1;
  if (strcmp(mode, "cases") != 0) {
    fprintf(stderr, "usage: gate_cases cases|open|closed\n");
    return 2;
  }
  never(1);
  QelTestcaseCreate("gate_open");
  QelTestcaseStart(1);
  QelTestcaseStopVerdict(1, gate(1, 1, 0) == 1 ? QEL_VERDICT_PASSED : QEL_VERDICT_FAILED);
  QelTestcaseCreate("gate_closed");
  QelTestcaseStart(2);
  /* Fails on purpose: the report shows it beside what it ran. */
  QelTestcaseStopVerdict(2, gate(0, 0, 0) == 1 ? QEL_VERDICT_PASSED : QEL_VERDICT_FAILED);
  return 0;
}
