/* The plain C probes of the runtime, declared once for C and C++. */
#ifndef QELMQ_PROBES_H
#define QELMQ_PROBES_H

#include "qelmq/export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Coverage probes ------------------------------------------------
   None of them blocks the caller for long, allocates, or reports a failure:
   with no collector records are counted and dropped by the runtime. */

/* Node probe: statement or branch `nodeId` of unit `unitId` was passed.
   unitId    number of the instrumented unit (file); low 16 bits are sent.
   nodeId    number of the statement or branch in the unit; low 16 bits are
             sent; 0xFFFF (for example -1) records nothing.
   nodeValue a value the instrumentation attaches to the node; low 16 bits
             are kept in the record (not shown in crash reports).
   Returns 1, so it can stand inside an expression. */
QEL_EXPORT int QelNode(int unitId, int nodeId, int nodeValue);

/* Condition probe: records the outcome of one condition and, given a
   condition string, the MC/DC vector of its decision.
   unitId     number of the instrumented unit; low 16 bits are sent.
   condId     number of the condition in the unit; low 16 bits are sent.
   decisionId number of the decision the condition belongs to.
   condString the decision's condition string (two ints, see QelStringInit),
              or NULL to record the condition outcome only.
   groupId    a group number copied into MC/DC messages (the first call's
              value is kept for the process).
   result     the condition's value; only its low 16 bits count.
   Returns the low 16 bits of `result`, so it can wrap the condition. */
QEL_EXPORT int QelExp(int unitId, int condId, int decisionId, int* condString, int groupId,
                      int result);

/* Starts a condition string: `condString` points to two ints, the 2-bit
   codes of up to 16 conditions and the last index set; both become -1.
   Returns `condString` (NULL stays NULL). */
QEL_EXPORT int* QelStringInit(int* condString);

/* Sets condition `index` (0 to 15) of `condString` to true (`result` non-zero)
   or false; conditions skipped since the last one (short-circuit) are marked
   skipped. Index 0 starts the string afresh. Out-of-range indexes are
   ignored. Returns 0. */
QEL_EXPORT int QelStringAddCond(int* condString, int index, int result);

/* ---- Counters in the program ------------------------------------------
   The registration ABI of units that qelcc instruments with counters
   (qelmq/protocol/counters.h says what each field and call means). These
   are for instrumented code, not for hand-written calls. A counter is
   __typeof__(sizeof(0)) wide, the __qel_ctr of counters.h; the structures
   are only declared here, so that a counted unit that includes this header
   keeps its own definitions. */
struct __qel_reg;
QEL_EXPORT void QelCounterRegister(struct __qel_reg* reg);
QEL_EXPORT void QelCounterUnregister(struct __qel_reg* reg);
QEL_EXPORT __typeof__(sizeof(0))* QelCounterBlock(struct __qel_reg* reg,
                                                  __typeof__(sizeof(0))** tls);
QEL_EXPORT __typeof__(sizeof(0))** QelCounterTable(void);
#ifndef _WIN32
extern __thread __typeof__(sizeof(0))** __qel_tls __attribute__((tls_model("initial-exec")));

/* ---- The exec family --------------------------------------------------
   What the C library's exec functions do, after the runtime has delivered
   everything recorded and counted so far (the process image that follows
   would lose it): every sender flushes and the counts are sent, waiting at
   most about a second. qelcc routes the instrumented code's calls of
   execv, execve, execvp, execvpe, execl, execle, execlp and fexecve here.
   When the exec fails, the runtime goes on and errno is the exec's. */
QEL_EXPORT int QelExecv(const char* path, char* const* argv);
QEL_EXPORT int QelExecve(const char* path, char* const* argv, char* const* envp);
QEL_EXPORT int QelExecvp(const char* file, char* const* argv);
QEL_EXPORT int QelExecvpe(const char* file, char* const* argv, char* const* envp);
QEL_EXPORT int QelExecl(const char* path, const char* arg, ...);
QEL_EXPORT int QelExecle(const char* path, const char* arg, ...);
QEL_EXPORT int QelExeclp(const char* file, const char* arg, ...);
QEL_EXPORT int QelFexecve(int fd, char* const* argv, char* const* envp);
#endif

/* ---- Value probe -----------------------------------------------------
   valueName the value's name (QEL_HEADER: the record's header text).
   buffer    the caller's text buffer, large enough for the whole record; the
             runtime never learns its size.
   position  fill position in `buffer`, starting at 0; advanced by each item.
   typeCode  a QelTypeCode: one value item of that type is appended, and the
             value follows as the last argument (see QelTypeCode);
             QEL_HEADER writes the header at the start of `buffer`;
             QEL_FLUSH ends the record and hands it to the value channel. */
QEL_EXPORT void QelPrint(const char* valueName, char* buffer, int* position, int typeCode, ...);

/* ---- Method timing ---------------------------------------------------
   Sends the record "a b c" (three signed decimal numbers) on the timing
   channel; the meaning of the three numbers is the instrumentation's (for
   example unit, method and elapsed time). The C form of the C++ probe
   QelSendMethodTime(int, int, int), which is exported as a C++ symbol. */
QEL_EXPORT void QelMethodTime(int a, int b, int c);

