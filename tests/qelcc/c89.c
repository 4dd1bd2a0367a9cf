/* C90 with declarations first, under -std=c89 -pedantic and the warnings a
 * strict project turns on: the probes must not add a single diagnostic. */
#include <stdio.h>

static int sum(const int* v, int n) {
  int i;
  int s = 0;
  for (i = 0; i < n; i++) { /*@dec 7 2*/
    int x = v[i];
    switch (x % 3) {
      case 0: {
        int y = x * 2;
        s += y;
        break;
      }
      case 1:
        s += x;
        break;
      default:
        if (x > 4 && s > 0) s -= 1; /*@dec 2 0*/
    }
  }
  if (n > 3) goto done; /*@dec 1 1*/
  s += 1000;
done:
  return s; /*@line 2*/
}

/* Unsigned and long parameters: their values reach the value records
 * whole, whatever width the target gives them. */
static unsigned long widen(unsigned int u, long l) { return u + (unsigned long)l; }

int main(void) {
  int v[4];
  int r;
  v[0] = 3;
  v[1] = 4;
  v[2] = 5;
  v[3] = 9;
  r = sum(v, 3) + sum(v, 4) * 0;
  printf("sum %d %lu\n", r, widen(4000000000u, -3L));
  return 0;
}
