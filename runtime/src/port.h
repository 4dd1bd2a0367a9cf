#pragma once
// Platform layer: the only place that knows which operating system the
// runtime lives on. port.cpp implements it on POSIX, port_win32.cpp on
// Windows (the build picks one); port_time.cpp is shared. Nothing else in
// the runtime includes system headers for these services.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// Thread-local storage that costs one register-relative load, also inside
// the shared library (glibc keeps room for a few such bytes in libraries
// loaded with dlopen). For a probe's per-thread state only.
#if defined(__GNUC__) && !defined(_WIN32)
#define QEL_PORT_FAST_TLS __attribute__((tls_model("initial-exec")))
#else
#define QEL_PORT_FAST_TLS
#endif

// Keeps a rare path out of the hot function that calls it.
#if defined(__GNUC__)
#define QEL_PORT_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define QEL_PORT_NOINLINE __declspec(noinline)
#else
#define QEL_PORT_NOINLINE
#endif

namespace qel_port {

// Directory of the running executable, up to and including the last path
// separator ('/' on POSIX, '\\' on Windows).
// Truncated to `max_len` characters like a fixed-size module-path buffer.
std::string executable_dir(std::size_t max_len = 260);
// Full path of the running executable; empty when it cannot be told.
std::string executable_path();
// The arguments the process was started with, about `max_len` characters
// of them at most; none when they cannot be told. Windows hands a program
// one string, and then that string is the one element (kCommandLineJoined).
std::vector<std::string> command_arguments(std::size_t max_len);
#ifdef _WIN32
inline constexpr bool kCommandLineJoined = true;
#else
inline constexpr bool kCommandLineJoined = false;
#endif

// Monotonic millisecond tick; 32 bits, callers take differences mod 2^32.
uint32_t tick_ms();

void sleep_ms(unsigned ms);
void yield_thread();

// The calling thread's id as the system numbers threads; never 0.
int32_t current_thread_id();

// A sleep that another thread can cut short: waits up to `ms` while `word`
// still holds `seen`; wake_waiters() after changing `word` ends the wait of
// every thread that sleeps on it. Returns false when the time ran out. A
// change made before the wait starts makes it return at once, so a wake-up
// is never lost between reading `word` and sleeping.
//
// On POSIX, tick_ms, sleep_ms, current_thread_id, wait_for_change and
// wake_waiters are async-signal-safe (a clock, a sleep and futex calls): the
// crash guard's signal handler uses them.
bool wait_for_change(const std::atomic<uint32_t>& word, uint32_t seen, unsigned ms);
void wake_waiters(std::atomic<uint32_t>& word);

// Process id without a system call on the hot path: cached on first use and
// refreshed in the child after fork().
namespace detail {
extern std::atomic<int32_t> cached_pid;
int32_t refresh_pid();
}  // namespace detail
inline int32_t current_pid() {
  // relaxed: the value only changes in a fork child, which starts with a
  // single thread that runs the refresh itself.
  int32_t p = detail::cached_pid.load(std::memory_order_relaxed);
  return p != 0 ? p : detail::refresh_pid();
}

// Runs `fn` in the child after fork(), before anything else of the runtime
// runs there (at most a handful of hooks).
void register_fork_child_hook(void (*fn)());
// Runs `prepare` in the forking thread just before fork() and `parent` in
// the parent just after (the child runs its child hooks instead): for a lock
// that must not be held by another thread at the moment of the fork, taken
// in `prepare` and given back in `parent` and in a child hook.
void register_fork_lock_hooks(void (*prepare)(), void (*parent)());

// Runs `fn` when the runtime library is unloaded (or at process exit),
// handlers in reverse order of registration.
void register_unload_handler(void (*fn)());

// Hooks that run when a thread ends by returning from its start routine or
// by pthread_exit (not for the thread that ends the process with exit()).
// create_thread_end_hook makes the hook of `fn` and returns its number (the
// same number for the same `fn`), or -1 when the system has no room for it;
// a hook runs for every thread that armed it, with the value it armed.
// Deleted at unload, so that no thread calls into unloaded code.
constexpr int kThreadEndHooks = 4;
int create_thread_end_hook(void (*fn)(void*));
void arm_thread_end_hook(int hook, void* value);
void delete_thread_end_hooks();

// Current local time as "%Y-%m-%d %H:%M:%S" (thread-safe, and safe in the
// child of a fork); empty on failure.
void local_time_stamp(char* out, std::size_t size);

// `t` seconds since the epoch as "%Y-%m-%d %H:%M:%S", by arithmetic alone.
void format_civil_time(int64_t t, char* out, std::size_t size);

// Where a code address lies, for traces: "module(symbol+0xoffset) [address]"
// as far as the dynamic linker knows it (addr2line turns it into a file and
// line).
std::string describe_code_address(const void* address);

// The absolute path of the program or shared library whose image holds
// `address` (a unit's data, for the collector to read the maps inside that
// file); empty when the system cannot tell.
std::string module_path_of(const void* address);

// Text of an errno value.
std::string error_text(int err);

// Files the runtime writes itself (port_file.cpp, shared by both ports). Raw
// descriptors, not stdio: a child forked while a FILE held buffered bytes
// would write them a second time at its exit.
//
// Opens `path` for appending, creating it (owner-only) if needed; -1 with
// `error` set when it cannot.
int open_append(const char* path, std::string& error);
// Writes every byte (retrying short writes); false with `error` set otherwise.
bool write_fully(int fd, const void* data, std::size_t len, std::string& error);
void close_file(int fd);

}  // namespace qel_port
