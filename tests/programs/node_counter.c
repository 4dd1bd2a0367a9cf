/* An instrumented process for the parallel-process tests, written in C.
 *   node_counter UNIT HITS NODES      HITS node probes of UNIT over NODES nodes
 *   node_counter fork N HITS NODES    N forked children, child i counts as
 *                                     unit 100 + i; the parent probes nothing */
#include <QELMQLib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

static void count(int unit, int hits, int nodes) {
  int i;
  for (i = 0; i < hits; ++i) QelNode(unit, i % nodes, 0);
}

int main(int argc, char** argv) {
  if (argc == 5 && strcmp(argv[1], "fork") == 0) {
    int n = atoi(argv[2]), hits = atoi(argv[3]), nodes = atoi(argv[4]), i, bad = 0;
    fflush(stdout);
    for (i = 0; i < n; ++i) {
      pid_t p = fork();
      if (p < 0) return 1;
      if (p == 0) {
        count(100 + i, hits, nodes);
        return 0; /* exit() runs the runtime's shutdown of this child */
      }
    }
    for (i = 0; i < n; ++i) {
      int status = 0;
      if (wait(&status) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) ++bad;
    }
    return bad ? 1 : 0;
  }
  if (argc != 4) {
    fprintf(stderr, "usage: node_counter UNIT HITS NODES | fork N HITS NODES\n");
    return 2;
  }
  count(atoi(argv[1]), atoi(argv[2]), atoi(argv[3]));
  return 0;
}
