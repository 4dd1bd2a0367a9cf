// Platform layer for 32-bit Windows (MinGW-w64, POSIX thread model): the same
// interface as the POSIX port, on Win32 services.
#include <process.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "port.h"

namespace qel_port {

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

namespace {

// Unload handlers
//
// Design: at ExitProcess, Windows ends every thread but the exiting one
// before it notifies the DLLs, so shutdown code run at DLL detach (where a
// DLL's own atexit list and its static destructors run) would find the
// sender threads killed with their last records unsent. The handlers
// therefore run from the C runtime's process-wide exit list instead (msvcrt's
// `_onexit`), which `exit()` works through while every thread still runs:
// that is when a program's `main` returns or it calls `exit`. For the list
// entry to stay valid, the first registration pins this DLL: FreeLibrary()
// then leaves it loaded and its shutdown runs at process exit.
//
// `handlers` and `count` are guarded by `lock` (registrations happen under
// the bootstrap lock or at load, the run at exit; a handler never registers
// another). The run pops one handler at a time and calls it without the lock.
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

int __cdecl run_unload_handlers() {
  for (;;) {
    void (*fn)() = nullptr;
    EnterCriticalSection(&lock);
    if (count > 0) fn = handlers[--count];
    LeaveCriticalSection(&lock);
    if (fn == nullptr) return 0;
    fn();
  }
}

typedef int(__cdecl* onexit_fn)();
typedef onexit_fn(__cdecl* onexit_register)(onexit_fn);

// Puts run_unload_handlers on the process-wide exit list; false when that is
// impossible (no msvcrt in the process), in which case the caller falls back
// to this module's own list.
bool hook_process_exit() {
  HMODULE self = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                          reinterpret_cast<LPCSTR>(&run_unload_handlers), &self))
    return false;
  HMODULE crt = GetModuleHandleA("msvcrt.dll");
  if (crt == nullptr) return false;
  FARPROC proc = GetProcAddress(crt, "_onexit");
  if (proc == nullptr) return false;
  onexit_register reg;
  static_assert(sizeof(reg) == sizeof(proc), "function pointers of one size");
  std::memcpy(&reg, &proc, sizeof(reg));
  return reg(run_unload_handlers) != nullptr;
}

void run_at_module_exit() { run_unload_handlers(); }

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
  if (first && !hook_process_exit()) std::atexit(run_at_module_exit);
}

void local_time_stamp(char* out, std::size_t size) {
  if (size == 0) return;
  time_t now = time(nullptr);
  // localtime_s: the report may run while the program itself calls localtime().
  struct tm local;
  if (localtime_s(&local, &now) != 0 || strftime(out, size, "%Y-%m-%d %H:%M:%S", &local) == 0)
    out[0] = '\0';
}

std::string error_text(int err) {
  char buf[256];
  if (strerror_s(buf, sizeof(buf), err) != 0) return std::string();
  return std::string(buf);
}

}  // namespace qel_port
