/* setjmp, longjmp and vfork in counted functions: the block's pointer, kept
   in a register where the compiler chooses, is the same after longjmp
   returns to setjmp and after the child of vfork has run. */
#include <setjmp.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

static jmp_buf back;

static __attribute__((noinline)) void leave(int i) {
  if (i % 3 == 0) longjmp(back, i + 1);
}

static int jumps(int n) {
  volatile int landed = 0;
  volatile int i;
  for (i = 0; i < n; ++i) {
    if (setjmp(back) != 0) {
      landed++;
      continue;
    }
    leave(i);
  }
  return landed;
}

static int spawn(int i) {
  int status = 0;
  pid_t p = vfork();
  if (p == 0) _exit(i & 1);
  if (p < 0 || waitpid(p, &status, 0) != p) return -1;
  return WEXITSTATUS(status);
}

int main(void) {
  int odd = 0, i;
  for (i = 0; i < 8; ++i) odd += spawn(i);
  printf("landed %d, odd %d\n", jumps(30), odd);
  return 0;
}
