/* Every shape an `if` gives its arms: with and without else, else-if
 * chains, nested ifs sharing the end of their branches, empty and
 * declaration-first branches, conditions of several leaves, an if in a
 * macro, and jumps into an arm past its condition (a goto, a case label),
 * which are no outcome of the decision. C90, so the strictest fixture
 * flags build it too. Annotations as in flow.c. */
#include <stdio.h>

#define AT_LEAST(v, lo) \
  do {                  \
    if ((v) < (lo)) (v) = (lo); \
  } while (0)

static int shapes(int i) {
  int r = 0;
  if (i % 2 == 0) r += 1; /*@dec 10 10*/
  if (i % 3 == 0) r += 2; else r -= 1; /*@dec 7 13*/
  if (i < 5) r += 3; else if (i < 10) r += 4; else r += 5; /*@dec 5 15 5 10*/
  if (i & 1) if (i & 2) r += 6; else r += 7; else r += 8; /*@dec 10 10 5 5*/
  if (i > 2) if (i < 6) r += 9; /*@dec 17 3 3 14*/
  if (i > 15) { /*@dec 4 16*/
  } else
    r += 8; /*@line 16*/
  if (i == 4) { /*@dec 1 19*/
    int k = i * 2;
    r += k; /*@line 1*/
  }
  if ((i & 4) && ((i & 8) || i == 5)) /*@dec 5 15*/ /*@conds 8 12 4 4 1 3*/
    r += 9;
  r = i + r * 0;
  AT_LEAST(r, 7); /*@dec 7 13*/
  if (i == 19) return -r; /*@dec 1 19*/
  return r; /*@line 19*/
}

static int into_arm(int i) {
  int r = 0;
  if (i == 1) goto inside; /*@dec 1 3*/
  switch (i) {
    case 0:
      if (i > 100) { /*@dec 0 1*/
      case 2:
        r += 1; /*@line 1*/
      }
      break;
    default:
      break;
  }
  if (i < 0) { /*@dec 0 3*/
  inside:
    r += 10; /*@line 1*/
  }
  return r; /*@line 4*/
}

int main(void) {
  int i, sum = 0;
  for (i = 0; i < 20; ++i) sum += shapes(i);
  for (i = 0; i < 4; ++i) sum += into_arm(i);
  printf("sum %d\n", sum);
  return 0;
}
