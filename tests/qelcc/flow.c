/* Control flow: every statement kind, nested decisions, comma expressions,
 * goto and labels, switch with fall-through. Annotations: //@line N is the
 * line's count, //@dec T F the true/false counts of the decisions starting on
 * the line (in column order), //@conds T F ... those of its conditions. */
#include <stdio.h>

static int calls;

static int bump(int v) {
  calls++; //@line 7
  return v;
}

static int classify(int x) {
  switch (x) { //@line 7
    case 0: //@line 2
      return 10;
    case 1: //@line 3
    case 2: //@line 3
      x += 5;
      /* fall through */
    case 3: //@line 4
      x *= 2;
      break;
    default: //@line 1
      x = -1;
  }
  return x; //@line 5
}

static int loops(int n) {
  int s = 0, i;
  for (i = 0; i < n; i++) { //@dec 5 1
    if (i % 2 == 0 && (i > 1 || s > 100)) //@dec 2 3 //@conds 3 2 2 1 0 1
      s += 3;
    else if (i == 3) //@dec 1 2
      s -= 1;
  }
  for (;;) {
    if (++i > 6) //@dec 1 1
      break;
  }
  do { //@line 1
    s++;
  } while (s < 10); //@dec 4 1
  while (n-- > 0) //@dec 5 1
    s += n;
  i = 0;
again:
  i++; //@line 3
  if (i < 3) goto again; //@dec 2 1
  return s;
}

static int nested(int a, int b) {
  /* the decision inside a call argument has its own condition string */
  if (bump(a > 0 && b > 0) || bump(a < 0 || b < 0)) //@dec 3 1 2 2 1 1
    return 1;
  return (bump(a), b) ? (a > b ? a : b) : 0; //@dec 0 1 0 0
}

int main(void) {
  int i, total = 0;
  for (i = 0; i < 7; i++) total += classify(i % 5);
  printf("classify %d\n", total);
  printf("loops %d\n", loops(5));
  printf("nested %d %d %d %d\n", nested(1, 2), nested(-1, 2), nested(0, 0), nested(3, 3));
  printf("calls %d\n", calls);
  return 0;
}
