// Memory tracking for instrumented code: QelNew/QelDelete keep every block
// in leakTable, and check_leaks reports the blocks that carry a source line
// through the property channel.
#include "qelmq/leak.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "port.h"
#include "qelmq/QelSendProperty.h"
#include "qelmq/protocol/texts.h"
#include "trace.h"

AllocHeader* leakTable[kLeakBuckets] = {};
std::atomic<int32_t> leakLock{0};

namespace {

// Under leakLock: whether QelNew ever linked a block. A program that never
// called it (most) has a report without walking the 16,384 buckets, whose
// pages it would otherwise fault in at every report, twice per process.
bool g_any_block = false;

// The caller's block must be as aligned as malloc's own result, so the space
// in front of it is the header rounded up to that alignment; the header sits
// at the end of that space, directly in front of the block.
constexpr std::size_t kAlign = alignof(std::max_align_t);
constexpr std::size_t kHeaderSpace = (sizeof(AllocHeader) + kAlign - 1) / kAlign * kAlign;
static_assert(kHeaderSpace >= sizeof(AllocHeader), "header must fit in front of the block");

// QelNew and QelDelete hold it only while they link or unlink a header, never
// around their malloc/free. A report holds it while it formats its lines, and
// appending a line allocates: an allocating thread may then spin for one
// report's formatting, but never for a send to the collector.
class LeakLockGuard {
 public:
  LeakLockGuard() {
    // acquire: pairs with the release store of the previous holder, so its
    // table updates are visible here.
    while (leakLock.exchange(1, std::memory_order_acquire) == 1) {
      // relaxed: only a hint that the lock may be free; the exchange above
      // is what takes it.
      while (leakLock.load(std::memory_order_relaxed) == 1) qel_port::yield_thread();
    }
  }
  ~LeakLockGuard() {
    // release: pairs with the next holder's acquire exchange.
    leakLock.store(0, std::memory_order_release);
  }
  LeakLockGuard(const LeakLockGuard&) = delete;
  LeakLockGuard& operator=(const LeakLockGuard&) = delete;
};

char* block_of(AllocHeader* h) { return reinterpret_cast<char*>(h) + sizeof(AllocHeader); }
void* allocation_of(AllocHeader* h) { return block_of(h) - kHeaderSpace; }

void copy_cut(char (&dst)[100], const char* src) {
  std::size_t n = 0;
  if (src) {
    while (n < sizeof(dst) - 1 && src[n] != '\0') ++n;
    std::memcpy(dst, src, n);
  }
  dst[n] = '\0';
}

void time_stamp(char (&out)[64]) { qel_port::local_time_stamp(out, sizeof(out)); }

}  // namespace

void* QelNew(unsigned size, const char* file, const char* function, int line) {
  // Header plus block must fit in 32 bits; a wrapped total would hand out a
  // block smaller than asked for.
  if (size > UINT32_MAX - kHeaderSpace) return nullptr;
  // Every block, also one without a source line (which no report lists),
  // carries a header and sits in the table: that is how QelDelete tells a
  // block of its own from any other pointer without reading memory in front
  // of a pointer that may not be ours.
  void* base = std::malloc(kHeaderSpace + size);
  if (!base) return nullptr;
  char* block = static_cast<char*>(base) + kHeaderSpace;
  AllocHeader* h = new (block - sizeof(AllocHeader)) AllocHeader;
  copy_cut(h->file, file);
  copy_cut(h->function, function);
  h->line = line;
  h->size = size;
  std::size_t b = qel_leak::bucket_of(block);
  {
    LeakLockGuard lock;
    h->next = leakTable[b];
    leakTable[b] = h;
    g_any_block = true;
  }
  return block;
}

