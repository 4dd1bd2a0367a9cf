/* A short instrumented process, written in C.
 *   short_probe UNIT HITS [leak|kill]   HITS node probes of UNIT over 3 nodes;
 *                                  with "leak", a leak report while it runs
 *                                  first; with "kill", it then dies of SIGKILL
 * After the runtime's shutdown (which runs at exit, before this program's
 * destructors) it writes to standard output whether ZeroMQ was ever loaded
 * into the process, read from its memory maps. */
#include <QELMQLib.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void say(const char* text) {
  /* stdio may be closed by now: a plain write. */
  ssize_t n = write(1, text, strlen(text));
  (void)n;
}

__attribute__((destructor)) static void tell_zeromq(void) {
  char line[4096];
  int found = 0;
  FILE* maps = fopen("/proc/self/maps", "r");
  if (!maps) {
    say("maps unreadable\n");
    return;
  }
  while (fgets(line, sizeof(line), maps))
    if (strstr(line, "libzmq")) found = 1;
  fclose(maps);
  say(found ? "zeromq loaded\n" : "zeromq not loaded\n");
}

int main(int argc, char** argv) {
  int unit, hits, i;
  if (argc < 3) {
    fprintf(stderr, "usage: short_probe UNIT HITS [leak|kill]\n");
    return 2;
  }
  unit = atoi(argv[1]);
  hits = atoi(argv[2]);
  if (argc > 3 && strcmp(argv[3], "leak") == 0) check_leaks();
  for (i = 0; i < hits; ++i) QelNode(unit, i % 3, 0);
  if (argc > 3 && strcmp(argv[3], "kill") == 0) raise(SIGKILL);
  return 0;
}
