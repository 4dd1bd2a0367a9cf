#pragma once
// The spool: what a process started by qelcollect could not deliver over its
// sockets (no connection made in time, a port it could not use), appended to
// one file per process, "<pid>.qelspool" in the directory the configuration
// names (kKeySpoolDir), for the collector to read while the run goes on (a
// record at a time, once it is whole) and to finish once it has ended.
// A record is this header, then the message's bytes exactly as the socket
// would have carried them. The header's integers go most significant byte
// first, whatever the byte-order flag.
#include <cstdint>
#include <cstring>

#include "qelmq/protocol/endpoints.h"
#include "qelmq/protocol/records.h"

namespace qel_wire {

struct SpoolRecordHeader {
  uint8_t mark[2];    // kSpoolMark
  uint8_t port[2];    // the channel's port
  uint8_t length[4];  // bytes of the message that follow
};
static_assert(sizeof(SpoolRecordHeader) == 8, "spool records start with an 8-byte header");

// Lets a reader tell a record from a file cut short or written by something else.
inline constexpr uint8_t kSpoolMark[2] = {'Q', 'S'};
inline constexpr const char* kSpoolSuffix = ".qelspool";

inline void encode_spool_header(Channel channel, uint32_t length, uint8_t* out) {
  SpoolRecordHeader h;
  h.mark[0] = kSpoolMark[0];
  h.mark[1] = kSpoolMark[1];
  put_u16(static_cast<uint16_t>(endpoint(channel).port), true, h.port);
  put_u32(length, true, h.length);
  std::memcpy(out, &h, sizeof(h));
}

// The header's fields; false when the mark is missing.
inline bool decode_spool_header(const uint8_t* in, uint16_t* port, uint32_t* length) {
  if (in[0] != kSpoolMark[0] || in[1] != kSpoolMark[1]) return false;
  *port = get_u16(in + 2, true);
  *length = get_u32(in + 4, true);
  return true;
}

}  // namespace qel_wire
