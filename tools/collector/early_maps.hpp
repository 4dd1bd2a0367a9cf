// The maps inside the programs that ran, read while the run goes on: each
// process names its program and libraries long before the run ends, and a
// suite of many short programs would otherwise spend a good part of its
// run reading them all after the last one ended.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "srcmap.hpp"

namespace qelc {

// Reads each module handed to it on a thread of its own, in the order they
// were handed over. A unit map it already parsed out of an earlier module
// (same unit, same identity: the same library linked into every program
// of a suite) is not parsed again.
//
// Design: two threads. The owner (the one that made it: the receive loop's)
// calls add(), finish() and result(); the reader thread runs work().
//  * mutex_ guards pending_ and closed_, and is held only to move a path in
//    or out: never while a file is read, so add() never waits on a parse.
//  * known_ and results_ belong to the reader thread until it is joined;
//    the owner reads results_ only after join(), which orders every write
//    of the reader before those reads.
//  * abandon_ is written by the owner and read by the reader between two
//    maps; relaxed, as it carries no data (nothing is read through it), it
//    only cuts the reading short.
// Invariant: results_ holds only whole reads, and a record left unparsed
// there because of known_ comes after (in the order of add()) the module
// whose parsed map put it in known_. Applied in that order, that module's
// map is in the SourceMap before the later record is met, which is then
// never needed; should it be (the earlier module's maps not applied),
// applyModuleMaps reads the file again.
class EarlyMapReader {
 public:
  EarlyMapReader() = default;
  EarlyMapReader(const EarlyMapReader&) = delete;
  EarlyMapReader& operator=(const EarlyMapReader&) = delete;
  // Gives up what is still being read and waits for the thread.
  ~EarlyMapReader() { stop(); }

  // A module seen for the first time. The thread starts with the first
  // one; without a thread to be had, every module is left to the end.
  void add(const std::string& path);
  // Takes no further module, reads those handed over (on every core now),
  // and waits for the thread.
  void finish();
  // Takes no further module, gives up the one in hand and the rest, and
  // waits for the thread: the modules not read are the caller's to read.
  void stop();
  // After finish() or stop(): what was read of `path`, or null when it was
  // not reached. The caller may move out of it.
  ModuleRead* result(const std::string& path);

 private:
  void work();
  void join();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::string> pending_;  // guarded by mutex_
  bool closed_ = false;              // guarded by mutex_
  std::atomic<bool> abandon_{false};
  std::thread thread_;                             // the owner's
  bool startFailed_ = false;                       // the owner's
  std::set<std::pair<uint16_t, uint64_t>> known_;  // the reader's
  std::map<std::string, ModuleRead> results_;      // the reader's, then the owner's
};

// Adds the maps inside `modules` in that order, exactly as loadModuleMaps
// for each in turn would, with the same warnings and error on `err`: a
// module gone or without maps only warns, an invalid map is an error and
// ends it (false). What `early` (if any) read stands for reading the file
// now, except a file it could not read, which is tried again.
bool addProgramMaps(const std::vector<std::string>& modules, EarlyMapReader* early, SourceMap* map,
                    std::ostream& err);

}  // namespace qelc
