/* Statements after an if whose branch always leaves, and after loops, in
 * every arrangement that decides whether the statement after them runs only
 * when their decision is false: labels, breaks, nested branches that leave
 * or fall through, switches, statement expressions. Annotations as in
 * flow.c: //@line N is the line's count, //@dec T F a decision's. */
#include <stdio.h>

static int guard(const int* p, int n) {
  int s = 0;
  if (!p) return -1; //@dec 1 4
  s = p[0]; //@line 4
  if (n > 2) { //@dec 2 2
    if (s > 1) return 2; else return 3; //@dec 1 1
  }
  s += n; //@line 2
  if (n == 1) { //@dec 1 1
    if (s > 100) return 4; //@dec 0 1
  }
  s++; //@line 2
  if (s == 3) //@dec 1 1
    goto done;
  s *= 2; //@line 1
done:
  return s; //@line 2
}

static int loops(int n) {
  int s = 0, i;
  for (i = 0; i < n; i++) { //@dec 7 2
    if (i % 3 == 0) continue; //@dec 3 4
    s += i; //@line 4
  }
  s++; //@line 2
  while (n > 0 && s % 7 != 0) { //@dec 5 1
    if (n == 3) break; //@dec 1 4
    n--;
    s++;
  }
  s += 2; //@line 2
  i = 0;
  while (i < 3) i++; //@dec 6 2
  s += i; //@line 2
  do { //@line 2
    i--;
  } while (i > 2); //@dec 0 2
  s -= i; //@line 2
  for (i = 0; i < 4; i++) { //@dec 8 2
    switch (i) { //@line 8
      case 1: //@line 2
        break;
      default: //@line 6
        s++;
    }
  }
  s += i; //@line 2
  for (i = 0;; i++)
    if (i > 1) break; //@dec 2 4
  s += i; //@line 2
  return s;
}

static int cases(int k) {
  int s = 0;
  switch (k) {
    case 0:
      if (s == 0) break; //@dec 1 0
      s = 5; //@line 0
      /* fall through */
    case 1: //@line 2
      s += 1;
      if (s == 1) return 9; //@dec 2 0
      /* fall through */
    default: //@line 1
      s += 10;
  }
  s += ({ int t = k; if (t > 1) t = 2; t; }); //@dec 1 1
  if (s > 8) return s; //@dec 1 1
  return -s;
}

int main(void) {
  int a[2] = {1, 2}, b[1] = {5};
  int i, total = 0;
  total += guard(0, 0);
  total += guard(a, 1) + guard(b, 3) + guard(a, 3) + guard(b, 2);
  for (i = 0; i < 2; i++) total += loops(i * 3 + 2);
  for (i = 0; i < 4; i++) total += cases(i % 3 + (i == 3));
  printf("total %d\n", total);
  return 0;
}
