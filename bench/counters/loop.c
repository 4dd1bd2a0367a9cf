/* The tight-loop benchmark: THREADS threads each call decide() ITERATIONS
   times with every combination of its three inputs in turn, and the
   program prints the process's CPU time per call (all threads, the
   runtime's included) and the number of true results. */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

int decide(int a, int b, int c);

static long iterations;
static long trues[64];

static void* run(void* arg) {
  long i, t = 0;
  for (i = 0; i < iterations; ++i) t += decide((int)(i & 1), (int)(i & 2), (int)(i & 4));
  trues[(size_t)arg] = t;
  return 0;
}

int main(int argc, char** argv) {
  int threads = argc > 1 ? atoi(argv[1]) : 1, i;
  long total = 0;
  pthread_t th[64];
  struct timespec a, b;
  iterations = argc > 2 ? atol(argv[2]) : 100000000L;
  if (threads < 1 || threads > 64 || iterations < 1) return 2;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &a);
  for (i = 0; i < threads; ++i) pthread_create(&th[i], 0, run, (void*)(size_t)i);
  for (i = 0; i < threads; ++i) pthread_join(th[i], 0);
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &b);
  for (i = 0; i < threads; ++i) total += trues[i];
  printf("%.4f %ld\n",
         ((double)(b.tv_sec - a.tv_sec) * 1e9 + (double)(b.tv_nsec - a.tv_nsec)) /
             ((double)iterations * threads),
         total);
  return 0;
}
