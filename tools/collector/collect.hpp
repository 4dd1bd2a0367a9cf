// The live collection loop: receives until the program has ended and the
// streams have been quiet, a signal, or the time limit.
#pragma once

#include <functional>

#include "child_process.hpp"
#include "cli.hpp"
#include "receiver.hpp"

namespace qelc {

struct CollectResult {
  int error = 0;  // kExitUsage when receiving failed
  bool timedOut = false;
};

// SIGINT and SIGTERM end the collection (the first is passed on to the
// program, so it can end and flush; a second ends the collection at once).
void catchStopSignals();

// Every message goes to sink; the program is stopped before returning.
CollectResult collect(const Options& opt, Receiver& receiver, ChildProcess& child,
                      const std::function<void(Message&&)>& sink);

}  // namespace qelc
