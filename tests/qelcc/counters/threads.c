/* Three waves of eight threads: each wave's threads end and the next
   wave's take their counter blocks over. */
#include <pthread.h>
#include <stdio.h>

static int work(int i) {
  if ((i & 1) && (i & 2)) return 1;
  return 0;
}

static void* run(void* arg) {
  long n = (long)arg, i;
  long t = 0;
  for (i = 0; i < n; ++i) t += work((int)i);
  return (void*)t;
}

int main(void) {
  pthread_t th[8];
  int wave, i;
  long total = 0;
  for (wave = 0; wave < 3; ++wave) {
    for (i = 0; i < 8; ++i) pthread_create(&th[i], 0, run, (void*)200000L);
    for (i = 0; i < 8; ++i) {
      void* r;
      pthread_join(th[i], &r);
      total += (long)r;
    }
  }
  printf("%ld\n", total);
  return 0;
}
