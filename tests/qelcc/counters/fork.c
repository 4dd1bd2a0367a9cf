/* Counts before a fork are the parent's; a child sends only what it runs
   itself, with or without entering a function first. */
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

static int f(int x) { return x + 1; }

int main(void) {
  int i, s = 0;
  pid_t p;
  for (i = 0; i < 100; ++i) s += f(i);
  fflush(stdout);
  p = fork();
  if (p == 0) {
    for (i = 0; i < 10; ++i) s += f(i);
    exit(s > 0 ? 0 : 1);
  }
  waitpid(p, 0, 0);
  p = fork();
  if (p == 0) {
    /* no function entered after the fork */
    for (i = 0; i < 7; ++i) s += 2 * i;
    exit(s > 0 ? 0 : 1);
  }
  waitpid(p, 0, 0);
  for (i = 0; i < 1000; ++i) s += f(i);
  printf("%d\n", s > 0);
  return 0;
}
