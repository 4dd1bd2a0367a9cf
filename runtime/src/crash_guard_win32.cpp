// The crash guard's Windows part: an unhandled exception (access violation,
// division by zero, illegal instruction, ...) and abort() flush the runtime
// (crash_guard.cpp), then go on to the handling the program had: the process
// ends with the exception's own code (abort(): status 3), or goes on if the
// program's own handler says so.
//
// Design
// ------
// Where a crash is caught.
//  * Exceptions: the process's unhandled-exception filter. It runs only for
//    an exception that no frame handler took and no vectored handler
//    resolved (the program's vectored handlers run before it, untouched),
//    which is exactly a crash. A vectored handler of our own would see every
//    first-chance exception, also those the program catches, so there is
//    none.
//  * abort(): msvcrt raises SIGABRT and, when the handler returns, ends the
//    process with status 3; no exception is involved. Our handler sits in
//    msvcrt's signal table, which a MinGW program shares with this DLL.
//    msvcrt puts SIG_DFL back before it calls a handler.
// A process has one filter and one SIGABRT handler, and a program that
// installs its own replaces ours; so does MinGW's start-up code, whose
// filter turns exceptions into the program's signal() handlers of SIGSEGV,
// SIGFPE and SIGILL and otherwise calls the filter it found (ours). The
// flush thread therefore puts ours back on top when it has been idle for
// 100 ms (rewrap_handlers), keeping what it found as the one to chain to.
//
// Chaining. After the flush the filter calls the previous filter and
// returns its verdict; with none it returns EXCEPTION_CONTINUE_SEARCH, and
// the system does what it would have done (error reporting, a debugger,
// then the end of the process with the exception code). A previous filter
// that calls back into ours (MinGW's does: it kept ours as its own previous
// one) must not start the round again: the chaining frame leaves the
// exception record and its own stack address in two thread-local slots
// (TlsAlloc: reading them allocates nothing, which matters on a thread whose
// heap may be broken), and a call on the same thread, for the same record,
// from deeper in the stack is that call back: our part is done, we pass.
// The SIGABRT handler marks its chaining the same way; a program handler
// that aborts again gets msvcrt's default, as it would have.
//
// `g_previous_filter` and `g_previous_abort` are written by
// install_handlers() and by the flush thread's rewrap, read by the handlers;
// the store comes right after ours is installed (Windows has no way to read
// the current filter without replacing it), so a crash in that instant
// chains to the one found before.
#include <windows.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstring>

#include "crash_guard_port.h"
#include "port.h"

