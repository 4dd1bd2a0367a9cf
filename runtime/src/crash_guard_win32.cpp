// The crash guard's Windows part: an unhandled exception (access violation,
// division by zero, illegal instruction, ...) and abort() flush the runtime
// (crash_guard.cpp), then go on to the handling the program had: the process
// ends with the exception's own code (abort(): status 3), or goes on if the
// program's own handler says so.
//
// Design
// ------
// Where a crash is caught.
//  * The process's unhandled-exception filter. It runs for an exception that
//    no frame handler took and no vectored handler resolved (the program's
//    vectored handlers run before it, untouched): a crash.
//  * abort(): msvcrt raises SIGABRT and, when the handler returns, ends the
//    process with status 3; no exception is involved. Our SIGABRT handler
//    (msvcrt keeps one per process, shared by a MinGW program and this DLL)
//    flushes and then calls the program's, or takes msvcrt's default.
//  * The program's own SIGSEGV, SIGILL and SIGFPE handlers. MinGW's start-up
//    code installs a filter that hands access violations, illegal
//    instructions and arithmetic exceptions to them. On x86 that filter is
//    reached through ours, which flushes first. On x86-64 MinGW also runs it
//    as the frame handler around main(), before any unhandled-exception
//    filter: there the program's handler would run, and usually end the
//    process, before ours. msvcrt keeps these three handlers per thread
//    (Wine's msvcrt keeps one table), so only the thread itself can see or
//    replace its own: a vectored handler of ours, last in line, does so for
//    the thread that loaded the runtime (the one that runs main()), at the
//    start of each exception whose signal has a program handler there. Our
//    wrapper goes in, flushes when MinGW's filter calls it, then calls the
//    program's. The thread's table is made while the runtime loads (msvcrt
//    allocates it at a thread's first signal() of the three), so that doing
//    this during a crash never allocates: the heap may be what crashed.
// msvcrt puts SIG_DFL in a slot before it calls the slot's handler, as
// MinGW's filter does, so a program handler that crashes again meets the
// default, as without the runtime.
//
// The filter and the SIGABRT handler are process-wide, and the program (or
// MinGW's start-up code) replaces ours by installing its own. The flush
// thread therefore wraps again when it has been idle for 100 ms
// (rewrap_handlers): ours goes back on top and what it found becomes the
// previous one. Windows can read neither without replacing it, so the
// previous one is stored right after ours is in place; a crash in that
// instant chains to the one found before.
//
// One exception may reach our filter more than once: MinGW's filter, as the
// frame handler around main() on x86-64 and as the top-level filter it
// chains from, calls the filter it found at start-up (ours, installed while
// the DLL loaded); a program filter that chains to its previous one may call
// ours back. The vectored handler numbers the exceptions dispatched on each
// thread (thread-local slots, TlsAlloc: reading them allocates nothing).
// The filter acts on its first call for an exception (flush, then the
// previous filter's verdict) and passes on any later call for the same one;
// a crash is flushed once whichever handler of ours sees it first. The
// vectored handler and the filter keep GetLastError() as the program left it.
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>

#include "crash_guard_port.h"
#include "port.h"
#include "trace.h"

