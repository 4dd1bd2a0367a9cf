#pragma once
// The runtime's two locking idioms, written once: a scoped pthread mutex
// and the double-checked creation of a process-wide singleton.
#include <pthread.h>

#include <time.h>

#include <atomic>
#include <new>

namespace qel_sync {

// Holds `m` for its scope, so no path (an early return, a std::bad_alloc
// from a string copy) can leave a runtime lock held and hang a later caller.
class MutexGuard {
 public:
  explicit MutexGuard(pthread_mutex_t& m) : m_(m) { pthread_mutex_lock(&m_); }
  ~MutexGuard() { pthread_mutex_unlock(&m_); }
  MutexGuard(const MutexGuard&) = delete;
  MutexGuard& operator=(const MutexGuard&) = delete;

 private:
  pthread_mutex_t& m_;
};

// Holds `m` for its scope if it can be had within `wait_ms`; owns() says
// whether it was. Leave operations use it: the thread that holds a sender's
// lock may be the one that crashed, and then the lock is never coming back.
class TimedMutexGuard {
 public:
  TimedMutexGuard(pthread_mutex_t& m, unsigned wait_ms) : m_(m) {
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);  // the clock pthread_mutex_timedlock reads
    deadline.tv_sec += static_cast<time_t>(wait_ms / 1000);
    deadline.tv_nsec += static_cast<long>(wait_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
    owns_ = pthread_mutex_timedlock(&m_, &deadline) == 0;
  }
  ~TimedMutexGuard() {
    if (owns_) pthread_mutex_unlock(&m_);
  }
  TimedMutexGuard(const TimedMutexGuard&) = delete;
  TimedMutexGuard& operator=(const TimedMutexGuard&) = delete;
  bool owns() const { return owns_; }

 private:
  pthread_mutex_t& m_;
  bool owns_ = false;
};

// Returns the object in `instance`, creating it under `creation` on first
// use. Null only when memory for it could not be had (a later call tries
// again). Callers after the first take no lock.
template <typename T>
T* get_or_create(std::atomic<T*>& instance, pthread_mutex_t& creation) {
  // acquire: pairs with the release store below, so a caller that sees the
  // pointer sees a constructed object.
  T* p = instance.load(std::memory_order_acquire);
  if (p) return p;
  MutexGuard lock(creation);
  // relaxed: `creation` orders it against the creating thread.
  p = instance.load(std::memory_order_relaxed);
  if (!p) {
    try {
      p = new (std::nothrow) T();
    } catch (...) {
      p = nullptr;  // a member's allocation threw: no singleton this time
    }
    // release: pairs with the acquire load of the fast path.
    instance.store(p, std::memory_order_release);
  }
  return p;
}

// Takes the object out of `instance` and destroys it; a later
// get_or_create makes a new one.
template <typename T>
void release(std::atomic<T*>& instance, pthread_mutex_t& creation) {
  T* p;
  {
    MutexGuard lock(creation);
    // acq_rel: takes the object from get_or_create's release store and
    // hands the null to later fast paths.
    p = instance.exchange(nullptr, std::memory_order_acq_rel);
  }
  delete p;
}

}  // namespace qel_sync
