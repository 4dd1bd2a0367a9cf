#include "qelmq/TextSender.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "delivery.h"
#include "net.h"
#include "port.h"
#include "qelmq/QelSendProperty.h"
#include "spool.h"
#include "staged_drain.h"
#include "sync.h"
#include "trace.h"

namespace {

// A slot that stays reserved but unpublished this long belongs to a producer
// that is not coming back; a final flush stops waiting for it.
constexpr unsigned kStuckMs = 200;
// Longest sleep between two looks at the stop flag.
constexpr unsigned kSliceMs = 10;
// While running, a send waits for a collector in steps of this length, so it
// can notice a shutdown or a leave operation between steps.
constexpr unsigned kWaitStepMs = 100;
// How long telling the collector of dropped texts waits for the property
// channel's lock (a leak or crash report may hold it).
constexpr unsigned kTellWaitMs = 100;
// Once stopping, how long one send may wait for a collector; after a give-up
// further sends skip the wait for a second (see SendPacing).
constexpr unsigned kFinalWaitMs = 150;
constexpr unsigned kFreshSocketWaitMs = 500;

}  // namespace

TextSender::TextSender(qel_wire::Channel channel)
    : SenderBase(channel), queue(new (std::nothrow) Queue()) {
  runPacing_.stop = nullptr;
  runPacing_.bounded_ms = kWaitStepMs;
  finalPacing_.stop = nullptr;
  finalPacing_.bounded_ms = kFinalWaitMs;
}

TextSender::~TextSender() {
  // A leave operation has already closed the socket and cleared the field;
  // the base closes it otherwise.
  delete queue;
}

QelSendParam::QelSendParam() : TextSender(qel_wire::Channel::Value) {}
QelSendTime::QelSendTime() : TextSender(qel_wire::Channel::Timing) {}
void QelSendParam::sendLeaveMsg() { TextSender::sendLeaveMsg(); }
void QelSendTime::sendLeaveMsg() { TextSender::sendLeaveMsg(); }

void TextSender::init_zmq() {
  qel_sync::MutexGuard lock(mutex);
  // After a leave operation the sender stays closed for good.
  if (closed_ || socket) return;
  socket = open_channel_socket();
}

bool TextSender::idle_at_stop() {
  qel_sync::MutexGuard lock(mutex);
  return (!queue || queue->size() == 0) && dropped() == 0;
}

void TextSender::execute(std::string& text) {
  if (stopEnqueue.load(std::memory_order_acquire)) return;
  // A program that records texts streams them: the senders' threads start
  // now rather than after the first period.
  qel_senders::want_sender_threads();
  if (!queue || !queue->valid()) return;
  // Nothing queued after a leave operation could ever be sent.
  if (leave_pending()) return;
  while (!queue->push(text)) {
    if (leave_pending()) return;
    // No collector to make room: waiting could last for ever, and the
    // runtime's first promise is never to block the program.
    if (!peerConnected_.load(std::memory_order_relaxed)) {
      note_dropped();
      return;
    }
    qel_port::sleep_ms(100);
  }
}

void TextSender::note_dropped(uint64_t n) {
  // relaxed: a statistic, read once at the end.
  dropped_.fetch_add(n, std::memory_order_relaxed);
  qel_delivery::note(channel(), qel_delivery::Outcome::Dropped, n);
}

void TextSender::discard_locked() {
  if (!queue) return;
  std::string text;
  uint64_t n = 0;
  while (queue->size() != 0 && queue->pop(text)) ++n;
  note_dropped(n);
}

void TextSender::tell_collector_dropped_locked() {
  uint64_t n = dropped();
  if (n == droppedTold_) return;
  QelSendProperty* prop = QelSendProperty::GetSendPropertyInstance();
  if (!prop) return;
  char text[96];
  std::snprintf(text, sizeof(text), "%s records dropped, no collector connected: %llu",
                channel() == qel_wire::Channel::Value ? "value" : "timing",
                static_cast<unsigned long long>(n));
  // No index of the table fits: the message goes without a prefix
  // (":///" and the text), which collectors keep as a plain property text.
  // The property channel connects on its own: it may not have a collector
  // yet when this one has. Then the next text that goes out tells again.
  if (prop->sendMsgWithin(static_cast<DATA_INDEX>(-1), text, kTellWaitMs)) droppedTold_ = n;
}

void TextSender::report_dropped() const {
  uint64_t n = dropped();
  if (n == 0) return;
  qel_trace::line("%s records dropped, no collector connected: %llu::%d\n",
                  channel() == qel_wire::Channel::Value ? "value" : "timing",
                  static_cast<unsigned long long>(n), qel_port::current_pid());
}

bool TextSender::send_text_locked(const std::string& text) {
  const char* data = text.c_str();
  const std::size_t len = text.size() + 1;
  // Never opened, or closed by a leave operation: the spool, if any, still
  // takes it.
  if (closed_ || !socket) return qel_spool::put(channel(), data, len);
  for (;;) {
    // acquire: pairs with the release store that begins a shutdown.
    if (stop_requested() || leave_pending() ||
        qel_net::runtime_stopping.load(std::memory_order_acquire)) {
      // One attempt within the shutdown's bound, then the spool. The
      // caller counts a text lost (note_dropped).
      qel_delivery::Outcome fate =
          qel_delivery::deliver(socket, channel(), data, len, finalPacing_, false);
      peerConnected_.store(fate == qel_delivery::Outcome::Sent, std::memory_order_relaxed);
      return fate != qel_delivery::Outcome::Dropped;
    }
    // While the program runs a text waits for its collector as long as it
    // takes, but in steps, so that a shutdown or a leave operation is seen.
    runPacing_.gave_up = false;
    uint32_t started = qel_port::tick_ms();
    bool sent = qel_net::send_message(socket, data, len, runPacing_);
    peerConnected_.store(sent, std::memory_order_relaxed);
    if (sent) {
      qel_delivery::note(channel(), qel_delivery::Outcome::Sent);
      tell_collector_dropped_locked();
      return true;
    }
    // The shutdown began meanwhile (the wait gave up at its deadline): the
    // attempt above decides, with the spool behind it.
    if (qel_net::runtime_stopping.load(std::memory_order_acquire)) continue;
    // An immediate refusal is an error of the socket, not a missing
    // collector: waiting longer would not help.
    if (qel_port::tick_ms() - started < kWaitStepMs / 2) return false;
  }
}

