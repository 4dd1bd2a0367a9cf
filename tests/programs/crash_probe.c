/* A C test program that makes a known number of probe calls and then ends
 * abnormally, in the way its first argument names:
 *   segv       reads from an unmapped address
 *   abort      calls abort()
 *   own        installs its own SIGSEGV handler (which announces itself and
 *              then dies of the default action), then reads an unmapped address
 *   own-leave  its own SIGSEGV handler calls QelLeave and _exit(139)
 *   leave      calls QelLeave, then _exit(3) at once
 *   in-probe   crashes inside the runtime: a value probe given a bad buffer
 *   in-free    frees a block twice, so that the C library aborts inside free
 *   recover    its own SIGSEGV handler recovers with siglongjmp (as test
 *              frameworks do); half the calls come before the crash, half
 *              after, then it returns 0
 * The second argument is the number of node probe calls, spread evenly over
 * nodes 0 to D-1 of unit 7, where D is the third argument (default 5).
 * Before ending it prints "probed". */
#include <setjmp.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "QELMQLib.h"

static void announce(const char* text) {
  if (write(1, text, strlen(text)) < 0) _exit(99);
}

static void own_handler(int sig) {
  announce("own handler ran\n");
  signal(sig, SIG_DFL);
  raise(sig);
}

static void own_leave_handler(int sig) {
  (void)sig;
  QelLeave("crash_probe", "signal", "own handler");
  announce("own leave done\n");
  _exit(139);
}

static sigjmp_buf recovery;
static void recovering_handler(int sig) {
  (void)sig;
  siglongjmp(recovery, 1);
}

/* An address nobody maps; not null, which UBSan would report by itself.
 * Volatile keeps the compiler from proving anything about it. */
static int* volatile nowhere = (int*)(uintptr_t)16;

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "segv";
  long calls = argc > 2 ? atol(argv[2]) : 100000;
  long distinct = argc > 3 ? atol(argv[3]) : 5;
  if (strcmp(mode, "own") == 0) signal(SIGSEGV, own_handler);
  if (strcmp(mode, "own-leave") == 0) signal(SIGSEGV, own_leave_handler);
  if (strcmp(mode, "recover") == 0) signal(SIGSEGV, recovering_handler);
  /* The runtime wraps handlers installed after it within 100 ms. */
  if (strncmp(mode, "own", 3) == 0 || strcmp(mode, "recover") == 0) usleep(300 * 1000);

  if (strcmp(mode, "recover") == 0) {
    for (long i = 0; i < calls / 2; ++i) QelNode(7, (int)(i % distinct), 0);
    if (sigsetjmp(recovery, 1) == 0) {
      announce("crashing\n");
      if (*nowhere) announce("unmapped memory was readable\n");
    }
    announce("recovered\n");
    calls -= calls / 2;
  }

  for (long i = 0; i < calls; ++i) QelNode(7, (int)(i % distinct), 0);
  int cs[2];
  QelStringInit(cs);
  QelStringAddCond(cs, 0, 1);
  QelExp(7, 1, 2, cs, 3, 1);

  char buffer[256];
  int position = 0;
  QelPrint("record", buffer, &position, QEL_HEADER);
  QelPrint("x", buffer, &position, QEL_INT, 42);
  QelPrint(NULL, buffer, &position, QEL_FLUSH);
  QelMethodTime(7, 9, 1234);

  announce("probed\n");
  if (strcmp(mode, "recover") == 0) return 0;
  if (strcmp(mode, "abort") == 0) abort();
  if (strcmp(mode, "in-probe") == 0) {
    /* Not null (the probe checks for that): an address nobody maps. */
    int at = 0;
    QelPrint("y", (char*)nowhere, &at, QEL_INT, 1);
    announce("the probe did not crash\n");
  }
  if (strcmp(mode, "in-free") == 0) {
    char* volatile block = malloc(64);
    free(block);
    free(block);
  }
  if (strcmp(mode, "leave") == 0) {
    QelLeave("crash_probe", "assert", "left on purpose");
    _exit(3);
  }
  return *nowhere;
}
