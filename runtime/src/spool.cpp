// The spool file writer.
//
// Design
// ------
// Threads: any thread that sends calls put() (sender threads, the program's
// threads in leave operations, the crash flush thread); the shutdown and the
// crash flush call flush().
//  * `g_dir`, `g_enabled`: written by configure() during a bootstrap, before
//    the runtime's threads start (release store of `g_enabled`; readers load
//    it with acquire before they read `g_dir`).
//  * `g_lock` guards everything else: the descriptor, the process that opened
//    it, the buffer and the per-channel count of buffered messages. It is
//    taken with a bounded wait: on the crash path its holder may be the
//    thread that crashed.
//  * Records are appended whole with one write() each flush, and the file is
//    opened for appending, so a process that reuses a pid adds to the file
//    and never tears another's records.
//  * Nothing here has a constructor or a destructor: the library's load
//    bootstraps (and may spool) before the initialisers of other files have
//    run, and its unload shuts down (and spools) after their destructors.
#include "spool.h"

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "delivery.h"
#include "net.h"
#include "port.h"
#include "qelmq/protocol/spool.h"
#include "sync.h"
#include "trace.h"

namespace qel_spool {

namespace {

constexpr unsigned kLockWaitMs = 200;
constexpr int kChannels = 8;

char g_dir[1024] = "";
std::atomic<bool> g_enabled{false};

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
int g_fd = -1;
int32_t g_owner = 0;  // process that opened g_fd and filled the buffer
// The buffer: malloc'ed, grown by doubling, kept for the life of the process.
char* g_data = nullptr;
std::size_t g_size = 0;
std::size_t g_capacity = 0;
uint64_t g_buffered[kChannels] = {};
bool g_error_told = false;

// The file of this process, into `out`.
void file_path(char* out, std::size_t size) {
  std::snprintf(out, size, "%s/%d%s", g_dir, static_cast<int>(qel_port::current_pid()),
                qel_wire::kSpoolSuffix);
}

// Under g_lock: room for `more` bytes after the buffered ones.
bool reserve_locked(std::size_t more) {
  if (g_capacity - g_size >= more) return true;
  std::size_t want = g_capacity ? g_capacity : 4096;
  while (want - g_size < more) {
    if (want > (static_cast<std::size_t>(-1) >> 1)) return false;
    want *= 2;
  }
  char* grown = static_cast<char*>(std::realloc(g_data, want));
  if (!grown) return false;
  g_data = grown;
  g_capacity = want;
  return true;
}

// Under g_lock: writes the buffer; settles the tally of what it held.
void flush_locked() {
  if (g_size == 0) return;
  char path[sizeof(g_dir) + 32];
  file_path(path, sizeof(path));
  bool ok = false;
  try {
    std::string error;
    ok = true;
    if (g_fd < 0) {
      g_fd = qel_port::open_append(path, error);
      ok = g_fd >= 0;
    }
    if (ok) ok = qel_port::write_fully(g_fd, g_data, g_size, error);
    if (!ok && !g_error_told) {
      g_error_told = true;
      qel_trace::line("spool %s cannot be written: %s::%d\n", path, error.c_str(),
                      qel_port::current_pid());
    }
  } catch (...) {
    ok = false;  // no memory for an error text: the data was not written either
  }
  for (int c = 0; c < kChannels; ++c) {
    if (g_buffered[c] == 0) continue;
    qel_delivery::note(static_cast<qel_wire::Channel>(c),
                       ok ? qel_delivery::Outcome::Spooled : qel_delivery::Outcome::Dropped,
                       g_buffered[c]);
    g_buffered[c] = 0;
  }
  g_size = 0;
}

// Under g_lock: a fork child drops what its parent opened and buffered.
void adopt_locked() {
  const int32_t me = qel_port::current_pid();
  if (g_owner == me) return;
  if (g_fd >= 0) qel_port::close_file(g_fd);  // the child's copy only
  g_fd = -1;
  g_size = 0;
  std::memset(g_buffered, 0, sizeof(g_buffered));
  g_error_told = false;
  g_owner = me;
}

}  // namespace

void configure(const std::string& dir) {
  {
    qel_sync::MutexGuard lock(g_lock);
    adopt_locked();  // a fork child's first bootstrap: the parent's buffer is not ours
    flush_locked();
    if (g_fd >= 0) qel_port::close_file(g_fd);
    g_fd = -1;
    g_owner = qel_port::current_pid();
    g_error_told = false;
  }
  const bool on = !dir.empty() && dir.size() < sizeof(g_dir);
  if (!dir.empty() && !on)
    qel_trace::line("spool directory ignored, longer than %u characters: %s::%d\n",
                    static_cast<unsigned>(sizeof(g_dir) - 1), dir.c_str(), qel_port::current_pid());
  std::memset(g_dir, 0, sizeof(g_dir));
  if (on) std::memcpy(g_dir, dir.data(), dir.size());
  // release: pairs with enabled()'s acquire, publishing g_dir.
  g_enabled.store(on, std::memory_order_release);
}

bool enabled() { return g_enabled.load(std::memory_order_acquire); }

std::string path() {
  if (!enabled()) return std::string();
  char path[sizeof(g_dir) + 32];
  file_path(path, sizeof(path));
  return path;
}

uint64_t buffered(qel_wire::Channel channel) {
  const int c = static_cast<int>(channel);
  if (c < 0 || c >= kChannels) return 0;
  qel_sync::TimedMutexGuard lock(g_lock, 0);
  if (!lock.owns() || g_owner != qel_port::current_pid()) return 0;
  return g_buffered[c];
}

bool put(qel_wire::Channel channel, const void* data, std::size_t len) {
  if (!enabled() || len > 0xFFFFFFFFu) return false;
  const int c = static_cast<int>(channel);
  if (c < 0 || c >= kChannels) return false;
  qel_sync::TimedMutexGuard lock(g_lock, kLockWaitMs);
  if (!lock.owns()) return false;
  adopt_locked();
  constexpr std::size_t kHeader = sizeof(qel_wire::SpoolRecordHeader);
  // No memory for it: dropped, and counted so by the caller.
  if (!reserve_locked(kHeader + len)) return false;
  qel_wire::encode_spool_header(channel, static_cast<uint32_t>(len),
                                reinterpret_cast<uint8_t*>(g_data + g_size));
  std::memcpy(g_data + g_size + kHeader, data, len);
  g_size += kHeader + len;
  ++g_buffered[c];
  // While the program runs a failure is rare and the program may end any
  // moment without a shutdown (_exit, a signal): written at once. A shutdown
  // or a crash flush writes once at its end.
  // acquire: pairs with the stores that raise the flag.
  const bool batching = qel_net::runtime_stopping.load(std::memory_order_acquire);
  if (!batching || g_size >= kBufferLimit) flush_locked();
  return true;
}

void flush() {
  if (!enabled()) return;
  qel_sync::TimedMutexGuard lock(g_lock, kLockWaitMs);
  if (!lock.owns()) return;
  adopt_locked();
  flush_locked();
}

void reset_in_fork_child() {
  pthread_mutex_init(&g_lock, nullptr);
  // g_owner still names the parent: the next use adopts the file anew.
}

}  // namespace qel_spool