namespace qel_crash {

namespace {

using SignalHandler = void(__cdecl*)(int);

LONG WINAPI on_unhandled(EXCEPTION_POINTERS* info);
void __cdecl on_abort(int sig);
void __cdecl on_segv(int sig);
void __cdecl on_ill(int sig);
void __cdecl on_fpe(int sig);

// The signals MinGW's filter delivers for exceptions, each with our wrapper.
struct ExceptionSignal {
  int sig;
  SignalHandler wrapper;
  const char* name;
};
const ExceptionSignal kExceptionSignals[] = {
    {SIGSEGV, on_segv, "SIGSEGV"}, {SIGILL, on_ill, "SIGILL"}, {SIGFPE, on_fpe, "SIGFPE"}};
constexpr int kExceptionSignalCount = sizeof(kExceptionSignals) / sizeof(kExceptionSignals[0]);

std::atomic<LPTOP_LEVEL_EXCEPTION_FILTER> g_previous_filter{nullptr};
std::atomic<SignalHandler> g_previous_abort{SIG_DFL};
// The program's handlers our wrappers stand in front of (see Design).
std::atomic<SignalHandler> g_previous_signal[kExceptionSignalCount];
// The thread that loaded the runtime, whose signal slots the vectored
// handler wraps; 0 before install_handlers().
std::atomic<DWORD> g_main_thread{0};

// Per thread (see Design): the number of the last exception dispatched, its
// code, and the numbers of the exceptions the filter acted on and a flush
// was made for. TLS_OUT_OF_INDEXES until install_handlers().
DWORD g_dispatch_slot = TLS_OUT_OF_INDEXES;
DWORD g_code_slot = TLS_OUT_OF_INDEXES;
DWORD g_acted_slot = TLS_OUT_OF_INDEXES;
DWORD g_flushed_slot = TLS_OUT_OF_INDEXES;
PVOID g_numbering = nullptr;  // the vectored handler; null: exceptions not guarded
INIT_ONCE g_install_once = INIT_ONCE_STATIC_INIT;

uintptr_t slot_value(DWORD slot) { return reinterpret_cast<uintptr_t>(TlsGetValue(slot)); }
void set_slot(DWORD slot, uintptr_t value) { TlsSetValue(slot, reinterpret_cast<void*>(value)); }

bool is_function(SignalHandler h) { return h != SIG_DFL && h != SIG_IGN && h != SIG_ERR; }

int signal_index(int sig) {
  for (int i = 0; i < kExceptionSignalCount; ++i)
    if (kExceptionSignals[i].sig == sig) return i;
  return -1;
}

int signal_of(uint32_t code);

// On the thread that loaded the runtime: our wrapper in front of the
// program's handler of signal `index`, if it has one there.
void wrap_signal_here(int index) {
  const ExceptionSignal& s = kExceptionSignals[index];
  // signal() is the only way to read a slot: it installs ours at once.
  const SignalHandler handler = std::signal(s.sig, s.wrapper);
  if (handler == s.wrapper || handler == SIG_ERR) return;
  if (is_function(handler)) {
    // release: pairs with the wrapper's acquire load.
    g_previous_signal[index].store(handler, std::memory_order_release);
    return;
  }
  std::signal(s.sig, handler);  // the default or ignored: MinGW's filter decides
}

LONG CALLBACK number_exception(EXCEPTION_POINTERS* info) {
  const DWORD last_error = GetLastError();
  const int saved_errno = errno;
  uintptr_t number = slot_value(g_dispatch_slot) + 1;
  if (number == 0) number = 1;
  set_slot(g_dispatch_slot, number);
  const uint32_t code = info != nullptr && info->ExceptionRecord != nullptr
                            ? static_cast<uint32_t>(info->ExceptionRecord->ExceptionCode)
                            : 0;
  set_slot(g_code_slot, code);
  // relaxed: written once, before the runtime's first exception can come.
  if (GetCurrentThreadId() == g_main_thread.load(std::memory_order_relaxed)) {
    const int index = signal_index(signal_of(code));
    if (index >= 0) wrap_signal_here(index);
  }
  errno = saved_errno;
  SetLastError(last_error);
  return EXCEPTION_CONTINUE_SEARCH;
}

BOOL CALLBACK install_numbering(PINIT_ONCE, PVOID, PVOID*) {
  g_dispatch_slot = TlsAlloc();
  g_code_slot = TlsAlloc();
  g_acted_slot = TlsAlloc();
  g_flushed_slot = TlsAlloc();
  if (g_dispatch_slot != TLS_OUT_OF_INDEXES && g_code_slot != TLS_OUT_OF_INDEXES &&
      g_acted_slot != TLS_OUT_OF_INDEXES && g_flushed_slot != TLS_OUT_OF_INDEXES)
    // 0: after the program's own vectored handlers.
    g_numbering = AddVectoredExceptionHandler(0, number_exception);
  if (g_numbering == nullptr)
    qel_trace::line("crash guard: no vectored handler, exceptions will lose data::%d\n",
                    qel_port::current_pid());
  return TRUE;
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

// The signal MinGW's filter turns an exception into, or 0.
int signal_of(uint32_t code) {
  switch (code) {
    case 0xC0000005:
      return SIGSEGV;
    case 0xC000001D:
    case 0xC0000096:
      return SIGILL;
    case 0xC0000094:
    case 0xC000008D:
    case 0xC000008E:
    case 0xC000008F:
    case 0xC0000090:
    case 0xC0000091:
    case 0xC0000092:
    case 0xC0000093:
      return SIGFPE;
    default:
      return 0;
  }
}

void flush_exception(uint32_t code) {
  CauseText cause;
  cause.add(exception_name(code)).add(" (").add_hex32(code).add(")");
  flush_for_crash("exception", cause.c_str());
}

// Flushes for the exception being dispatched on this thread unless a
// handler of ours did so already.
void flush_once(uintptr_t dispatch, uint32_t code) {
  if (slot_value(g_flushed_slot) == dispatch) return;
  set_slot(g_flushed_slot, dispatch);
  flush_exception(code);
}

LONG WINAPI on_unhandled(EXCEPTION_POINTERS* info) {
  const DWORD last_error = GetLastError();
  const uintptr_t dispatch = slot_value(g_dispatch_slot);
  // A later call for an exception the filter acted on (see Design).
  if (slot_value(g_acted_slot) == dispatch) {
    SetLastError(last_error);
    return EXCEPTION_CONTINUE_SEARCH;
  }
  set_slot(g_acted_slot, dispatch);
  const EXCEPTION_RECORD* record = info != nullptr ? info->ExceptionRecord : nullptr;
  flush_once(dispatch, record != nullptr ? static_cast<uint32_t>(record->ExceptionCode) : 0);
  // acquire: pairs with the release stores of rewrap_handlers().
  LPTOP_LEVEL_EXCEPTION_FILTER previous = g_previous_filter.load(std::memory_order_acquire);
  SetLastError(last_error);
  // EXCEPTION_CONTINUE_EXECUTION from it: the program goes on, and the flush
  // has reopened the senders for it.
  return previous != nullptr && previous != on_unhandled ? previous(info)
                                                         : EXCEPTION_CONTINUE_SEARCH;
}

// A program's SIGSEGV, SIGILL or SIGFPE handler, called by MinGW's filter
// for an exception (or by raise()): flush, then the program's handler.
void on_exception_signal(int index, int sig) {
  const DWORD last_error = GetLastError();
  const uintptr_t dispatch = slot_value(g_dispatch_slot);
  const uint32_t code = static_cast<uint32_t>(slot_value(g_code_slot));
  if (signal_of(code) == sig) {
    flush_once(dispatch, code);
  } else {
    CauseText cause;
    cause.add(kExceptionSignals[index].name)
        .add(" (signal ")
        .add_decimal(static_cast<uint32_t>(sig))
        .add(")");
    flush_for_crash("signal", cause.c_str());
  }
  // acquire: pairs with the release store of wrap_signal_here().
  const SignalHandler previous = g_previous_signal[index].load(std::memory_order_acquire);
  SetLastError(last_error);
  // Without one (only when the program reset the slot in the instant we
  // wrapped it), MinGW resumes the instruction, which faults again and
  // meets the default.
  if (previous != SIG_DFL && previous != SIG_IGN && previous != SIG_ERR) previous(sig);
}

void __cdecl on_segv(int sig) { on_exception_signal(0, sig); }
void __cdecl on_ill(int sig) { on_exception_signal(1, sig); }
void __cdecl on_fpe(int sig) { on_exception_signal(2, sig); }

void __cdecl on_abort(int sig) {
  CauseText cause;
  cause.add("SIGABRT (signal ").add_decimal(static_cast<uint32_t>(sig)).add(")");
  flush_for_crash("signal", cause.c_str());
  // acquire: pairs with the release stores of rewrap_handlers().
  const SignalHandler previous = g_previous_abort.load(std::memory_order_acquire);
  if (previous != SIG_DFL && previous != SIG_IGN && previous != SIG_ERR && previous != on_abort) {
    // Its return ends abort() with status 3, or lets a raise() go on, as
    // without the runtime.
    previous(sig);
    return;
  }
  // msvcrt's default for SIGABRT: the end of the process with status 3.
  std::signal(SIGABRT, SIG_DFL);
  std::raise(SIGABRT);
}

}  // namespace

namespace platform {

void install_handlers() {
  InitOnceExecuteOnce(&g_install_once, install_numbering, nullptr, nullptr);
  if (g_numbering != nullptr && g_main_thread.load(std::memory_order_relaxed) == 0) {
    // This thread's own table of the three slots, made now (see Design):
    // each slot read and put back as it was.
    for (const ExceptionSignal& s : kExceptionSignals) {
      const SignalHandler handler = std::signal(s.sig, SIG_DFL);
      if (handler != SIG_ERR) std::signal(s.sig, handler);
    }
    // relaxed: the vectored handler reads it on this thread or, for other
    // threads, compares it with their own id, which a stale 0 never equals.
    g_main_thread.store(GetCurrentThreadId(), std::memory_order_relaxed);
  }
  rewrap_handlers();
}

void restore_handlers() {
  if (g_numbering != nullptr) {
    // acquire: pairs with the release stores of rewrap_handlers().
    LPTOP_LEVEL_EXCEPTION_FILTER previous = g_previous_filter.load(std::memory_order_acquire);
    LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(previous);
    // A filter the program installed meanwhile stays.
    if (current != on_unhandled) SetUnhandledExceptionFilter(current);
    // The signal wrappers stay where they are (only their thread could take
    // them out): disarmed, they only call the program's handler.
  }
  SignalHandler handler = std::signal(SIGABRT, g_previous_abort.load(std::memory_order_acquire));
  if (handler != SIG_ERR && handler != on_abort) std::signal(SIGABRT, handler);
}

void rewrap_handlers() {
  if (g_numbering != nullptr) {
    LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(on_unhandled);
    // release: pairs with the handlers' acquire loads.
    if (current != on_unhandled) g_previous_filter.store(current, std::memory_order_release);
  }
  SignalHandler handler = std::signal(SIGABRT, on_abort);
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