namespace {

// Takes the block at `pointer` out of the table; null when it is not a block
// of QelNew's (or was already deleted).
AllocHeader* unlink_block(void* pointer) {
  std::size_t b = qel_leak::bucket_of(pointer);
  LeakLockGuard lock;
  for (AllocHeader** link = &leakTable[b]; *link; link = &(*link)->next) {
    if (block_of(*link) == pointer) {
      AllocHeader* found = *link;
      *link = found->next;
      return found;
    }
  }
  return nullptr;
}

}  // namespace

void QelDelete(void* pointer) {
  if (!pointer) return;
  AllocHeader* found = unlink_block(pointer);
  if (!found) {
    // Not a block QelNew handed out, or one already deleted: freeing it would
    // corrupt the heap or crash inside free(). Said once per call, with the
    // caller's code address, and otherwise ignored.
    qel_trace::line(
        "QelDelete of %p ignored: not a block from QelNew, or already deleted (called "
        "from %s)::%d\n",
        pointer, qel_port::describe_code_address(__builtin_return_address(0)).c_str(),
        qel_port::current_pid());
    return;
  }
  // Unlinked under the lock, so no report can still be reading it.
  std::free(allocation_of(found));
}

void QelFree(void* pointer) {
  if (!pointer) return;
  AllocHeader* found = unlink_block(pointer);
  // A block that some uninstrumented code allocated stays the C library's.
  std::free(found ? allocation_of(found) : pointer);
}

void* QelRenew(void* pointer, unsigned size, const char* file, const char* function, int line) {
  if (!pointer) return QelNew(size, file, function, line);
  std::size_t b = qel_leak::bucket_of(pointer);
  uint32_t old_size = 0;
  bool found = false;
  {
    LeakLockGuard lock;
    for (AllocHeader* h = leakTable[b]; h; h = h->next) {
      if (block_of(h) == pointer) {
        old_size = h->size;
        found = true;
        break;
      }
    }
  }
  // A block that some uninstrumented code allocated stays the C library's.
  if (!found) return std::realloc(pointer, size);
  void* moved = QelNew(size, file, function, line);
  if (!moved) return nullptr;  // the old block stays valid, as with realloc
  std::memcpy(moved, pointer, old_size < size ? old_size : size);
  QelDelete(pointer);
  return moved;
}

void sendMsg(char* text) {
  if (!text) return;
  QelSendProperty* prop = QelSendProperty::GetSendPropertyInstance();
  if (prop) prop->sendMsg(MemoryLeak, std::string(text));
}

namespace qel_leak {

std::string header_line(const char* stamp) {
  char buf[1024];
  std::snprintf(buf, sizeof(buf), "%s%s", stamp, qel_wire::kLeakHeaderTail);
  return buf;
}

Report make_report() {
  Report r;
  char stamp[64];
  time_stamp(stamp);
  r.lines.push_back(header_line(stamp));
  const int pid_now = qel_port::current_pid();
  {
    // Lines are formatted under the lock, from headers that cannot be freed
    // meanwhile, and sent only after it is released: a collector that is slow
    // to take them must not stall every allocating thread.
    LeakLockGuard lock;
    char buf[1024];
    for (std::size_t b = 0; g_any_block && b < kLeakBuckets; ++b) {
      for (AllocHeader* h = leakTable[b]; h; h = h->next) {
        if (h->line == 0) continue;  // kept for QelDelete's check only
        std::snprintf(buf, sizeof(buf), "%u %s %s %d %d", h->size, h->file, h->function,
                      static_cast<int>(h->line), pid_now);
        r.lines.emplace_back(buf);
        ++r.blocks;
      }
    }
  }
  if (r.blocks == 0) r.lines.emplace_back(qel_wire::kLeakNothing);
  return r;
}

}  // namespace qel_leak

int check_leaks(void) {
  try {
    qel_leak::Report r = qel_leak::make_report();
    for (std::string& line : r.lines) sendMsg(&line[0]);
    return r.blocks ? 1 : 0;
  } catch (...) {
    // Out of memory while building the report: the program goes on.
    return 0;
  }
}

int check_leak(void) { return check_leaks(); }
