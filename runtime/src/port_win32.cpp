// Platform layer for 32-bit Windows (MinGW-w64, POSIX thread model): the same
// interface as the POSIX port, on Win32 services.
#include <process.h>
#include <pthread.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "port.h"

namespace qel_port {

std::string executable_path() {
  char path[MAX_PATH + 1];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  return std::string(path, n);
}

std::vector<std::string> command_arguments(std::size_t max_len) {
  // Windows hands a program one string and leaves the splitting to it.
  const char* line = GetCommandLineA();
  if (!line) return {};
  const std::size_t n = std::strlen(line);
  return {std::string(line, n < max_len ? n : max_len)};
}

std::string executable_dir(std::size_t max_len) {
  // A module path is at most MAX_PATH (260) characters; longer paths come
  // back cut, and the cut path then simply names no existing file.
  char path[MAX_PATH + 1];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (n == 0) return std::string();
  if (n > max_len) n = static_cast<DWORD>(max_len);
  std::string full(path, n);
  std::size_t sep = full.find_last_of('\\');
  return sep == std::string::npos ? std::string() : full.substr(0, sep + 1);
}

uint32_t tick_ms() { return static_cast<uint32_t>(GetTickCount()); }

void sleep_ms(unsigned ms) { Sleep(ms); }

void yield_thread() { SwitchToThread(); }

int32_t current_thread_id() { return static_cast<int32_t>(GetCurrentThreadId()); }

namespace {

// Waits on a word
//
// Design: WaitOnAddress needs Windows 8, and the oldest target is Windows 7,
// so waiters sleep on a condition variable of a bucket chosen by the word's
// address (several words may share one: a wake-up they did not ask for only
// makes them look at their word again). A waiter compares the word with
// `seen` under the bucket's lock and sleeps releasing it atomically; the
// waker changes the word before it calls wake_waiters(), which takes the same
// lock before it wakes the bucket, so a waiter either saw the change or was
// already asleep: no wake-up is lost. Zero-filled statics are the initial
// state of SRW locks and condition variables.
struct WaitBucket {
  SRWLOCK lock;
  CONDITION_VARIABLE changed;
};
constexpr std::size_t kWaitBuckets = 16;
WaitBucket wait_buckets[kWaitBuckets];

WaitBucket& bucket_of(const void* word) {
  return wait_buckets[(reinterpret_cast<std::uintptr_t>(word) >> 2) % kWaitBuckets];
}

}  // namespace

bool wait_for_change(const std::atomic<uint32_t>& word, uint32_t seen, unsigned ms) {
  // acquire: pairs with the release change of the waker.
  if (word.load(std::memory_order_acquire) != seen) return true;
  WaitBucket& b = bucket_of(&word);
  uint32_t start = tick_ms();
  AcquireSRWLockExclusive(&b.lock);
  bool changed = false;
  for (;;) {
    // acquire: as above; under the lock the waker cannot slip in between.
    if (word.load(std::memory_order_acquire) != seen) {
      changed = true;
      break;
    }
    uint32_t spent = tick_ms() - start;
    if (spent >= ms) break;
    SleepConditionVariableSRW(&b.changed, &b.lock, ms - spent, 0);
  }
  ReleaseSRWLockExclusive(&b.lock);
  return changed;
}

void wake_waiters(std::atomic<uint32_t>& word) {
  WaitBucket& b = bucket_of(&word);
  // An empty critical section: a waiter that read the old value is asleep
  // once the lock is ours.
  AcquireSRWLockExclusive(&b.lock);
  ReleaseSRWLockExclusive(&b.lock);
  WakeAllConditionVariable(&b.changed);
}

namespace detail {
std::atomic<int32_t> cached_pid{0};

int32_t refresh_pid() {
  int32_t p = static_cast<int32_t>(_getpid());
  cached_pid.store(p, std::memory_order_relaxed);
  return p;
}
}  // namespace detail

// Windows has no fork(): a process never inherits this library's memory from
// another one, so there is no child in which a hook would have to run.
void register_fork_child_hook(void (*)()) {}
void register_fork_lock_hooks(void (*)(), void (*)()) {}

namespace {

// Unload handlers
//
// Design: at ExitProcess, Windows ends every thread but the exiting one
// before it notifies the DLLs, so shutdown code run at DLL detach (where a
// DLL's own atexit list and its static destructors run) would find the
// sender threads killed: their records are lost and waiting for them never
// ends. The handlers therefore run from the C runtime's process-wide exit
// list, which `exit()` works through while every thread still runs: when a
// program's `main` returns or it calls `exit`. The program may use msvcrt
// (MinGW) or the UCRT (MSVC): the run is put on the list of each of them
// that is loaded, the first to run empties the list and the others find it
// empty. For those entries to stay valid, the first registration pins this
// DLL: FreeLibrary() then leaves it loaded and its shutdown runs at exit.
// A process that ends without `exit` (ExitProcess, or a C runtime that runs
// its list only at its own detach) reaches the run after the threads are
// gone: the run then skips the handlers, so the process still ends.
//
// `handlers`, `count` and `hooked` are guarded by `lock` (registrations come
// from the bootstrap, under its lock, and from the load; the run comes at
// exit; a handler never registers another). The run pops one handler at a
// time and calls it without the lock.
constexpr int kMaxHandlers = 64;
void (*handlers[kMaxHandlers])();
int count = 0;
bool hooked = false;
CRITICAL_SECTION lock;
INIT_ONCE lock_once = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK init_lock(PINIT_ONCE, PVOID, PVOID*) {
  InitializeCriticalSection(&lock);
  return TRUE;
}

template <typename Fn>
Fn proc_address(const char* module, const char* name) {
  HMODULE m = GetModuleHandleA(module);
  FARPROC proc = m != nullptr ? GetProcAddress(m, name) : nullptr;
  Fn fn = nullptr;
  static_assert(sizeof(fn) == sizeof(proc), "function pointers of one size");
  if (proc != nullptr) std::memcpy(&fn, &proc, sizeof(fn));
  return fn;
}

// True once ExitProcess has begun: the other threads no longer exist.
bool process_ending() {
  auto in_progress = proc_address<BOOLEAN(WINAPI*)()>("ntdll.dll", "RtlDllShutdownInProgress");
  return in_progress != nullptr && in_progress();
}

void run_unload_handlers() {
  if (process_ending()) {
    EnterCriticalSection(&lock);
    bool pending = count > 0;
    count = 0;
    LeaveCriticalSection(&lock);
    if (pending) {
      std::printf("~~~~process ended without exit(): shutdown skipped::%d\n", current_pid());
      std::fflush(stdout);
    }
    return;
  }
  for (;;) {
    void (*fn)() = nullptr;
    EnterCriticalSection(&lock);
    if (count > 0) fn = handlers[--count];
    LeaveCriticalSection(&lock);
    if (fn == nullptr) return;
    fn();
  }
}

int __cdecl run_from_onexit() {
  run_unload_handlers();
  return 0;
}
void __cdecl run_from_atexit() { run_unload_handlers(); }

// Keeps this DLL loaded until the process ends. Also what makes the last
// resort safe: a handler run at FreeLibrary would wait, under the loader
// lock, for threads that need that lock to end.
void pin_self() {
  HMODULE self = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCSTR>(&run_unload_handlers), &self);
}

// Puts the run on the exit list of every C runtime in the process; false
// when none of them takes it.
bool hook_process_exit() {
  typedef int(__cdecl * onexit_fn)();
  bool hooked_any = false;
  auto onexit = proc_address<onexit_fn(__cdecl*)(onexit_fn)>("msvcrt.dll", "_onexit");
  if (onexit != nullptr && onexit(run_from_onexit) != nullptr) hooked_any = true;
  auto crt_atexit = proc_address<int(__cdecl*)(void(__cdecl*)())>("ucrtbase.dll", "_crt_atexit");
  if (crt_atexit != nullptr && crt_atexit(run_from_atexit) == 0) hooked_any = true;
  return hooked_any;
}

}  // namespace

