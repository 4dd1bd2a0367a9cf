#pragma once
// Counts of 64-bit probe records: an open-addressing hash map specialised for
// the aggregating senders.
//
// Every probe record has bit 0x80 of byte 0 set, so the value 0 never occurs
// and marks an empty cell; no separate occupancy array is needed. Linear
// probing over a power-of-two table kept at most half full: a lookup of a hot
// record touches one cache line, which is what lets the insert thread keep up
// with a probe called in a tight loop. Not thread-safe; the owners guard it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

class RecordCountMap {
 public:
  // 64-bit counts: counters in the program hand over a whole window's hits
  // of a record at once, which may pass what a message's count field
  // carries (the sender splits them).
  struct Entry {
    uint64_t key;
    uint64_t count;
  };

  RecordCountMap() = default;
  RecordCountMap(const RecordCountMap&) = delete;
  RecordCountMap& operator=(const RecordCountMap&) = delete;
  ~RecordCountMap() { std::free(cells_); }

  // Adds `n` occurrences of `key` (non-zero). Returns true when the key is
  // new. A key that cannot be stored for lack of memory is dropped and
  // reported as not new.
  bool add(uint64_t key, uint64_t n = 1) {
    if (key == 0) return false;
    if ((size_ + 1) * 2 > capacity_ && !grow()) return false;
    std::size_t mask = capacity_ - 1;
    for (std::size_t i = hash(key) & mask;; i = (i + 1) & mask) {
      Entry& e = cells_[i];
      if (e.key == key) {
        e.count += n;
        return false;
      }
      if (e.key == 0) {
        e.key = key;
        e.count = n;
        ++size_;
        return true;
      }
    }
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // Calls f(key, count) for every entry, then leaves the map empty. The
  // table keeps its capacity: the next window usually has the same keys.
  template <typename F>
  void drain(F&& f) {
    if (size_ == 0) return;
    for (std::size_t i = 0; i < capacity_ && size_ > 0; ++i) {
      Entry& e = cells_[i];
      if (e.key != 0) {
        uint64_t k = e.key;
        uint64_t c = e.count;
        e.key = 0;
        e.count = 0;
        --size_;
        f(k, c);
      }
    }
    size_ = 0;
  }

 private:
  static std::size_t hash(uint64_t k) {
    // A full 64-bit finalizer: records differ in scattered 16-bit fields,
    // and the table index keeps only the low bits, so every input bit must
    // reach them.
    k = (k ^ (k >> 30)) * 0xBF58476D1CE4E5B9ull;
    k = (k ^ (k >> 27)) * 0x94D049BB133111EBull;
    k ^= k >> 31;
    return static_cast<std::size_t>(k);
  }

  bool grow() {
    std::size_t cap = capacity_ ? capacity_ * 2 : 1024;
    Entry* cells = static_cast<Entry*>(std::calloc(cap, sizeof(Entry)));
    if (!cells) return false;
    std::size_t mask = cap - 1;
    for (std::size_t i = 0; i < capacity_; ++i) {
      const Entry& e = cells_[i];
      if (e.key == 0) continue;
      std::size_t j = hash(e.key) & mask;
      while (cells[j].key != 0) j = (j + 1) & mask;
      cells[j] = e;
    }
    std::free(cells_);
    cells_ = cells;
    capacity_ = cap;
    return true;
  }

  Entry* cells_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
};