namespace qel_crash {

namespace {

using AbortHandler = void(__cdecl*)(int);

LONG WINAPI on_unhandled(EXCEPTION_POINTERS* info);
void __cdecl on_abort(int sig);

std::atomic<LPTOP_LEVEL_EXCEPTION_FILTER> g_previous_filter{nullptr};
std::atomic<AbortHandler> g_previous_abort{SIG_DFL};

// Thread-local marks of a chain under way (see Design); TLS_OUT_OF_INDEXES
// when the process had no slot left, and then nothing is chained.
DWORD g_chain_record_slot = TLS_OUT_OF_INDEXES;
DWORD g_chain_frame_slot = TLS_OUT_OF_INDEXES;
DWORD g_abort_chain_slot = TLS_OUT_OF_INDEXES;
// What the abort slot holds while a program handler we chained to runs.
char g_abort_chain_mark = 0;
INIT_ONCE g_slots_once = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK allocate_slots(PINIT_ONCE, PVOID, PVOID*) {
  g_chain_record_slot = TlsAlloc();
  g_chain_frame_slot = TlsAlloc();
  g_abort_chain_slot = TlsAlloc();
  return TRUE;
}

bool have_slots() {
  return g_chain_record_slot != TLS_OUT_OF_INDEXES && g_chain_frame_slot != TLS_OUT_OF_INDEXES &&
         g_abort_chain_slot != TLS_OUT_OF_INDEXES;
}

// The names of the winnt.h constants; codes newer headers name too are
// written as numbers, so that any MinGW release builds this.
const char* exception_name(uint32_t code) {
  switch (code) {
    case 0xC0000005:
      return "EXCEPTION_ACCESS_VIOLATION";
    case 0xC0000094:
      return "EXCEPTION_INT_DIVIDE_BY_ZERO";
    case 0xC000001D:
      return "EXCEPTION_ILLEGAL_INSTRUCTION";
    case 0xC00000FD:
      return "EXCEPTION_STACK_OVERFLOW";
    case 0xC0000096:
      return "EXCEPTION_PRIV_INSTRUCTION";
    case 0xC0000006:
      return "EXCEPTION_IN_PAGE_ERROR";
    case 0xC0000095:
      return "EXCEPTION_INT_OVERFLOW";
    case 0xC000008C:
      return "EXCEPTION_ARRAY_BOUNDS_EXCEEDED";
    case 0xC000008D:
      return "EXCEPTION_FLT_DENORMAL_OPERAND";
    case 0xC000008E:
      return "EXCEPTION_FLT_DIVIDE_BY_ZERO";
    case 0xC000008F:
      return "EXCEPTION_FLT_INEXACT_RESULT";
    case 0xC0000090:
      return "EXCEPTION_FLT_INVALID_OPERATION";
    case 0xC0000091:
      return "EXCEPTION_FLT_OVERFLOW";
    case 0xC0000092:
      return "EXCEPTION_FLT_STACK_CHECK";
    case 0xC0000093:
      return "EXCEPTION_FLT_UNDERFLOW";
    case 0xC0000025:
      return "EXCEPTION_NONCONTINUABLE_EXCEPTION";
    case 0xC0000026:
      return "EXCEPTION_INVALID_DISPOSITION";
    case 0x80000002:
      return "EXCEPTION_DATATYPE_MISALIGNMENT";
    case 0x80000003:
      return "EXCEPTION_BREAKPOINT";
    case 0x80000004:
      return "EXCEPTION_SINGLE_STEP";
    case 0xC0000374:
      return "STATUS_HEAP_CORRUPTION";
    case 0xC0000409:
      return "STATUS_STACK_BUFFER_OVERRUN";
    default:
      return "exception";
  }
}

LONG WINAPI on_unhandled(EXCEPTION_POINTERS* info) {
  EXCEPTION_RECORD* record = info != nullptr ? info->ExceptionRecord : nullptr;
  char here = 0;
  const bool slots = have_slots();
  void* const outer_record = slots ? TlsGetValue(g_chain_record_slot) : nullptr;
  char* const outer_frame = slots ? static_cast<char*>(TlsGetValue(g_chain_frame_slot)) : nullptr;
  // The filter we chained to called back into ours (see Design).
  if (outer_record != nullptr && outer_record == record && &here < outer_frame)
    return EXCEPTION_CONTINUE_SEARCH;
  const uint32_t code = record != nullptr ? static_cast<uint32_t>(record->ExceptionCode) : 0;
  CauseText cause;
  cause.add(exception_name(code)).add(" (").add_hex32(code).add(")");
  flush_for_crash("exception", cause.c_str());
  // acquire: pairs with the release stores of install and rewrap.
  LPTOP_LEVEL_EXCEPTION_FILTER previous = g_previous_filter.load(std::memory_order_acquire);
  if (previous == nullptr || previous == on_unhandled || !slots) return EXCEPTION_CONTINUE_SEARCH;
  TlsSetValue(g_chain_record_slot, record);
  TlsSetValue(g_chain_frame_slot, &here);
  const LONG verdict = previous(info);
  // Put back what an outer chain on this thread had (an exception inside
  // the program's own filter).
  TlsSetValue(g_chain_record_slot, outer_record);
  TlsSetValue(g_chain_frame_slot, outer_frame);
  // EXCEPTION_CONTINUE_EXECUTION: the program goes on, and the flush has
  // reopened the senders for it.
  return verdict;
}

void __cdecl on_abort(int sig) {
  const bool slots = have_slots();
  if (slots && TlsGetValue(g_abort_chain_slot) != nullptr) {
    // The program's handler we chained to aborts again: msvcrt's default.
    std::signal(SIGABRT, SIG_DFL);
    std::raise(SIGABRT);
    return;
  }
  CauseText cause;
  cause.add("SIGABRT (signal ").add_decimal(static_cast<uint32_t>(sig)).add(")");
  flush_for_crash("signal", cause.c_str());
  // acquire: pairs with the release stores of install and rewrap.
  const AbortHandler previous = g_previous_abort.load(std::memory_order_acquire);
  if (previous != SIG_DFL && previous != SIG_IGN && previous != on_abort && slots) {
    // Its return ends abort() with status 3, or lets a raise() go on, as
    // without the runtime.
    TlsSetValue(g_abort_chain_slot, &g_abort_chain_mark);
    previous(sig);
    TlsSetValue(g_abort_chain_slot, nullptr);
    return;
  }
  // msvcrt's default for SIGABRT: the end of the process with status 3.
  std::signal(SIGABRT, SIG_DFL);
  std::raise(SIGABRT);
}

}  // namespace

namespace platform {

void install_handlers() {
  InitOnceExecuteOnce(&g_slots_once, allocate_slots, nullptr, nullptr);
  rewrap_handlers();
}

void restore_handlers() {
  // acquire: pairs with the release stores of install and rewrap.
  LPTOP_LEVEL_EXCEPTION_FILTER previous = g_previous_filter.load(std::memory_order_acquire);
  LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(previous);
  // A filter the program installed meanwhile stays.
  if (current != on_unhandled) SetUnhandledExceptionFilter(current);
  AbortHandler handler = std::signal(SIGABRT, g_previous_abort.load(std::memory_order_acquire));
  if (handler != SIG_ERR && handler != on_abort) std::signal(SIGABRT, handler);
}

void rewrap_handlers() {
  LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(on_unhandled);
  // release: pairs with the handlers' acquire loads.
  if (current != on_unhandled) g_previous_filter.store(current, std::memory_order_release);
  // signal() is the only way to read the handler: it installs ours at once.
  AbortHandler handler = std::signal(SIGABRT, on_abort);
  if (handler == SIG_ERR || handler == on_abort) return;
  // A program that ignores SIGABRT keeps it ignored.
  if (handler == SIG_IGN) {
    std::signal(SIGABRT, SIG_IGN);
    return;
  }
  g_previous_abort.store(handler, std::memory_order_release);
}

void program_name(char* out, std::size_t size) {
  if (size == 0) return;
  char path[MAX_PATH + 1];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  path[n < MAX_PATH ? n : MAX_PATH] = '\0';
  const char* base = std::strrchr(path, '\\');
  base = base != nullptr ? base + 1 : path;
  std::size_t i = 0;
  for (; base[i] != '\0' && i + 1 < size; ++i) out[i] = base[i];
  out[i] = '\0';
}

}  // namespace platform

}  // namespace qel_crash
