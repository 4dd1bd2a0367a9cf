/* Eight threads whose first call into registers_lib.c passes every argument
   register; each checks what came back against the figure worked out by
   hand. */
#include <pthread.h>
#include <stdio.h>

double mix(long a, long b, long c, long d, long e, long f, double x0, double x1, double x2,
           double x3, double x4, double x5, double x6, double x7);
double dot(const double* v, int n, double scale);

static void* run(void* arg) {
  long k = (long)arg;
  static const double v[5] = {1, 2, 3, 4, 5};
  /* (1+2+...+6) k = 21 k; 0.5 (1.5+2.5+...+8.5) = 20 */
  double m = mix(k, k, k, k, k, k, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5);
  double d = dot(v, 5, (double)k); /* 15 k */
  return (void*)(long)(m == 21.0 * (double)k + 20.0 && d == 15.0 * (double)k);
}

int main(void) {
  pthread_t th[8];
  long i, good = (long)run((void*)100L);
  for (i = 0; i < 8; ++i) pthread_create(&th[i], 0, run, (void*)(i + 1));
  for (i = 0; i < 8; ++i) {
    void* r;
    pthread_join(th[i], &r);
    good += (long)r;
  }
  printf("%ld of 9 right\n", good);
  return good == 9 ? 0 : 1;
}
