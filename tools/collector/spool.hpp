// The spool: what the runtime of a program started by `qelcollect -- COMMAND`
// could not deliver over its sockets (no connection made in time, a port it
// could not use), or chose not to send over one, in one file per process.
// The collector follows the files while the run goes on and reads what is
// left once it has ended. The messages count exactly as if a socket had
// carried them.
//
// File format: qelmq/protocol/spool.h (records back to back, each a header
// naming the channel's port and the length, then the message's bytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
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

// Reads the spool files of one directory while processes append to them:
// each look hands over the records written whole since the one before, and
// finish() the rest, so that what a process spools counts as it arrives.
// Every message reaches the sink exactly as readSpool() at the end would
// hand it over, and in the same order within a file (files are taken in
// name order within one look; across looks in the order they grew).
//
// Design: one thread, the receive loop's, owns a follower and makes every
// call; the sink runs on it. The other parties are the processes, which
// share nothing with it but the files: each appends whole records with
// O_APPEND, several write() calls at most for a large batch, and a later
// process of the same pid appends to the same file.
//  * Per file, `offset` is where the next record starts: everything before
//    it has been handed to the sink once, nothing after it yet. A look
//    reads only records that are wholly in the file; one cut short (still
//    being written) is left where it is until a later look finds it whole.
//  * A record that cannot be right (no mark, an unknown port) stops the
//    looks at that file: it may be a write caught half way on a system that
//    shows it so, and finish() reads it again and reports it as damage at
//    the same offset, exactly as a single read at the end would.
//  * Which files changed is told by inotify when it can be had (an event is
//    queued by the write() itself, before the writer's call returns, so a
//    process seen gone has had every write of its queued), else by the
//    size of every file at every look. A lost event (queue overflow) makes
//    the next look a full one.
//  * caughtUp() after a look: nothing read is left behind in any file.
// No atomics: nothing here is shared between threads.
class SpoolFollower {
 public:
  // `dir` need not exist yet. Records larger than `maxMessage` are Malformed
  // messages, as readSpool() has them.
  SpoolFollower(std::string dir, std::size_t maxMessage);
  ~SpoolFollower();
  SpoolFollower(const SpoolFollower&) = delete;
  SpoolFollower& operator=(const SpoolFollower&) = delete;

  // Hands the sink every record appended whole since the last look; returns
  // how many. Nothing is reported as damage here.
  std::size_t poll(const std::function<void(Message&&)>& sink);
  // After poll(): every file was read to its end as it was then, and no
  // file waits on a record that cannot be right.
  bool caughtUp() const;
  // The end of the run: the rest of every file, a file cut inside a record
  // or holding garbage reported as readSpool() reports it. The result
  // counts the whole run's messages, those of poll() included. With
  // `remove`, each file is deleted once read. Call it once.
  SpoolResult finish(const std::function<void(Message&&)>& sink, bool remove);

  // Whether changes are told by inotify (else every look reads the sizes).
  bool notified() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
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