/* ---- Test-case events ------------------------------------------------
   The C forms of QelSendUniTest::CreateTestcase, StartTestcase and
   StopTestcase. Each sends one event from the calling thread and returns 1
   when the collector took it, 0 otherwise (no collector within about 2 s,
   or no runtime). Calls from several threads take turns.
   name   the test case's name, sent as given (NULL sends an empty name).
   number the test case's number; the event carries "0" in its place, the
          collector pairs start and stop with the last created test case. */
QEL_EXPORT int QelTestcaseCreate(const char* name);
QEL_EXPORT int QelTestcaseStart(int number);
QEL_EXPORT int QelTestcaseStop(int number);

/* The stop event with the test case's verdict, one of QEL_VERDICT_*; the
   report shows it beside what the test case ran. A collector that knows
   no verdict takes it as a plain stop. Returns as QelTestcaseStop. */
#define QEL_VERDICT_NONE 0
#define QEL_VERDICT_PASSED 1
#define QEL_VERDICT_FAILED 2
#define QEL_VERDICT_SKIPPED 3
#define QEL_VERDICT_ERROR 4 /* did not run to its end */
QEL_EXPORT int QelTestcaseStopVerdict(int number, int verdict);

/* ---- Leave operations ------------------------------------------------
   For a program that is about to end abnormally. Both return only once
   what they sent has left the process, or after about one second.
   name   the program's name in the report.
   type   kind of end, for example "signal" or "assert"; line feeds are
          sent as backslash-n.
   cause  what happened, for example "SIGSEGV (signal 11)".
   NULL texts are sent as empty texts.

   QelLeave: every sender flushes what it holds (records still queued
   included: coverage counts, values, timings) and closes, and the crash
   report (the Crash text and the latest 50 records of each coverage kind)
   is sent. Once the runtime has started (any probe call starts it) it is
   async-signal-safe: the work runs on a runtime thread and this call only
   waits, so a program's own signal handler may call it before `_exit()`.
   The runtime does the same by itself on SIGSEGV, SIGBUS, SIGFPE, SIGILL
   and SIGABRT, and on Windows on an unhandled exception and abort().
   Returns 1 when everything was sent within the bound.
   Senders stay closed afterwards: later records of those kinds are dropped.

   QelCrashReport: the crash report alone (C form of
   QelSendLast::sendLeaveMsg); the senders keep running. Not for signal
   handlers. */
QEL_EXPORT int QelLeave(const char* name, const char* type, const char* cause);
QEL_EXPORT void QelCrashReport(const char* name, const char* type, const char* cause);

/* ---- Memory tracking -------------------------------------------------
   QelNew: allocates `size` bytes like malloc; `file`, `function` and `line`
   name the allocation site. Blocks with a non-zero `line` are listed in
   leak reports until they are given to QelDelete. Returns NULL when memory
   is short.
   QelDelete: frees a block from QelNew (NULL does nothing). Any other
   pointer, or one already deleted, is reported in one trace line naming the
   caller and otherwise ignored.
   check_leaks, check_leak: send a leak report of the blocks still held
   through the property channel; return 1 when it listed any, else 0. */
QEL_EXPORT void* QelNew(unsigned size, const char* file, const char* function, int line);
QEL_EXPORT void QelDelete(void* pointer);
/* realloc for blocks from QelNew; any other block goes to the C library's
   realloc untouched. */
QEL_EXPORT void* QelRenew(void* pointer, unsigned size, const char* file, const char* function,
                          int line);
/* free for code whose blocks may come from QelNew or from the C library
   (the instrumenter's rewritten free calls): a block from QelNew is deleted,
   any other pointer goes to the C library's free untouched. */
QEL_EXPORT void QelFree(void* pointer);
QEL_EXPORT int check_leaks(void);
QEL_EXPORT int check_leak(void);

/* ---- Configuration and shutdown --------------------------------------
   readIP: reads the collector configuration into `ip` (128 chars), `state`
   and `noMcdc` (2 chars each), zero-filled by the caller.
   QelExit: sends what the runtime holds and stops it (also run
   automatically when the library is unloaded); a later probe starts it
   again. Returns 0. */
QEL_EXPORT void readIP(char* ip, char* state, char* noMcdc);
QEL_EXPORT int QelExit(void);

#ifdef __cplusplus
}
#endif

/* Value type codes of QelPrint and the value argument each takes: strings
   (QEL_STRING, QEL_BOOL_TEXT) a const char*; characters, QEL_BOOL, shorts
   and QEL_INT an int; QEL_ULONG an unsigned long and QEL_LONG a long (32
   bits on Windows and 32-bit targets, the pointer's width elsewhere);
   QEL_ULONGLONG and QEL_LONGLONG a 64-bit integer; QEL_FLOAT and QEL_DOUBLE a double;
   QEL_LONGDOUBLE a long double; QEL_HEADER and QEL_FLUSH none. */
enum QelTypeCode {
  QEL_STRING = 0,
  QEL_BOOL_TEXT = 1,
  QEL_CHAR_U = 2,
  QEL_UCHAR = 3,
  QEL_BOOL = 7,
  QEL_USHORT = 8,
  QEL_ULONG = 9,
  QEL_ULONGLONG = 10,
  QEL_CHAR_S = 12,
  QEL_CHAR = 13,
  QEL_SHORT = 15,
  QEL_INT = 16,
  QEL_LONG = 17,
  QEL_LONGLONG = 18,
  QEL_FLOAT = 21,
  QEL_DOUBLE = 22,
  QEL_LONGDOUBLE = 23,
  QEL_HEADER = 26,
  QEL_FLUSH = 27
};

#endif
