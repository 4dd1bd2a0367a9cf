#pragma once
// Bounded multi-producer ring of N slots holding at most N - 1 elements.
//
// Design
// ------
// Fields, in order: `slots`, `writeIndex`, `readIndex`, `publishIndex`.
//  * `writeIndex`  - producers reserve a slot by CAS-ing it forward; owned by
//                    producers, read by everyone.
//  * `publishIndex`- producers publish, strictly in reservation order, by
//                    CAS-ing it from their reserved value to the next one
//                    (push_run: past the end of their reserved run).
//  * `readIndex`   - consumers claim published slots by CAS-ing it forward.
// Each counter has a cache line of its own: producers and the consumer do not
// bounce one line between cores on every operation.
//
// Counter wrap. The counters are 32-bit, but N need not divide 2^32, so they
// count modulo M = N * floor((2^32 - 1) / N) instead of 2^32: the slot of counter c
// is c mod N for every c, across the wrap as well, and the empty test
// (read == publish mod N) and the full test (write + 1 == read mod N) keep
// their meaning forever. One slot always stays empty, so full and empty can
// never be confused.
//
// Slot memory comes from calloc(): the kernel maps the pages lazily, so a
// 48 MB queue costs nothing until it is used. Slot types are therefore
// chosen so that all-zero bytes are a valid empty slot (see QueueSlot).
//
// Memory ordering
//  * push: load `readIndex` acquire (pairs with the consumer's release CAS,
//    so a slot is rewritten only after its reader has copied it out); reserve
//    with a relaxed CAS (it only arbitrates between producers); publish with
//    a release CAS (pairs with the consumer's acquire load of publishIndex).
//  * pop: load `publishIndex` acquire; claim with a release CAS of readIndex.
// Several consumers are allowed for 64-bit records (a failed claim only
// discards a copy; slots are relaxed atomics so the discarded read is not a
// data race). The text instantiation allows one consumer at a time.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "qelmq/export.h"

namespace qel_detail {
void yield_for_publish();           // platform yield, outside this header
void sleep_for_space(unsigned ms);  // platform sleep, likewise

// Text slot whose empty state is all-zero bytes, unlike std::string.
struct TextSlot {
  char* data;
  uint32_t size;
  uint32_t capacity;
};
}  // namespace qel_detail

template <typename T>
struct QueueSlot {
  using type = std::atomic<T>;
  static void store(type& slot, const T& v) { slot.store(v, std::memory_order_relaxed); }
  static void load(const type& slot, T& out) { out = slot.load(std::memory_order_relaxed); }
  static void destroy(type&) {}
  static constexpr bool trivial = true;
};

template <>
struct QueueSlot<std::string> {
  using type = qel_detail::TextSlot;
  // Returns false only when memory for the text cannot be had.
  static bool store(type& slot, const std::string& v) {
    std::size_t n = v.size();
    if (n >= 0xFFFFFFFFu) return false;
    if (slot.capacity < n + 1) {
      std::size_t cap = n + 1 < 32 ? 32 : n + 1;
      char* p = static_cast<char*>(std::realloc(slot.data, cap));
      if (!p) return false;
      slot.data = p;
      slot.capacity = static_cast<uint32_t>(cap);
    }
    if (n) std::memcpy(slot.data, v.data(), n);
    slot.data[n] = '\0';
    slot.size = static_cast<uint32_t>(n);
    return true;
  }
  static void load(const type& slot, std::string& out) {
    if (slot.data)
      out.assign(slot.data, slot.size);
    else
      out.clear();
  }
  static void destroy(type& slot) {
    std::free(slot.data);
    slot.data = nullptr;
    slot.size = slot.capacity = 0;
  }
  static constexpr bool trivial = false;
};

template <typename T, uint32_t N>
class ArrayLockFreeQueue {
  static_assert(N >= 2, "a ring needs at least two slots");
  using Slot = QueueSlot<T>;
  using SlotType = typename Slot::type;

 public:
  // Counters wrap at this multiple of N (see the design notes): the largest
  // one that a 32-bit counter can hold, also when N divides 2^32.
  static constexpr uint32_t kWrap = 0xFFFFFFFFu / N * N;

  ArrayLockFreeQueue() : ArrayLockFreeQueue(0u) {}

  // Starts every counter at `start` (< kWrap). Lets tests reach the counter
  // wrap without four billion pushes.
  explicit ArrayLockFreeQueue(uint32_t start)
      : slots(static_cast<SlotType*>(std::calloc(N, sizeof(SlotType)))),
        writeIndex(start % kWrap),
        readIndex(start % kWrap),
        publishIndex(start % kWrap),
        start_(start % kWrap) {}

  ArrayLockFreeQueue(const ArrayLockFreeQueue&) = delete;
  ArrayLockFreeQueue& operator=(const ArrayLockFreeQueue&) = delete;

  virtual ~ArrayLockFreeQueue() {
    if (!slots) return;
    if (!Slot::trivial) destroy_used_slots();
    std::free(slots);
  }

  // False when the slot memory could not be allocated; such a queue accepts
  // nothing and yields nothing.
  bool valid() const { return slots != nullptr; }

  static constexpr uint32_t capacity() { return N - 1; }

  static uint32_t next(uint32_t c) { return c + 1 == kWrap ? 0 : c + 1; }