uint32_t TextSender::send_batch(uint32_t max) {
  if (!queue) return 0;
  uint32_t sent = 0;
  std::string text;
  while (sent < max) {
    // A leave operation is waiting for `mutex`: it sends the rest itself.
    if (!closed_ && leave_pending()) break;
    if (!queue->pop(text)) break;
    if (!send_text_locked(text)) note_dropped();  // failures are not retried
    ++sent;
  }
  return sent;
}

void TextSender::drain_locked(unsigned stuck_ms, unsigned budget_ms) {
  if (!queue) return;
  std::string text;
  const uint32_t start = qel_port::tick_ms();
  uint32_t last_progress = start;
  while (queue->size() != 0) {
    if (qel_port::tick_ms() - start >= budget_ms) break;
    if (queue->pop(text)) {
      if (!send_text_locked(text)) {
        note_dropped();
        // Nobody takes the texts: the rest is counted, not sent one by one.
        if (!peerConnected_.load(std::memory_order_relaxed)) discard_locked();
        last_progress = qel_port::tick_ms();
        continue;
      }
      last_progress = qel_port::tick_ms();
      continue;
    }
    // Reserved but not yet published: its producer is about to finish.
    if (qel_port::tick_ms() - last_progress >= stuck_ms) break;
    qel_port::yield_thread();
  }
}

void TextSender::sleep_unless_stopping(unsigned ms) const {
  // The shutdown's request_stop_send wakes the sleep at once; the slices
  // also notice a stop flag raised without a wake-up.
  const uint32_t start = qel_port::tick_ms();
  for (;;) {
    const uint32_t seen = wake_seen();  // before the flag: no stop is slept through
    if (stop_requested()) return;
    uint32_t elapsed = qel_port::tick_ms() - start;
    if (elapsed >= ms) return;
    unsigned left = ms - elapsed;
    wait_for_wake(seen, left < kSliceMs ? left : kSliceMs);
  }
}

void TextSender::run() {
  init_zmq();
  for (;;) {
    try {
      if (stop_requested()) {
        // Shutdown: everything still queued goes out now, without pacing.
        {
          qel_sync::MutexGuard lock(mutex);
          drain_locked(kStuckMs);
        }
        report_dropped();
        return;
      }
      if (queue && queue->size() != 0) {
        uint32_t sent;
        bool closed;
        {
          qel_sync::MutexGuard lock(mutex);
          sent = send_batch(kBatch);
          closed = closed_;
        }
        if (closed) {
          // Texts that slipped in around a leave operation are discarded;
          // no pacing needed for that.
          if (sent == 0) qel_port::sleep_ms(1);
          continue;
        }
        if (leave_pending()) {
          // Step aside so the leave operation gets `mutex`.
          qel_port::sleep_ms(1);
          continue;
        }
        sleep_unless_stopping(kPauseMs);
        continue;
      }
      sleep_unless_stopping(kIdleMs);
    } catch (...) {
      // Out of memory for a copy: try again later rather than end the thread.
      qel_port::sleep_ms(kIdleMs);
    }
  }
}

void TextSender::sendLeaveMsg() {
  // Before waiting for `mutex`: makes the thread give it up promptly.
  leaveRequested_.store(true, std::memory_order_relaxed);
  // Bounded: on the crash path the holder of `mutex` may be the thread that
  // crashed; then the queue and the socket are left alone.
  qel_sync::TimedMutexGuard lock(mutex, qel_net::leave_lock_wait_ms());
  if (!lock.owns() || closed_) return;
  try {
    // The thread may not have opened the socket yet; the texts are owed to
    // the collector all the same.
    unsigned usual_wait = finalPacing_.bounded_ms;
    if (!socket) {
      socket = open_channel_socket();
      // A collector needs a moment to connect to a socket that is brand new.
      finalPacing_.bounded_ms = kFreshSocketWaitMs;
    }
    // Half the bound for handing texts over, the rest for them to leave.
    drain_locked(kStuckMs, qel_net::leave_wait_ms() / 2);
    finalPacing_.bounded_ms = usual_wait;
  } catch (...) {
  }
  qel_net::close_and_wait(socket, context, qel_net::leave_wait_ms());
  closed_ = true;
}

void TextSender::reopen() {
  qel_sync::TimedMutexGuard lock(mutex, qel_net::leave_lock_wait_ms());
  if (!lock.owns() || !closed_) return;
  socket = open_channel_socket();
  closed_ = false;
  leaveRequested_.store(false, std::memory_order_relaxed);
}

void* fsend_param(void* sender) {
  if (sender) static_cast<TextSender*>(sender)->run();
  return sender;
}

void* fsend_time(void* sender) {
  if (sender) static_cast<TextSender*>(sender)->run();
  return sender;
}
