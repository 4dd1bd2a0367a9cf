/* A crash in the middle of a loop: every count made before it arrives. */
#include <stdio.h>

static int h(int x) { return x & 3; }

int main(void) {
  volatile int* p = 0;
  long i;
  int s = 0;
  for (i = 0; i < 1000000; ++i) {
    s += h((int)i);
    if (i == 654321) *p = s;
  }
  printf("%d\n", s);
  return 0;
}
