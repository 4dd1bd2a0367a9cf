// The spool: what the runtime of a program started by `qelcollect -- COMMAND`
// could not deliver over its sockets (no connection made in time, a port it
// could not use), in one file per process that the collector reads once the
// run has ended. The messages count exactly as if a socket had carried them.
//
// File format: qelmq/protocol/spool.h (records back to back, each a header
// naming the channel's port and the length, then the message's bytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "decode.hpp"
#include "qelmq/protocol/spool.h"

namespace qelc {

inline constexpr std::size_t kSpoolHeaderSize = sizeof(qel_wire::SpoolRecordHeader);
using qel_wire::kSpoolSuffix;

struct SpoolResult {
  std::size_t files = 0;
  std::size_t messages = 0;  // decoded or not, each handed to the sink once
  std::size_t damaged = 0;   // files that ended inside a record or held garbage
};

// Hands every message of every spool file in `dir` to `sink`, in file order.
// A record larger than `maxMessage` is a Malformed message (its bytes are
// skipped, never held); a file cut short inside a record, a header without
// the mark or with an unknown port gives one Malformed message naming the
// file and the offset, and the rest of that file is skipped. With `remove`,
// each file is deleted once read. A directory that does not exist holds no
// spool.
SpoolResult readSpool(const std::string& dir, std::size_t maxMessage,
                      const std::function<void(Message&&)>& sink, bool remove);

// Deletes the spool files of `dir` unread; returns how many there were.
std::size_t removeSpool(const std::string& dir);

}  // namespace qelc
