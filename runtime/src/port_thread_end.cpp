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
// Hook i is valid while `ready[i]` is set (release on creation, acquire
// before use: they pair); `fns` and creation are guarded by `lock`.
pthread_key_t keys[kThreadEndHooks];
void (*fns[kThreadEndHooks])(void*);
std::atomic<bool> ready[kThreadEndHooks];
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

// A child forked while another thread of its parent held `lock` would wait
// for it for ever at its own bootstrap: the child has only the forking
// thread. What that thread was doing is at worst a key made and not yet
// recorded, which costs the child one key and nothing else.
void reset_lock_in_fork_child() { pthread_mutex_init(&lock, nullptr); }
}  // namespace

int create_thread_end_hook(void (*fn)(void*)) {
  register_fork_child_hook(reset_lock_in_fork_child);
  pthread_mutex_lock(&lock);
  int found = -1, free_hook = -1;
  for (int i = 0; i < kThreadEndHooks; ++i) {
    if (ready[i].load(std::memory_order_relaxed)) {
      if (fns[i] == fn) found = i;
    } else if (free_hook < 0) {
      free_hook = i;
    }
  }
  if (found < 0 && free_hook >= 0 && pthread_key_create(&keys[free_hook], fn) == 0) {
    fns[free_hook] = fn;
    ready[free_hook].store(true, std::memory_order_release);
    found = free_hook;
  }
  pthread_mutex_unlock(&lock);
  return found;
}

void arm_thread_end_hook(int hook, void* value) {
  if (hook >= 0 && hook < kThreadEndHooks && ready[hook].load(std::memory_order_acquire))
    pthread_setspecific(keys[hook], value);
}

void delete_thread_end_hooks() {
  pthread_mutex_lock(&lock);
  for (int i = 0; i < kThreadEndHooks; ++i) {
    if (ready[i].exchange(false, std::memory_order_acq_rel)) {
      pthread_key_delete(keys[i]);
      fns[i] = nullptr;
    }
  }
  pthread_mutex_unlock(&lock);
}

}  // namespace qel_port
