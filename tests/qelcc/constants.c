/* Constant-expression contexts and unevaluated operands: nothing may be
 * inserted there (the compiler would reject it or the meaning would change). */
#include <stdio.h>

#define A 3
#define B 4

enum { E1 = A > 2 && B > 2, E2 = (A || B) ? 7 : 8 }; //@nodec
_Static_assert(A < B && B < 10, "limits"); //@nodec
static const int table[A && B ? 2 : 3] = {A > 1 && B > 1, 0}; //@nodec
static int counter = (A || B); //@nodec

static int scan(int v) {
  static int seen = A > 0 && B > 0; //@nodec
  int arr[(A && B) ? 4 : 1] = {0}; //@nodec
  _Static_assert(sizeof(int) >= 2 || 0, "int"); //@nodec
  unsigned long s = sizeof(v > 0 && v < 9) + _Alignof(int); //@nodec
  __typeof__(v && seen) t = 0; //@nodec
  int g = _Generic(v && 1, int: 5, default: 6); //@nodec
  int k = __builtin_choose_expr(A && B, 1, 2) + __builtin_constant_p(v && B); //@nodec
  unsigned long o = __builtin_offsetof(struct { int a; int b[A && B ? 2 : 1]; }, b); //@nodec
  switch (v) {
    case A && B: //@line 1
      t += 1;
      break;
    case (A || 0) + 1:
      t += 2;
      break;
    default:
      t += arr[0];
  }
  while (1) { //@nodec
    if (v > 100) break; //@dec 0 1
    v++;
    if (v > 1) break; //@dec 1 0
  }
  return (int)s + t + g + k + (int)o + seen + table[0] + E1 + E2 + counter; //@line 1
}

int main(void) {
  printf("scan %d\n", scan(1));
  return 0;
}
