// Design
// ------
// Threads: the bootstrap (begin_stream and, with a spool,
// announce_start_to_spool, under mutexInst, before the runtime's threads
// start), the crash sender's thread (announce_start), and whichever
// thread ends the stream (the shutdown, the crash flush thread, a leave
// operation, exec): announce_end.
//  * `g_stream` and `g_pid`: written by begin_stream before the threads that
//    read them are started (thread creation orders it); relaxed.
//  * `g_start_sent`: exchanged to true by whoever sends the start first
//    (acq_rel), so the start goes once per stream whichever thread wins;
//    set back to false (release) by the bootstrap alone, before any other
//    thread starts, when the spool did not take the start.
#include "announce.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "delivery.h"
#include "net.h"
#include "port.h"
#include "qelmq/QelSendProperty.h"
#include "qelmq/protocol/texts.h"
#include "qelmq/protocol/version.h"
#include "spool.h"

namespace qel_announce {

namespace {

std::atomic<uint64_t> g_stream{0};
std::atomic<int32_t> g_pid{0};
std::atomic<bool> g_start_sent{false};

// How a message waits for the property channel: `kRunning`, on a runtime
// thread while the program runs, as long as the lock is held, and the
// socket is opened for this process if it has none yet (in a forked child
// the singleton holds the parent's until the child's insert thread replaces
// it); otherwise (an end) at most `wait_ms` for the lock.
constexpr unsigned kRunning = UINT32_MAX;

// `kSpool`: straight into the spool, no socket (the bootstrap's start).
constexpr unsigned kSpool = UINT32_MAX - 1;

// False when the message could not be handed on (only the spool says so).
bool send(DATA_INDEX index, const std::string& text, unsigned wait_ms) {
  if (wait_ms == kSpool) {
    const std::string message = QelSendProperty::format_message(index, text);
    return qel_spool::put(qel_wire::Channel::Property, message.c_str(), message.size() + 1);
  }
  QelSendProperty* prop = QelSendProperty::instance.load(std::memory_order_acquire);
  if (!prop) return true;
  if (wait_ms == kRunning)
    prop->sendMsg(index, text);
  else
    prop->sendMsgWithin(index, text, wait_ms);
  return true;
}

// The command line as a shell would take it back.
std::string command_text() {
  const std::vector<std::string> args = qel_port::command_arguments(qel_wire::kMaxCommandText);
  if (qel_port::kCommandLineJoined) return args.empty() ? std::string() : args.front();
  std::string text;
  for (const std::string& arg : args) {
    if (!text.empty()) text += ' ';
    text += qel_wire::quoted_argument(arg);
  }
  return text;
}

void send_start(unsigned wait_ms) {
  if (g_pid.load(std::memory_order_relaxed) != qel_port::current_pid()) return;
  // acq_rel: one sender of the start per stream.
  if (g_start_sent.exchange(true, std::memory_order_acq_rel)) return;
  qel_wire::ProcessStart s;
  s.pid = g_pid.load(std::memory_order_relaxed);
  s.stream = g_stream.load(std::memory_order_relaxed);
  s.protocol = qel_wire::kProtocolVersion;
  s.program = qel_port::executable_path();
  if (!send(ProcessStart, qel_wire::process_start_text(s), wait_ms)) {
    // The spool did not take it: the start goes the usual way later.
    g_start_sent.store(false, std::memory_order_release);
    return;
  }
  // Its own announcement, so that a collector that does not know it keeps
  // it as a text it does not understand, and still reads the start.
  qel_wire::ProcessCommand c;
  c.pid = s.pid;
  c.stream = s.stream;
  c.command = command_text();
  if (!c.command.empty() && !send(ProcessCommand, qel_wire::process_command_text(c), wait_ms))
    qel_delivery::note(qel_wire::Channel::Property, qel_delivery::Outcome::Dropped);
}

}  // namespace

void begin_stream() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const uint64_t us = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(since_epoch).count());
  // A second bootstrap within one microsecond (QelExit, then a probe) still
  // starts a new stream.
  const uint64_t previous = g_stream.load(std::memory_order_relaxed);
  g_stream.store(us > previous ? us : previous + 1, std::memory_order_relaxed);
  g_pid.store(qel_port::current_pid(), std::memory_order_relaxed);
  g_start_sent.store(false, std::memory_order_relaxed);
  try {
    qel_net::set_origin(
        qel_wire::origin_text(qel_port::current_pid(), g_stream.load(std::memory_order_relaxed)));
  } catch (...) {
    // No memory for a few bytes: the connections name nobody.
  }
}

// A crash within the first milliseconds still announces the start: the
// end sends it first (announce_end).
void announce_start() { send_start(kRunning); }

void announce_start_to_spool() {
  if (!qel_spool::enabled()) return;
  try {
    send_start(kSpool);
  } catch (...) {
    // No memory for the texts: the start goes the usual way later.
    g_start_sent.store(false, std::memory_order_release);
  }
}

void announce_end(unsigned wait_ms, bool flush) {
  if (g_pid.load(std::memory_order_relaxed) != qel_port::current_pid()) return;
  if (wait_ms >= kSpool) wait_ms = kSpool - 1;
  send_start(wait_ms);
  const qel_delivery::Totals t = qel_delivery::totals();
  qel_wire::ProcessEnd e;
  e.pid = g_pid.load(std::memory_order_relaxed);
  e.stream = g_stream.load(std::memory_order_relaxed);
  for (std::size_t c = 0; c < e.delivered.size(); ++c)
    e.delivered[c] =
        t.sent[c] + t.spooled[c] + qel_spool::buffered(static_cast<qel_wire::Channel>(c));
  e.delivered[static_cast<std::size_t>(qel_wire::Channel::Property)] += 1;  // this message
  send(ProcessEnd, qel_wire::process_end_text(e), wait_ms);
  if (!flush) return;
  if (QelSendProperty* prop = QelSendProperty::instance.load(std::memory_order_acquire))
    prop->flush(wait_ms);
}

uint64_t stream_id() { return g_stream.load(std::memory_order_relaxed); }

}  // namespace qel_announce