void register_unload_handler(void (*fn)()) {
  InitOnceExecuteOnce(&lock_once, init_lock, nullptr, nullptr);
  EnterCriticalSection(&lock);
  bool first = !hooked;
  hooked = true;
  bool stored = count < kMaxHandlers;
  if (stored) handlers[count++] = fn;
  LeaveCriticalSection(&lock);
  if (!stored) {
    std::printf("unload handler list full (%d)::%d\n", kMaxHandlers, current_pid());
    std::fflush(stdout);
  }
  if (!first) return;
  pin_self();
  // Last resort: this module's own list, run at its detach.
  if (!hook_process_exit()) std::atexit(run_from_atexit);
}

void local_time_stamp(char* out, std::size_t size) {
  if (size == 0) return;
  time_t now = time(nullptr);
  // localtime_s: the report may run while the program itself calls localtime().
  struct tm local;
  if (localtime_s(&local, &now) != 0 || strftime(out, size, "%Y-%m-%d %H:%M:%S", &local) == 0)
    out[0] = '\0';
}

std::string module_path_of(const void* address) {
  HMODULE module = nullptr;
  char path[MAX_PATH + 1];
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCSTR>(address), &module))
    return {};
  const DWORD n = GetModuleFileNameA(module, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  path[n] = '\0';
  return path;
}

std::string describe_code_address(const void* address) {
  char buf[MAX_PATH + 64];
  HMODULE module = nullptr;
  char path[MAX_PATH + 1];
  DWORD n = 0;
  if (GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCSTR>(address), &module))
    n = GetModuleFileNameA(module, path, MAX_PATH);
  if (n > 0) {
    path[n] = '\0';
    const char* base = std::strrchr(path, '\\');
    base = base ? base + 1 : path;
    // A module handle is its load address; the offset is what addr2line
    // takes after adding the image base of the file.
    unsigned long offset = static_cast<unsigned long>(static_cast<const char*>(address) -
                                                      reinterpret_cast<const char*>(module));
    std::snprintf(buf, sizeof(buf), "%s [+0x%lx]", base, offset);
  } else {
    std::snprintf(buf, sizeof(buf), "%p", address);
  }
  return buf;
}

std::string error_text(int err) {
  char buf[256];
  if (strerror_s(buf, sizeof(buf), err) != 0) return std::string();
  return std::string(buf);
}

}  // namespace qel_port
