/* A crash in a load that both arms of a decision make, which the compiler
   may load once before the branch: the decision's outcome and the arm's
   node that ran before the crash arrive. OPTIMIZED: the function asks for
   -O2 in a unit built at -O0. */
#include <stdio.h>

static int x = 5;

#ifdef OPTIMIZED
__attribute__((optimize("O2")))
#endif
static __attribute__((noipa)) int at(int c, const int* p) {
  int r;
  if (c)
    r = *p + 1;
  else
    r = *p * 3;
  return r;
}

int main(void) {
  long i;
  int s = 0;
  for (i = 0; i < 1000000; ++i) s += at(i == 654321, i == 654321 ? (const int*)0 : &x);
  printf("%d\n", s);
  return 0;
}
