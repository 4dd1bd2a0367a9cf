// The spool: what the runtime of a program started by `qelcollect -- COMMAND`
// could not deliver over its sockets (no connection made in time, a port it
// could not use), in one file per process that the collector reads once the
// run has ended. The messages count exactly as if a socket had carried them.
//
// File format (written by the runtime, one "<pid>.qelspool" per process,
// appended to): records back to back, each an 8-byte header, then the
// message's bytes as the socket would have carried them:
//
//   bytes 0-1  "QS"
//   bytes 2-3  the channel's port, most significant byte first
//   bytes 4-7  the message's length, most significant byte first
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "decode.hpp"

namespace qelc {

inline constexpr std::size_t kSpoolHeaderSize = 8;
inline constexpr char kSpoolSuffix[] = ".qelspool";

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
