/* ?: in its forms, and lines that follow what ran on them: the GNU
 * `a ?: b` is a decision whose value, when it holds, is the condition's own
 * (pointers, bit-fields, side effects evaluated once); each arm has a node;
 * a line whose only code is an arm or a later condition counts as often as
 * that arm or condition ran, not as often as its statement. */
#include <stdio.h>
#include <stddef.h>

struct flags {
  unsigned ready : 1;
  unsigned level : 3;
};

static int classify(int err, int left) {
  return err == 0 ? 0 :                /*@line 4*/ /*@dec 1 3*/
         err == 2 ? -3 :               /*@line 3*/ /*@dec 1 2*/
         err == 5 && left ? -5 :       /*@line 2*/ /*@dec 1 1*/ /*@conds 1 1 1 0*/
         err;                          /*@line 1*/
}

static int sign(int v) {
  return v > 0                         /*@line 3*/ /*@dec 2 1*/
      ? 1                              /*@line 2*/
      : v < 0                          /*@line 1*/ /*@dec 1 0*/
          ? -1                         /*@line 1*/
          : 0;                         /*@line 0*/
}

static int range(int x, int lo, int hi) {
  if (x >= lo &&                       /*@line 3*/ /*@dec 1 2*/ /*@conds 2 1 1 1*/
      x <= hi)                         /*@line 2*/
    return 1;                          /*@line 1*/
  return 0;
}

static int guard(int p, int q) {
  return p > 0 ||                      /*@line 2*/ /*@dec 2 0*/
         q > 0;                        /*@line 0*/
}

static int count_down(int n) {
  int steps = 0;
  do {
    steps++;
  } while (--n > 0 &&                  /*@line 3*/ /*@dec 2 1*/
           steps < 10);                /*@line 2*/
  return steps;
}

static const char* or_default(const char* name) { return name ?: "none"; } /*@dec 2 1*/

static unsigned level_or(struct flags* f) { return f->level ?: 7; } /*@dec 1 1*/

static void* first(void* a, void* b) { return a ?: b; } /*@dec 1 1*/

/* Made of && (so 0 or 1): its leaves are wrapped in place. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wparentheses"
static int both_or(int a, int b) { return (a && b) ?: -1; } /*@dec 1 2*/ /*@conds 2 1 1 1*/
#pragma GCC diagnostic pop

static int once(int* k) { return (*k)++ ?: 100; } /*@dec 1 1*/

int main(void) {
  struct flags f = {1, 0};
  int k = 0, x = 5;
  printf("classify %d %d %d %d\n", classify(0, 0), classify(2, 0), classify(5, 1), classify(7, 0));
  printf("sign %d %d %d\n", sign(3), sign(4), sign(-1));
  printf("range %d %d %d\n", range(5, 0, 10), range(-1, 0, 10), range(11, 0, 10));
  printf("guard %d %d\n", guard(1, 0), guard(2, 0));
  printf("count %d\n", count_down(3));
  printf("default %s %s %s\n", or_default("a"), or_default("b"), or_default(NULL));
  printf("level %u", level_or(&f));
  f.level = 5;
  printf(" %u\n", level_or(&f));
  printf("first %d %d\n", first(NULL, &x) == &x, first(&k, &x) == &k);
  printf("both %d %d %d\n", both_or(1, 1), both_or(0, 1), both_or(1, 0));
  x = once(&k);
  printf("once %d", x);
  x = once(&k);
  printf(" %d %d\n", x, k);
  return 0;
}
