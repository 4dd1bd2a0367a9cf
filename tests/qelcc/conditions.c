/* Conditions: macros, side effects, pointers, floating values, ! chains,
 * bitwise operators (no decision), _Bool, GNU statement expressions and a
 * decision wider than the condition string. */
#include <stdio.h>
#include <stdbool.h>

#define IN_RANGE(v, lo, hi) ((v) >= (lo) && (v) <= (hi))
#define CHECKED(e) do { if (!(e)) printf("check failed: %s\n", #e); } while (0)

static int hits;
static int f(void) { return ++hits % 2; }

static int side_effects(int n) {
  int i = 0, k = 0;
  while (i++ < n && f()) //@dec 1 1 //@conds 2 0 1 1
    k++;
  return k * 100 + i;
}

static const char* pick(const char* p, double d, _Bool flag) {
  if (p) //@dec 2 1
    return p;
  if (d) //@dec 0 1
    return "d";
  if (!flag && !!p == false) //@dec 1 0
    return "none";
  return "flag";
}

static int bits(int a, int b) {
  int r = a & b; //@nodec
  r |= a ^ b; //@nodec
  if (a & 1) //@dec 2 1
    r += 1000;
  return r;
}

static int macros(int v) {
  int n = 0;
  if (IN_RANGE(v, 1, 10)) //@dec 2 2 //@conds 3 1 2 1
    n++;
  CHECKED(v != 7);
  n += ({ int t = v * 2; t > 8 ? t : -t; }); //@dec 2 2
  return n;
}

static int wide(int x) {
  /* 17 conditions: a wide vector, or none from the event probes */
  return x == 1 || x == 2 || x == 3 || x == 4 || x == 5 || x == 6 || x == 7 || x == 8 || //@dec 1 1
         x == 9 || x == 10 || x == 11 || x == 12 || x == 13 || x == 14 || x == 15 ||
         x == 16 || x == 17;
}

int main(void) {
  bool b = true;
  printf("side %d %d\n", side_effects(5), hits);
  printf("pick %s %s %s\n", pick("p", 0.0, 0), pick(0, 0.0, 0), pick("q", 1.5, b));
  printf("bits %d %d %d\n", bits(3, 5), bits(2, 6), bits(7, 1));
  printf("macros %d %d %d %d\n", macros(0), macros(4), macros(7), macros(12));
  printf("wide %d %d\n", wide(17), wide(40));
  return 0;
}
