// The thread-end hook of the platform layer, the same on every platform: a
// key of the POSIX thread library (winpthreads on Windows), whose destructor
// runs at the end of every thread, also of threads the program made with
// CreateThread; deleting the key, unlike FlsFree, calls no destructor for
// the other threads.
#include <pthread.h>

#include <atomic>

#include "port.h"

namespace qel_port {

namespace {
// `thread_end_key` is valid while `thread_end_ready` is set (release on
// creation, acquire before use: they pair).
pthread_key_t thread_end_key;
std::atomic<bool> thread_end_ready{false};
pthread_mutex_t thread_end_lock = PTHREAD_MUTEX_INITIALIZER;
}  // namespace

bool create_thread_end_hook(void (*fn)(void*)) {
  if (thread_end_ready.load(std::memory_order_acquire)) return true;
  pthread_mutex_lock(&thread_end_lock);
  bool ok = thread_end_ready.load(std::memory_order_relaxed);
  if (!ok && pthread_key_create(&thread_end_key, fn) == 0) {
    thread_end_ready.store(true, std::memory_order_release);
    ok = true;
  }
  pthread_mutex_unlock(&thread_end_lock);
  return ok;
}

void arm_thread_end_hook(void* value) {
  if (thread_end_ready.load(std::memory_order_acquire)) pthread_setspecific(thread_end_key, value);
}

void delete_thread_end_hook() {
  pthread_mutex_lock(&thread_end_lock);
  if (thread_end_ready.exchange(false, std::memory_order_acq_rel))
    pthread_key_delete(thread_end_key);
  pthread_mutex_unlock(&thread_end_lock);
}

}  // namespace qel_port
