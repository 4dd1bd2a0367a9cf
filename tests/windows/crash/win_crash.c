/* A Windows program that makes a known number of probe calls and then ends
 * abnormally, in the way its first argument names:
 *   av          writes to an unmapped address (EXCEPTION_ACCESS_VIOLATION)
 *   div         divides an integer by zero (EXCEPTION_INT_DIVIDE_BY_ZERO)
 *   ill         executes an undefined instruction (EXCEPTION_ILLEGAL_INSTRUCTION)
 *   abort       calls abort() (msvcrt raises SIGABRT, then ends with status 3)
 *   own         installs a vectored handler and an unhandled-exception filter
 *               of its own, then av: both announce themselves and pass the
 *               exception on (the filter to the one it replaced, as filters do)
 *   own-signal  installs a SIGSEGV handler with signal() (MinGW's start-up
 *               filter calls it), which announces itself and ends with
 *               _exit(139); then av
 *   own-abort   installs a SIGABRT handler that announces itself; then abort
 *   leave       calls QelLeave, then _exit(3) at once
 *   recover     its own filter resumes the program after an av, as a test
 *               framework would, twice: half the calls come before the first
 *               crash, half between the two; then it ends with exit(0)
 * The second argument is the number of node probe calls, spread evenly over
 * nodes 0 to D-1 of unit 7, where D is the third argument (default 5).
 * Before ending it prints "probed". Every mode first waits 500 ms, which
 * covers two things: the runtime wraps handlers installed after it within
 * 100 ms, and its connections to the collector are complete (under Wine they
 * can take a few hundred milliseconds, and a crash flush gives a connection
 * still being made only a short grace, as on Linux). */
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "QELMQLib.h"

static void announce(const char* text) {
  DWORD written;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, (DWORD)strlen(text), &written, NULL);
}

/* An address nobody maps; volatile keeps the compiler from proving anything
 * about it. */
static int* volatile nowhere = (int*)(uintptr_t)16;
static volatile int zero = 0;

static LONG CALLBACK own_vectored(EXCEPTION_POINTERS* info) {
  (void)info;
  announce("own vectored handler ran\n");
  return EXCEPTION_CONTINUE_SEARCH;
}

static LPTOP_LEVEL_EXCEPTION_FILTER replaced;
static LONG WINAPI own_filter(EXCEPTION_POINTERS* info) {
  announce("own filter ran\n");
  return replaced != NULL ? replaced(info) : EXCEPTION_CONTINUE_SEARCH;
}

static void own_segv(int sig) {
  (void)sig;
  announce("own SIGSEGV handler ran\n");
  _exit(139);
}

static void own_abort(int sig) {
  (void)sig;
  announce("own SIGABRT handler ran\n");
}

static long calls_after;
static long distinct = 5;

static void probe_calls(long calls) {
  for (long i = 0; i < calls; ++i) QelNode(7, (int)(i % distinct), 0);
}

static void probe_the_rest(void) {
  int cs[2];
  char buffer[256];
  int position = 0;
  QelStringInit(cs);
  QelStringAddCond(cs, 0, 1);
  QelExp(7, 1, 2, cs, 3, 1);
  QelPrint("record", buffer, &position, QEL_HEADER);
  QelPrint("x", buffer, &position, QEL_INT, 42);
  QelPrint(NULL, buffer, &position, QEL_FLUSH);
  QelMethodTime(7, 9, 1234);
}

/* Where the recovering filter resumes the program, after the first crash
 * and after the second; neither returns. */
static void after_the_second_crash(void) {
  announce("recovered\n");
  probe_the_rest();
  announce("probed\n");
  exit(0);
}

static void after_the_first_crash(void) {
  announce("recovered\n");
  probe_calls(calls_after);
  announce("crashing\n");
  *nowhere = 1;
  announce("unmapped memory was writable\n");
  exit(1);
}

static int crashes;

static LONG WINAPI recovering_filter(EXCEPTION_POINTERS* info) {
  CONTEXT* c = info->ContextRecord;
  void (*resume)(void) = ++crashes == 1 ? after_the_first_crash : after_the_second_crash;
  /* A call's entry state: the stack aligned as the ABI wants it after the
   * return address was pushed, below the faulting frame. */
#ifdef _WIN64
  c->Rsp = ((c->Rsp - 256) & ~(DWORD64)15) - 8;
  c->Rip = (DWORD64)(uintptr_t)resume;
#else
  c->Esp = ((c->Esp - 256) & ~(DWORD)15) - 4;
  c->Eip = (DWORD)(uintptr_t)resume;
#endif
  return EXCEPTION_CONTINUE_EXECUTION;
}

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "av";
  long calls = argc > 2 ? atol(argv[2]) : 100000;
  if (argc > 3) distinct = atol(argv[3]);
  if (strcmp(mode, "own") == 0) {
    AddVectoredExceptionHandler(1, own_vectored);
    replaced = SetUnhandledExceptionFilter(own_filter);
  }
  if (strcmp(mode, "own-signal") == 0) signal(SIGSEGV, own_segv);
  if (strcmp(mode, "own-abort") == 0) signal(SIGABRT, own_abort);
  if (strcmp(mode, "recover") == 0) SetUnhandledExceptionFilter(recovering_filter);
  Sleep(500);

  if (strcmp(mode, "recover") == 0) {
    probe_calls(calls / 2);
    calls_after = calls - calls / 2;
    announce("crashing\n");
    *nowhere = 1;
    announce("unmapped memory was writable\n");
    return 1;
  }

  probe_calls(calls);
  probe_the_rest();
  announce("probed\n");
  if (strcmp(mode, "abort") == 0 || strcmp(mode, "own-abort") == 0) abort();
  if (strcmp(mode, "div") == 0) return 100 / zero;
  if (strcmp(mode, "ill") == 0) __asm__ volatile("ud2");
  if (strcmp(mode, "leave") == 0) {
    QelLeave("win_crash", "assert", "left on purpose");
    _exit(3);
  }
  *nowhere = 1;
  announce("unmapped memory was writable\n");
  return 1;
}
