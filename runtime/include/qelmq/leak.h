#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "qelmq/export.h"
#include "qelmq/probes.h"

// Header in front of every recorded block.
struct AllocHeader {
  AllocHeader* next;
  char file[100];
  char function[100];
  int32_t line;
  uint32_t size;
};

// Allocation table: 16384 buckets chosen by bits 8-21 of the caller's block
// address, each a list of headers, newest first.
//
// Design: `leakTable` and every header reachable from it belong to whoever
// holds `leakLock`; nothing reads or writes them without it. A header leaves
// the table (under the lock) before its memory is freed, so a reader that
// holds the lock only ever sees live headers.
constexpr std::size_t kLeakBuckets = 0x4000;
extern AllocHeader* leakTable[kLeakBuckets];
// 0 free, 1 held. Taken with an acquire exchange, released with a release
// store; the pair orders every table access of one holder before the next.
extern std::atomic<int32_t> leakLock;

// Sends one report line through the property channel as a MemoryLeak message.
void sendMsg(char* text);

namespace qel_leak {

// Bucket of a block the caller received from QelNew.
inline std::size_t bucket_of(const void* block) {
  return (reinterpret_cast<std::uintptr_t>(block) >> 8) & (kLeakBuckets - 1);
}

// One report as it would be sent: the header line, then one line per
// recorded block (bucket order, newest first within a bucket), or the header
// and "0 zero zero 0 0" when nothing is recorded. `blocks` counts the blocks.
struct Report {
  std::vector<std::string> lines;
  std::size_t blocks = 0;
};
Report make_report();

// Header line for the given time stamp text.
std::string header_line(const char* stamp);

}  // namespace qel_leak
