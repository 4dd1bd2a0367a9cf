/* Forks two children: one makes probe calls, one exits at once. Exits 0 when
 * both end cleanly within the time limit. */
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "QELMQLib.h"

static int wait_child(pid_t child, const char* what) {
  for (int i = 0; i < 500; ++i) { /* 5 s */
    int status = 0;
    pid_t r = waitpid(child, &status, WNOHANG);
    if (r == child) {
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return 0;
      printf("child %s ended badly: status %d\n", what, status);
      return 1;
    }
    usleep(10000);
  }
  printf("child %s hangs\n", what);
  kill(child, SIGKILL);
  return 1;
}

/* Keeps the allocation table's lock and the property channel busy, so that
 * forks happen while another thread holds them. */
static volatile int churning = 1;
static void* churn(void* arg) {
  (void)arg;
  while (churning) {
    void* p = QelNew(32, "churn.c", "churn", 7);
    QelDelete(p);
    check_leaks();
  }
  return NULL;
}

int main(void) {
  QelNode(1, 1, 0);
  fflush(stdout);
  pthread_t churner;
  pthread_create(&churner, NULL, churn, NULL);
  int busy_bad = 0;
  for (int i = 0; i < 20; ++i) {
    fflush(stdout);
    pid_t c = fork();
    if (c == 0) {
      QelDelete(QelNew(8, "forked.c", "main", 1));
      check_leak();
      _exit(0);
    }
    busy_bad += wait_child(c, "forked-while-busy");
  }
  churning = 0;
  pthread_join(churner, NULL);
  printf("busy-forks-bad %d\n", busy_bad);
  fflush(stdout);
  pid_t probing = fork();
  if (probing == 0) {
    int cs[2];
    QelNode(2, 2, 0);
    QelStringInit(cs);
    QelExp(2, 1, 1, cs, 1, 1);
    void* p = QelNew(8, "child.c", "main", 3);
    QelDelete(p);
    printf("child-probed %d\n", (int)getpid());
    exit(0);
  }
  pid_t idle = fork();
  if (idle == 0) {
    printf("child-idle %d\n", (int)getpid());
    exit(0);
  }
  int bad = wait_child(probing, "probing") + wait_child(idle, "idle") + busy_bad;
  QelNode(1, 2, 0);
  printf("parent-done %d\n", bad);
  return bad;
}
