/* An exec that fails leaves the program counting on; one that succeeds
   replaces it after its counts are delivered. */
#include <errno.h>
#include <stdio.h>
#include <unistd.h>

static int f(int x) { return x * 2; }

int main(void) {
  int i, s = 0;
  for (i = 0; i < 50; ++i) s += f(i);
  if (execl("/nonexistent/program", "program", (char*)0) == -1 && errno == ENOENT)
    printf("exec failed: ENOENT\n");
  for (i = 0; i < 5; ++i) s += f(i);
  fflush(stdout);
  execl("/bin/sh", "sh", "-c", "exit 0", (char*)0);
  return s > 0 ? 3 : 4;
}
