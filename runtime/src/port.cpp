#include "port.h"

#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qel_port {

std::string executable_path() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  return n < 0 ? std::string() : std::string(path, static_cast<std::size_t>(n));
}

std::vector<std::string> command_arguments(std::size_t max_len) {
  // The kernel keeps the arguments zero-separated; a program that rewrote
  // its argv (daemons do) shows what it wrote.
  std::vector<std::string> args;
  FILE* f = std::fopen("/proc/self/cmdline", "rb");
  if (!f) return args;
  std::string raw(max_len, '\0');
  const std::size_t n = std::fread(&raw[0], 1, raw.size(), f);
  std::fclose(f);
  raw.resize(n);
  for (std::size_t at = 0; at < raw.size();) {
    std::size_t end = raw.find('\0', at);
    if (end == std::string::npos) end = raw.size();
    args.push_back(raw.substr(at, end - at));
    at = end + 1;
  }
  return args;
}

std::string executable_dir(std::size_t max_len) {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n < 0) return std::string();
  if (static_cast<std::size_t>(n) > max_len) n = static_cast<ssize_t>(max_len);
  std::string full(path, static_cast<std::size_t>(n));
  std::size_t slash = full.rfind('/');
  return slash == std::string::npos ? std::string() : full.substr(0, slash + 1);
}

uint32_t tick_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms =
      static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void sleep_ms(unsigned ms) {
  if (ms == 0) {
    sched_yield();
    return;
  }
  struct timespec ts;
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

void yield_thread() { sched_yield(); }

int32_t current_thread_id() { return static_cast<int32_t>(syscall(SYS_gettid)); }

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
                  std::atomic<uint32_t>::is_always_lock_free,
              "a futex word must be a plain 32-bit integer");

bool wait_for_change(const std::atomic<uint32_t>& word, uint32_t seen, unsigned ms) {
  struct timespec ts;
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  // acquire: pairs with the release change of the waker.
  if (word.load(std::memory_order_acquire) != seen) return true;
  // The kernel compares the word with `seen` atomically with going to sleep.
  long rc = syscall(SYS_futex, reinterpret_cast<const uint32_t*>(&word), FUTEX_WAIT_PRIVATE, seen,
                    &ts, nullptr, 0);
  if (rc != 0 && errno == ETIMEDOUT) return false;
  return word.load(std::memory_order_acquire) != seen;
}

void wake_waiters(std::atomic<uint32_t>& word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr,
          nullptr, 0);
}

void note_forked_child();

namespace detail {
std::atomic<int32_t> cached_pid{0};

constexpr int kMaxForkHooks = 16;
// Registered from any thread (the bootstrap, a thread's first probe, the
// first socket), so a slot is reserved before it is written and two
// registrations never share one; read by the single thread of a child.
std::atomic<void (*)()> fork_hooks[kMaxForkHooks];
std::atomic<int> fork_hooks_reserved{0};

static void after_fork_in_child() {
  cached_pid.store(static_cast<int32_t>(getpid()), std::memory_order_relaxed);
  note_forked_child();
  for (int i = 0; i < kMaxForkHooks; ++i) {
    // acquire: pairs with the release in register_fork_child_hook.
    void (*fn)() = fork_hooks[i].load(std::memory_order_acquire);
    if (!fn) continue;
    // The same hook registered by two threads at once runs once.
    bool earlier = false;
    for (int j = 0; j < i && !earlier; ++j)
      earlier = fork_hooks[j].load(std::memory_order_relaxed) == fn;
    if (!earlier) fn();
  }
}

// The lock hooks, at most a handful; registered like the child hooks.
std::atomic<void (*)()> prepare_hooks[kMaxForkHooks];
std::atomic<void (*)()> parent_hooks[kMaxForkHooks];
std::atomic<int> lock_hook_count{0};

static void before_fork() {
  // acquire: pairs with the release in register_fork_lock_hooks.
  int n = lock_hook_count.load(std::memory_order_acquire);
  for (int i = 0; i < n && i < kMaxForkHooks; ++i)
    if (void (*fn)() = prepare_hooks[i].load(std::memory_order_relaxed)) fn();
}

static void after_fork_in_parent() {
  int n = lock_hook_count.load(std::memory_order_acquire);
  // Reverse order: locks are given back in the order opposite to taking.
  for (int i = (n < kMaxForkHooks ? n : kMaxForkHooks) - 1; i >= 0; --i)
    if (void (*fn)() = parent_hooks[i].load(std::memory_order_relaxed)) fn();
}

static void install_fork_handler() {
  pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
}

int32_t refresh_pid() {
  static pthread_once_t once = PTHREAD_ONCE_INIT;
  pthread_once(&once, install_fork_handler);
  int32_t p = static_cast<int32_t>(getpid());
  cached_pid.store(p, std::memory_order_relaxed);
  return p;
}
}  // namespace detail

void register_fork_child_hook(void (*fn)()) {
  detail::refresh_pid();  // installs the fork handler
  for (int i = 0; i < detail::kMaxForkHooks; ++i)
    if (detail::fork_hooks[i].load(std::memory_order_relaxed) == fn) return;
  // relaxed: only makes the slot this call's own.
  const int slot = detail::fork_hooks_reserved.fetch_add(1, std::memory_order_relaxed);
  if (slot >= detail::kMaxForkHooks) return;
  // release: pairs with the acquire in the child handler.
  detail::fork_hooks[slot].store(fn, std::memory_order_release);
}

