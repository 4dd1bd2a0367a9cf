/* Wide decisions: 17 to 64 conditions, measured for MC/DC by counters in
 * the program (the call-per-event probes measure up to 16), and a decision
 * with more evaluation paths than path counters take, which the
 * call-per-event probes count instead. */
#include <stdio.h>

static int chain64(int x) {
  return x == 1 || x == 2 || x == 3 || x == 4 || x == 5 || x == 6 || x == 7 || x == 8 || x == 9 || x == 10 || x == 11 || x == 12 || x == 13 || x == 14 || x == 15 || x == 16 || x == 17 || x == 18 || x == 19 || x == 20 || x == 21 || x == 22 || x == 23 || x == 24 || x == 25 || x == 26 || x == 27 || x == 28 || x == 29 || x == 30 || x == 31 || x == 32 || x == 33 || x == 34 || x == 35 || x == 36 || x == 37 || x == 38 || x == 39 || x == 40 || x == 41 || x == 42 || x == 43 || x == 44 || x == 45 || x == 46 || x == 47 || x == 48 || x == 49 || x == 50 || x == 51 || x == 52 || x == 53 || x == 54 || x == 55 || x == 56 || x == 57 || x == 58 || x == 59 || x == 60 || x == 61 || x == 62 || x == 63 || x == 64; /*@dec 2 1*/ /*@conds 1 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 0 2 1 1*/
}

static int pairs20(const int* v) {
  if ((v[0] > 0 && v[1] > 0) || (v[2] > 0 && v[3] > 0) || (v[4] > 0 && v[5] > 0) || (v[6] > 0 && v[7] > 0) || (v[8] > 0 && v[9] > 0) || (v[10] > 0 && v[11] > 0) || (v[12] > 0 && v[13] > 0) || (v[14] > 0 && v[15] > 0) || (v[16] > 0 && v[17] > 0) || (v[18] > 0 && v[19] > 0)) /*@dec 1 1*/
    return 1;
  return 0;
}

static int groups24(const int* v) {
  return (v[0] || v[1]) && (v[2] || v[3]) && (v[4] || v[5]) && (v[6] || v[7]) && (v[8] || v[9]) && (v[10] || v[11]) && (v[12] || v[13]) && (v[14] || v[15]) && (v[16] || v[17]) && (v[18] || v[19]) && (v[20] || v[21]) && (v[22] || v[23]); /*@dec 1 1*/ /*@conds 1 1 0 1 1 0 0 0 1 0 0 0 1 0 0 0 1 0 0 0 1 0 0 0 1 0 0 0 1 0 0 0 1 0 0 0 1 0 0 0 1 0 0 0 1 0 0 0*/
}

int main(void) {
  int ones[24], zeros[24], late[24], i;
  for (i = 0; i < 24; ++i) {
    ones[i] = 1;
    zeros[i] = 0;
    late[i] = i >= 18;
  }
  printf("chain64 %d %d %d\n", chain64(1), chain64(64), chain64(100));
  printf("pairs20 %d %d\n", pairs20(late), pairs20(zeros));
  printf("groups24 %d %d\n", groups24(ones), groups24(zeros));
  return 0;
}
