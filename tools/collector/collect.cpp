#include "collect.hpp"

#include <signal.h>

#include <algorithm>
#include <iostream>

#include "step_times.hpp"

namespace qelc {
namespace {

constexpr int kPollMs = 20;
constexpr int kKillGraceMs = 5000;
// After the program has gone, traffic that never pauses is someone else's.
constexpr int kMaxDrainMs = 10000;
constexpr int kAliveCheckMs = 100;
// How often the spool is looked at while the run goes on: short processes
// that never open a socket reach the run this way only.
constexpr int kSpoolLookMs = 20;

volatile sig_atomic_t gSignals = 0;
volatile sig_atomic_t gLastSignal = 0;

void onSignal(int sig) {
  gLastSignal = sig;
  gSignals = gSignals + 1;
}

double msSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

}  // namespace

void catchStopSignals() {
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

// Receives until the program has ended and the streams are quiet, a signal
// or the time limit; every message goes to sink.
CollectResult collect(const Options& opt, Receiver& receiver, ChildProcess& child,
                      const std::function<void(Message&&)>& sink,
                      const std::function<std::vector<int32_t>()>& unfinished,
                      const std::function<bool()>& complete, SpoolFollower* spool) {
  CollectResult r;
  const auto start = Clock::now();
  auto lastMessage = Clock::now();
  // Processes that outlived the program: looked at every kAliveCheckMs.
  std::vector<int32_t> outliving;
  auto checkedAt = Clock::time_point{};
  auto outlivedUntil = Clock::time_point{};  // when the last of them ended
  std::size_t told = 0;
  Clock::time_point signalledAt{};
  int handledSignals = 0;
  auto spoolLookedAt = Clock::time_point{};
  const auto lookAtSpool = [&] {
    if (!spool) return;
    spoolLookedAt = Clock::now();
    if (spool->poll(sink) > 0) lastMessage = Clock::now();
  };
  // Everything is in: the spool read through as it is now, then the
  // announcements and the processes, then the spool once more. A process
  // seen gone wrote everything before it went, so the last look has it all;
  // one still writing is alive, or left a record cut short.
  const auto finished = [&] {
    lookAtSpool();
    if (spool && !spool->caughtUp()) return false;
    if (!complete()) return false;
    if (!spool) return true;
    const std::size_t more = spool->poll(sink);
    if (more > 0) lastMessage = Clock::now();
    return more == 0 && spool->caughtUp();
  };
  for (;;) {
    try {
      // While the program runs, its end cuts the wait short (endFd).
      const int wake = child.running() ? child.endFd() : -1;
      if (receiver.poll(kPollMs, sink, wake) > 0) lastMessage = Clock::now();
    } catch (const std::exception& e) {
      std::cerr << "qelcollect: " << e.what() << "\n";
      r.error = kExitUsage;
      break;
    }
    if (msSince(spoolLookedAt) >= kSpoolLookMs) lookAtSpool();
    {
      const bool was = child.running();
      child.poll();
      if (was && !child.running()) stepTime("command's end seen");
    }
    const int sigs = gSignals;
    if (sigs > handledSignals) {
      handledSignals = sigs;
      if (!child.running() || sigs > 1) break;
      // First signal: pass it on and let the program end and flush.
      child.signal(gLastSignal);
      signalledAt = Clock::now();
    }
    if (child.running() && handledSignals > 0 && msSince(signalledAt) > kKillGraceMs) {
      std::cerr << "qelcollect: " << child.name() << " ignores the signal, killing it\n";
      child.signal(SIGKILL);
      signalledAt = Clock::now();
    }
    if (opt.timeoutSec > 0 && msSince(start) > opt.timeoutSec * 1000.0) {
      r.timedOut = true;
      std::cerr << "qelcollect: --timeout expired\n";
      break;
    }
    // The announcements account for every message and every process has
    // gone: nothing can come any more, so the quiet period would only wait.
    if (child.started() && !child.running() && complete && finished()) break;
    if (child.started() && !child.running() && msSince(child.exitedAt()) >= opt.quietMs) {
      if (msSince(checkedAt) >= kAliveCheckMs) {
        checkedAt = Clock::now();
        const bool before = !outliving.empty();
        outliving.clear();
        for (const int32_t pid : unfinished())
          if (processAlive(pid)) outliving.push_back(pid);
        if (before && outliving.empty()) outlivedUntil = Clock::now();
        if (outliving.size() > told) {
          told = outliving.size();
          std::cerr << "qelcollect: " << outliving.size()
                    << " process(es) outlived the program, collecting until they end"
                    << (opt.timeoutSec > 0 ? " or --timeout" : "") << ": pid";
          for (const int32_t pid : outliving) std::cerr << ' ' << pid;
          std::cerr << "\n";
        }
      }
      if (!outliving.empty()) continue;
      if (msSince(lastMessage) >= opt.quietMs) break;
      const auto settled = std::max(child.exitedAt(), outlivedUntil);
      if (msSince(settled) > std::max(kMaxDrainMs, 10 * opt.quietMs)) {
        std::cerr << "qelcollect: messages still arriving after the program ended; stopping\n";
        break;
      }
    }
  }
  // Stopped by us for --timeout: that, not the signal, is the outcome.
  child.stop(!r.timedOut);
  // Whatever is already queued locally still belongs to the run; a sender
  // that keeps streaming must not hold the end of the run (or Ctrl-C) back.
  try {
    receiver.drain(1000, sink);
  } catch (const std::exception&) {
  }
  return r;
}

}  // namespace qelc