void register_fork_lock_hooks(void (*prepare)(), void (*parent)()) {
  detail::refresh_pid();  // installs the fork handler
  int n = detail::lock_hook_count.load(std::memory_order_relaxed);
  for (int i = 0; i < n; ++i)
    if (detail::prepare_hooks[i].load(std::memory_order_relaxed) == prepare) return;
  if (n >= detail::kMaxForkHooks) return;
  detail::prepare_hooks[n].store(prepare, std::memory_order_relaxed);
  detail::parent_hooks[n].store(parent, std::memory_order_relaxed);
  // release: pairs with the acquire in the fork handlers.
  detail::lock_hook_count.store(n + 1, std::memory_order_release);
}

// Registered against this library's own handle, as the C++ runtime does for
// static destructors: glibc runs it at dlclose() of the runtime (or at exit),
// in reverse order of registration. Plain atexit() means the same under
// glibc, but sanitizer interceptors re-register it for process exit, when
// the unloaded code is gone.
extern "C" void* __dso_handle;
extern "C" int __cxa_atexit(void (*fn)(void*), void* arg, void* dso);

namespace {
void call_unload_handler(void* fn) { reinterpret_cast<void (*)()>(fn)(); }
}  // namespace

void register_unload_handler(void (*fn)()) {
  __cxa_atexit(call_unload_handler, reinterpret_cast<void*>(fn), &__dso_handle);
}

namespace {
// The offset of local time from UTC, as last seen by localtime_r().
std::atomic<long> utc_offset{0};
// Set in the child of a fork: another thread of the parent may have held
// glibc's time-zone lock at that moment, and localtime_r() would then wait
// for it forever. The child formats from the last offset instead.
std::atomic<bool> forked_child{false};
}  // namespace

void local_time_stamp(char* out, std::size_t size) {
  if (size == 0) return;
  time_t now = time(nullptr);
  // relaxed: flags and a cached value, no data is handed over with them.
  if (!forked_child.load(std::memory_order_relaxed)) {
    struct tm local;
    // localtime_r: the report may run while the program itself calls localtime().
    if (localtime_r(&now, &local) == nullptr) {
      out[0] = '\0';
      return;
    }
    utc_offset.store(local.tm_gmtoff, std::memory_order_relaxed);
    if (strftime(out, size, "%Y-%m-%d %H:%M:%S", &local) == 0) out[0] = '\0';
    return;
  }
  format_civil_time(static_cast<int64_t>(now) + utc_offset.load(std::memory_order_relaxed), out,
                    size);
}

void note_forked_child() { forked_child.store(true, std::memory_order_relaxed); }

namespace {

struct ModuleSearch {
  uintptr_t address;
  bool found;
  bool main_program;
  std::string name;
};

int find_module(dl_phdr_info* info, size_t, void* data) {
  ModuleSearch& s = *static_cast<ModuleSearch*>(data);
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    const uintptr_t start = info->dlpi_addr + ph.p_vaddr;
    if (s.address < start || s.address - start >= ph.p_memsz) continue;
    s.found = true;
    // The program itself comes first and is named "" (or as it was started):
    // only /proc/self/exe names it whatever the working directory.
    s.main_program = !info->dlpi_name || !*info->dlpi_name;
    if (!s.main_program) s.name = info->dlpi_name;
    return 1;
  }
  return 0;
}

}  // namespace

std::string module_path_of(const void* address) {
  ModuleSearch s{reinterpret_cast<uintptr_t>(address), false, false, {}};
  dl_iterate_phdr(find_module, &s);
  if (!s.found) return {};
  char buf[PATH_MAX + 1];
  if (s.main_program) {
    const ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
    if (n <= 0) return {};
    buf[n] = '\0';
    return buf;
  }
  // The loader's name may be relative to a directory of LD_LIBRARY_PATH.
  if (!realpath(s.name.c_str(), buf)) return s.name;
  return buf;
}

std::string describe_code_address(const void* address) {
  char buf[512];
  Dl_info info;
  if (dladdr(address, &info) != 0 && info.dli_fname) {
    const char* base = std::strrchr(info.dli_fname, '/');
    base = base ? base + 1 : info.dli_fname;
    // Offsets within the module are what addr2line takes for a shared object
    // or a position-independent executable.
    unsigned long offset = static_cast<unsigned long>(static_cast<const char*>(address) -
                                                      static_cast<const char*>(info.dli_fbase));
    if (info.dli_sname)
      std::snprintf(buf, sizeof(buf), "%s(%s+0x%lx) [+0x%lx]", base, info.dli_sname,
                    static_cast<unsigned long>(static_cast<const char*>(address) -
                                               static_cast<const char*>(info.dli_saddr)),
                    offset);
    else
      std::snprintf(buf, sizeof(buf), "%s [+0x%lx]", base, offset);
  } else {
    std::snprintf(buf, sizeof(buf), "%p", address);
  }
  return buf;
}

std::string error_text(int err) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* s = strerror_r(err, buf, sizeof(buf));
  return std::string(s ? s : "");
}

}  // namespace qel_port