  bool push(const T& value) {
    if (!slots) return false;
    uint32_t w;
    for (;;) {
      w = writeIndex.load(std::memory_order_relaxed);
      uint32_t r = readIndex.load(std::memory_order_acquire);
      if (next(w) % N == r % N) return false;
      if (writeIndex.compare_exchange_weak(w, next(w), std::memory_order_relaxed,
                                           std::memory_order_relaxed))
        break;
    }
    SlotType& slot = slots[w % N];
    if (!store_slot(slot, value)) {
      // Out of memory for a text: publish an empty one rather than stall the
      // producers queued behind this reservation.
      store_slot(slot, T());
    }
    if (w % N == N - 1) lapped_.store(true, std::memory_order_relaxed);
    uint32_t expected = w;
    while (!publishIndex.compare_exchange_weak(expected, next(w), std::memory_order_release,
                                               std::memory_order_relaxed)) {
      expected = w;
      qel_detail::yield_for_publish();
    }
    return true;
  }

  // Appends up to `n` values as one run: one reserving CAS and one
  // publishing CAS for the whole run, so the run stays contiguous and in
  // order and a producer holds a reservation once per run, not once per
  // value. Takes as many values as there is room for; returns that number.
  uint32_t push_run(const T* values, uint32_t n) {
    if (!slots || n == 0) return 0;
    uint32_t w, k;
    for (;;) {
      w = writeIndex.load(std::memory_order_relaxed);
      // acquire: as in push(), slots are rewritten only after their reader
      // has copied them out.
      uint32_t r = readIndex.load(std::memory_order_acquire);
      uint32_t used = distance(r, w);
      if (used >= capacity()) return 0;
      k = capacity() - used < n ? capacity() - used : n;
      // relaxed: arbitrates between producers only, as in push().
      if (writeIndex.compare_exchange_weak(w, advance(w, k), std::memory_order_relaxed,
                                           std::memory_order_relaxed))
        break;
    }
    uint32_t c = w;
    for (uint32_t i = 0; i < k; ++i) {
      if (!store_slot(slots[c % N], values[i])) store_slot(slots[c % N], T());
      c = next(c);
    }
    if (w % N + k >= N) lapped_.store(true, std::memory_order_relaxed);
    uint32_t expected = w;
    // release: pairs with the consumers' acquire load of publishIndex.
    while (!publishIndex.compare_exchange_weak(expected, c, std::memory_order_release,
                                               std::memory_order_relaxed)) {
      expected = w;
      qel_detail::yield_for_publish();
    }
    return k;
  }

  // The producers' policy for a full queue: the calling thread sleeps
  // `retry_ms` and tries again until the value is stored, so no record is
  // lost. Returns at once when the slot memory could not be allocated.
  void push_waiting(const T& value, unsigned retry_ms) {
    while (!push(value)) {
      if (!slots) return;
      qel_detail::sleep_for_space(retry_ms);
    }
  }

  bool pop(T& out) {
    if (!slots) return false;
    for (;;) {
      uint32_t r = readIndex.load(std::memory_order_relaxed);
      uint32_t p = publishIndex.load(std::memory_order_acquire);
      if (r % N == p % N) return false;
      T copy;
      Slot::load(slots[r % N], copy);
      if (readIndex.compare_exchange_strong(r, next(r), std::memory_order_release,
                                            std::memory_order_relaxed)) {
        out = copy;
        return true;
      }
    }
  }

  // Single-consumer fast path: copies up to `max` published elements into
  // `out` and claims them all with one CAS. Safe only while no other thread
  // pops this queue: then nobody else moves readIndex, every slot below
  // publishIndex is completely written, and producers cannot reuse the slots
  // until the claiming CAS (release) has made readIndex pass them.
  uint32_t pop_run(T* out, uint32_t max) {
    if (!slots || max == 0) return 0;
    uint32_t r = readIndex.load(std::memory_order_relaxed);
    uint32_t p = publishIndex.load(std::memory_order_acquire);
    uint32_t avail = distance(r, p);
    uint32_t n = avail < max ? avail : max;
    if (n == 0) return 0;
    uint32_t c = r;
    for (uint32_t i = 0; i < n; ++i) {
      Slot::load(slots[c % N], out[i]);
      c = next(c);
    }
    if (!readIndex.compare_exchange_strong(r, c, std::memory_order_release,
                                           std::memory_order_relaxed))
      return 0;  // another consumer after all: nothing was taken
    return n;
  }

  // Entries reserved and not yet claimed (reserved-but-unpublished included).
  uint32_t size() const {
    return distance(readIndex.load(std::memory_order_acquire),
                    writeIndex.load(std::memory_order_acquire));
  }
  bool empty() const { return size() == 0; }

  // Counter `c` moved `k` (< kWrap) steps forward.
  static uint32_t advance(uint32_t c, uint32_t k) {
    uint64_t v = uint64_t{c} + k;
    return static_cast<uint32_t>(v >= kWrap ? v - kWrap : v);
  }

  static uint32_t distance(uint32_t from, uint32_t to) {
    return to >= from ? to - from : to + (kWrap - from);
  }

 private:
  template <typename S = Slot>
  static bool store_slot(SlotType& slot, const T& v) {
    if constexpr (S::trivial) {
      S::store(slot, v);
      return true;
    } else {
      return S::store(slot, v);
    }
  }

  void destroy_used_slots() {
    // Only slots that were ever written hold memory; walking all N would
    // fault in every untouched page of the ring at exit.
    if (lapped_.load(std::memory_order_relaxed)) {
      for (uint32_t i = 0; i < N; ++i) Slot::destroy(slots[i]);
      return;
    }
    uint32_t end = writeIndex.load(std::memory_order_relaxed);
    for (uint32_t c = start_; c != end; c = next(c)) Slot::destroy(slots[c % N]);
  }

  SlotType* slots;
  alignas(64) std::atomic<uint32_t> writeIndex;
  alignas(64) std::atomic<uint32_t> readIndex;
  alignas(64) std::atomic<uint32_t> publishIndex;
  alignas(64) std::atomic<bool> lapped_{false};
  uint32_t start_;
};
