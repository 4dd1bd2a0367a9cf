// The live collection loop: receives until the program has ended and the
// streams have been quiet, a signal, or the time limit.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "child_process.hpp"
#include "cli.hpp"
#include "receiver.hpp"
#include "spool.hpp"

namespace qelc {

struct CollectResult {
  int error = 0;  // kExitUsage when receiving failed
  bool timedOut = false;
};

// SIGINT and SIGTERM end the collection (the first is passed on to the
// program, so it can end and flush; a second ends the collection at once).
void catchStopSignals();

// Every message goes to sink; the program is stopped before returning.
// `unfinished` gives the pids of the processes that announced themselves
// and have not announced their end: once the program has ended, collection
// goes on while one of them still runs (until --timeout, or a signal).
// `complete`, once the program has ended, says whether the run is known to
// hold everything (every announced stream ended, its announced messages all
// arrived, none of its processes alive): then the collection ends at once,
// without waiting for the streams to be quiet for --quiet-ms.
// `spool`, if any, is looked at every few tens of milliseconds, its messages
// handed to sink like the sockets' (and counted as traffic). The early end
// waits for it: its files read through before and after `complete` holds,
// and nothing new in them.
CollectResult collect(const Options& opt, Receiver& receiver, ChildProcess& child,
                      const std::function<void(Message&&)>& sink,
                      const std::function<std::vector<int32_t>()>& unfinished,
                      const std::function<bool()>& complete = nullptr,
                      SpoolFollower* spool = nullptr);

}  // namespace qelc
