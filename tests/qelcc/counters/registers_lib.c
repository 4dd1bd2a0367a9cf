/* A unit whose first call in each thread is a function with every argument
   register in use: six integers and eight doubles. Its entry asks the
   runtime for the thread's counters with all of them live, and must hand
   them on untouched. A value that does not round-trip changes the sum. */
#include <math.h>

__attribute__((noinline)) double mix(long a, long b, long c, long d, long e, long f, double x0,
                                     double x1, double x2, double x3, double x4, double x5,
                                     double x6, double x7) {
  double s = (double)(a + 2 * b + 3 * c + 4 * d + 5 * e + 6 * f);
  s += x0 * 1.5 + x1 * 2.5 + x2 * 3.5 + x3 * 4.5 + x4 * 5.5 + x5 * 6.5 + x6 * 7.5 + x7 * 8.5;
  if (s > 0 && isfinite(s)) return s;
  return -1;
}

/* Doubles kept across the call into the runtime in a vector register: the
   compiler may place the entry after the first products. */
__attribute__((noinline)) double dot(const double* v, int n, double scale) {
  double s = 0;
  int i;
  for (i = 0; i < n; ++i) s += v[i] * scale;
  return s;
}
