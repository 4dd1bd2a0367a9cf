// The runtime instance: bootstrap, configuration and shutdown.
#include "qelmq/thread_exit.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "announce.h"
#include "counter_harvest.h"
#include "crash_guard.h"
#include "delivery.h"
#include "insert_thread.h"
#include "net.h"
#include "port.h"
#include "qelmq/QelSendCond.h"
#include "qelmq/QelSendDD.h"
#include "qelmq/QelSendLast.h"
#include "qelmq/QelSendMCDC.h"
#include "qelmq/QelSendProperty.h"
#include "qelmq/QelSendUniTest.h"
#include "qelmq/TextSender.h"
#include "qelmq/leak.h"
#include "qelmq/protocol/config.h"
#include "spool.h"
#include "staged_drain.h"
#include "sync.h"
#include "test_window.h"
#include "trace.h"

std::atomic<thread_exit*> thread_exit::pInst{nullptr};
pthread_mutex_t mutexInst = PTHREAD_MUTEX_INITIALIZER;

std::string GetProcName() { return "."; }

namespace {

// The runtime's threads, in the order the bootstrap starts them: the
// insert thread, then one thread per sender that has one. The shutdown
// stops and joins them by the same table.
struct ThreadRow {
  pthread_t thread_exit::*handle;
  void* (*body)(void*);
  // The thread's argument: the sender it serves, or the instance.
  void* (*argument)(thread_exit*);
  // The sender it serves; null for the insert thread.
  SenderBase* (*sender)(thread_exit*);
  // Opens the sender's socket (idempotent); null for the insert thread.
  void (*open)(thread_exit*);
  // Start of the trace line that reports a failed start.
  const char* start_error;
};

template <typename S, S* thread_exit::*Member>
constexpr ThreadRow sender_thread(pthread_t thread_exit::*handle, void* (*body)(void*),
                                  const char* start_error) {
  return {handle,
          body,
          [](thread_exit* i) -> void* { return i->*Member; },
          [](thread_exit* i) -> SenderBase* { return i->*Member; },
          [](thread_exit* i) {
            if (S* s = i->*Member) s->init_zmq();
          },
          start_error};
}

constexpr ThreadRow kThreads[] = {
    {&thread_exit::thread_insertdd, finsert_Data, [](thread_exit* i) -> void* { return i; },
     nullptr, nullptr, "create thread_insertdd is error\xEF\xBC\x9A"},
    sender_thread<QelSendDD, &thread_exit::sendDD>(&thread_exit::thread_dd, fsend_dd,
                                                   "create thread_dd is error:"),
    sender_thread<QelSendCond, &thread_exit::sendCond>(&thread_exit::_thread_cond, fsend_cond,
                                                       "create _thread_cond is error:"),
    sender_thread<QelSendMCDC, &thread_exit::sendMCDC>(&thread_exit::_thread_mcdc, fsend_mcdc,
                                                       "create _thread_mcdc is error:"),
    sender_thread<QelSendParam, &thread_exit::sendParam>(&thread_exit::_thread_param, fsend_param,
                                                         "create _thread_param is error:"),
    sender_thread<QelSendTime, &thread_exit::sendTime>(&thread_exit::_thread_time, fsend_time,
                                                       "create _thread_time is error:"),
    sender_thread<QelSendLast, &thread_exit::sendLast>(&thread_exit::_thread_last, fsend_lastData,
                                                       "create _thread_last is error:"),
};
constexpr int kThreadCount = sizeof(kThreads) / sizeof(kThreads[0]);
// The end announcement's wait for the property channel's lock: its holder
// is a report of this shutdown, which has its own bound.
constexpr unsigned kEndLockWaitMs = 1000;
static_assert(kThreadCount == sizeof(thread_exit::started) / sizeof(bool),
              "one started flag per row of the thread table");

void start_threads(thread_exit* inst, int from, int to) {
  for (int i = from; i < to; ++i) {
    const ThreadRow& row = kThreads[i];
    if (row.sender && !row.sender(inst)) continue;  // its sender could not be made
    int err = pthread_create(&(inst->*row.handle), nullptr, row.body, row.argument(inst));
    if (err != 0)
      qel_trace::line("%s%d: %s\n", row.start_error, err, qel_port::error_text(err).c_str());
    else
      inst->started[i] = true;
  }
}

void join_thread(thread_exit* inst, int i) {
  if (inst->started[i]) pthread_join(inst->*kThreads[i].handle, nullptr);
}

// The shutdown of a process whose senders' threads never started: each
// sender that holds something does on this thread what its thread would
// have done after the stop requests (open, send, return). Every socket
// needed is opened before the first send, so their connections are made
// side by side rather than one after the other; the property socket among
// them, since the crash sender's body announces the start there. A sender
// with nothing to send opens nothing.
void finish_unstarted_senders(thread_exit* inst) {
  bool busy[kThreadCount] = {};
  bool any = false;
  for (int i = 1; i < kThreadCount; ++i) {
    SenderBase* s = inst->started[i] ? nullptr : kThreads[i].sender(inst);
    busy[i] = s && !s->idle_at_stop();
    any = any || busy[i];
  }
  if (!any) return;
  if (inst->sendProperty) inst->sendProperty->init_zmq();
  for (int i = 1; i < kThreadCount; ++i)
    if (busy[i]) kThreads[i].open(inst);
  for (int i = 1; i < kThreadCount; ++i)
    if (busy[i]) kThreads[i].body(kThreads[i].argument(inst));
}

// Calls `op` on the sender of every thread row.
template <typename Op>
void for_each_thread_sender(thread_exit* inst, Op op) {
  for (const ThreadRow& row : kThreads)
    if (row.sender)
      if (SenderBase* s = row.sender(inst)) op(s);
}

// In the child of a fork only the forking thread exists. A lock that one of
// the parent's other threads held at that moment would stay held forever:
// the bootstrap lock, the singletons' socket locks and the allocation table's
// spin lock are released here, before the child can run a probe.
void reset_locks_in_fork_child() {
  pthread_mutex_init(&mutexInst, nullptr);
  if (QelSendProperty* p = QelSendProperty::instance.load(std::memory_order_relaxed))
    pthread_mutex_init(&p->mutex, nullptr);
  if (QelSendLast* l = QelSendLast::instance.load(std::memory_order_relaxed))
    pthread_mutex_init(&l->mutex, nullptr);
  pthread_mutex_init(&QelSendProperty::_mutexInst, nullptr);
  pthread_mutex_init(&QelSendLast::_mutexInst, nullptr);
  leakLock.store(0, std::memory_order_relaxed);
  qel_spool::reset_in_fork_child();
}

// The configuration file (QELMQ_CONFIG, or Server.cfg beside the executable).
std::string config_path() {
  // QELMQ_CONFIG names a file read in place of the one beside the
  // executable, so that a collector can have every process it starts
  // connect to it (the file of each executable would bind the same ports).
  const char* chosen = std::getenv(qel_wire::kConfigVariable);
  return chosen && *chosen ? std::string(chosen)
                           : qel_port::executable_dir(260) + qel_wire::kConfigFileName;
}

// The shutdown's wait for a collector: QELMQ_COLLECTOR_WAIT_MS, else the
// file's key, else the default.
unsigned collector_wait(const qel_runtime::DeliveryConfig& config, int32_t me) {
  if (const char* env = std::getenv(qel_wire::kCollectorWaitVariable)) {
    char* end = nullptr;
    const long v = std::strtol(env, &end, 10);
    if (*env && end && *end == '\0' && v >= 0 &&
        v <= static_cast<long>(qel_net::kMaxCollectorWaitMs))
      return static_cast<unsigned>(v);
    qel_trace::line(
        "QELMQ_COLLECTOR_WAIT_MS ignored: not a number of milliseconds from 0 to %u::%d\n",
        qel_net::kMaxCollectorWaitMs, me);
  }
  if (config.collector_wait_ms >= 0) return static_cast<unsigned>(config.collector_wait_ms);
  return qel_net::kDefaultCollectorWaitMs;
}

thread_exit* bootstrap() {
  int32_t me = qel_port::current_pid();
  qel_port::register_fork_child_hook(reset_locks_in_fork_child);
  qel_port::register_unload_handler(+[]() { QelExit(); });
  qel_trace::line("\nrenew thread_ins::v0::%s!::%d\n", GetProcName().c_str(), me);
  pid.store(me, std::memory_order_relaxed);

  thread_exit* inst = new (std::nothrow) thread_exit();
  if (!inst) return nullptr;
  // No ZeroMQ yet: the context is made, and the library loaded, with the
  // first socket (a short process under a collector may never open one).
  inst->context = qel_net::new_messaging();
  std::memset(inst->ip, 0, sizeof(inst->ip));
  std::memset(inst->state, 0, sizeof(inst->state));
  char no_mcdc[qel_wire::kNoMcdcBufferSize] = {};
  const std::string path = config_path();
  qel_trace::line("Current EXEPAth:%s\n", path.c_str());
  qel_runtime::DeliveryConfig delivery;
  qel_runtime::read_config(path.c_str(), inst->ip, inst->state, no_mcdc, &delivery);
  inst->noMcdc = std::atoi(no_mcdc);

  inst->sendDD = new (std::nothrow) QelSendDD();
  inst->sendCond = new (std::nothrow) QelSendCond();
  inst->sendMCDC = new (std::nothrow) QelSendMCDC();
  inst->sendParam = new (std::nothrow) QelSendParam();
  inst->sendTime = new (std::nothrow) QelSendTime();
  inst->sendLast = QelSendLast::getInstance();
  // A singleton that a previous instance stopped runs again.
  if (inst->sendLast) {
    inst->sendLast->stopEnqueue.store(false, std::memory_order_relaxed);
    inst->sendLast->stopSend.store(false, std::memory_order_relaxed);
  }
  inst->sendProperty = QelSendProperty::GetSendPropertyInstance();
  inst->sendUniTest = new (std::nothrow) QelSendUniTest();
  for (SenderBase* s :
       {static_cast<SenderBase*>(inst->sendDD), static_cast<SenderBase*>(inst->sendCond),
        static_cast<SenderBase*>(inst->sendMCDC), static_cast<SenderBase*>(inst->sendParam),
        static_cast<SenderBase*>(inst->sendTime), static_cast<SenderBase*>(inst->sendLast),
        static_cast<SenderBase*>(inst->sendProperty), static_cast<SenderBase*>(inst->sendUniTest)})
    if (s) s->configure(inst->ip, inst->state, inst->context);
  if (inst->sendProperty) inst->sendProperty->setLittleEndian();
  qel_harvest::install();
  // release: pairs with the acquire in qel_senders::want_sender_threads.
  qel_senders::want_sender_threads_hook.store(
      +[]() {
        thread_exit* p = thread_exit::pInst.load(std::memory_order_acquire);
        if (p && pid.load(std::memory_order_relaxed) == qel_port::current_pid())
          p->want_sender_threads();
      },
      std::memory_order_release);
  qel_window::install();
  qel_delivery::reset();
  qel_announce::begin_stream();
  qel_spool::configure(delivery.spool_dir);
  qel_net::note_bootstrap(std::strcmp(inst->state, qel_wire::kConnectMode) == 0,
                          collector_wait(delivery, me), qel_spool::enabled());
  qel_announce::announce_start_to_spool();

  qel_trace::line("pthread_create_begin!::%d\n", me);
  // The insert thread only: it starts the others when they are needed.
  start_threads(inst, 0, 1);
  qel_trace::line("-pthread_create_over!::%d\n", me);
  return inst;
}

}  // namespace

thread_exit* thread_exit::current() {
  // acquire: pairs with the release store at the end of the bootstrap, so a
  // probe that sees the pointer sees a complete instance.
  thread_exit* p = pInst.load(std::memory_order_acquire);
  if (p && pid.load(std::memory_order_relaxed) == qel_port::current_pid()) return p;
  return getInst();
}

thread_exit* thread_exit::getInst() {
  thread_exit* p = pInst.load(std::memory_order_acquire);
  int32_t me = qel_port::current_pid();
  if (p && pid.load(std::memory_order_relaxed) == me) return p;
  qel_sync::MutexGuard lock(mutexInst);
  p = pInst.load(std::memory_order_acquire);
  if (!(p && pid.load(std::memory_order_relaxed) == me)) {
    p = bootstrap();
    pInst.store(p, std::memory_order_release);
    if (p) {
      // After the publication: a crash flush reads the instance.
      qel_crash::arm();
      p->wake_insert_thread();
    }
  }
  return p;
}

void qel_insert::start_sender_threads(thread_exit* inst) {
  if (!inst) return;
  if (inst->sendUniTest) inst->sendUniTest->init_zmq();
  if (inst->sendProperty) inst->sendProperty->init_zmq();
  start_threads(inst, 1, kThreadCount);
}

void thread_exit::wake_insert_thread() {
  // release: pairs with the acquire read of the word in the insert thread,
  // which then sees what was published before it.
  insertWake.fetch_add(1, std::memory_order_release);
  qel_port::wake_waiters(insertWake);
}

namespace qel_runtime {

namespace {

// The text after "key =" when `line` (blanks before it skipped) starts with
// `key`, then blanks and "="; leading blanks of the value skipped.
const char* delivery_value(const char* line, const char* key) {
  const std::size_t n = std::strlen(key);
  if (std::strncmp(line, key, n) != 0) return nullptr;
  const char* c = line + n;
  c += std::strspn(c, " \t");
  if (*c != '=') return nullptr;
  ++c;
  return c + std::strspn(c, " \t");
}

}  // namespace

void read_config(const char* path, char* ip, char* state, char* noMcdc, DeliveryConfig* delivery) {
  FILE* f = std::fopen(path, "r");
  if (!f) return;
  const int32_t me = qel_port::current_pid();
  // A line the runtime cannot use is named once, with the file and its line
  // number, and then handled as before: a typo must not silently change the
  // mode.
  auto unusable = [&](int number, const char* why) {
    qel_trace::line("Server.cfg line ignored: %s:%d: %s::%d\n", path, number, why, me);
  };
  char line[2048];
  int number = 0;
  while (std::fgets(line, sizeof(line), f)) {
    ++number;
    const char* first = line + std::strspn(line, " \t");
    // Comments and blank lines.
    if (*first == '#' || first[std::strspn(first, "\r\n")] == '\0') continue;
    // The delivery keys are matched at the start of the line, before the
    // original keys are looked for anywhere in it: a spool path may well
    // contain "config_ip".
    if (const char* value = delivery_value(first, qel_wire::kKeySpoolDir)) {
      std::string dir(value, std::strcspn(value, "\r\n"));
      if (dir.empty())
        unusable(number, "no value after \"=\"");
      else if (delivery)
        delivery->spool_dir = dir;
      continue;
    }
    if (const char* value = delivery_value(first, qel_wire::kKeyCollectorWait)) {
      std::string digits;
      for (const char* c = value; *c && *c != '\r' && *c != '\n'; ++c)
        if (*c != ' ') digits += *c;
      char* end = nullptr;
      const long v = std::strtol(digits.c_str(), &end, 10);
      if (digits.empty() || *end != '\0' || v < 0 ||
          v > static_cast<long>(qel_wire::kMaxCollectorWaitMs))
        unusable(number, "not a number of milliseconds from 0 to 60000");
      else if (delivery)
        delivery->collector_wait_ms = v;
      continue;
    }
    const char* key;
    char* target;
    std::size_t capacity;
    if (std::strstr(line, qel_wire::kKeyAddress)) {
      key = qel_wire::kKeyAddress, target = ip, capacity = qel_wire::kAddressBufferSize;
    } else if (std::strstr(line, qel_wire::kKeyMode)) {
      key = qel_wire::kKeyMode, target = state, capacity = qel_wire::kModeBufferSize;
    } else if (std::strstr(line, qel_wire::kKeyNoMcdc)) {
      key = qel_wire::kKeyNoMcdc, target = noMcdc, capacity = qel_wire::kNoMcdcBufferSize;
    } else {
      unusable(number, std::strchr(line, '=') ? "unknown key" : "no \"=\" in the line");
      continue;
    }
    std::size_t len = std::strlen(line);
    std::size_t from = std::strlen(key);
    if (from > len) continue;
    const char* eq = std::strchr(line + from, '=');
    if (!eq) {
      unusable(number, "no \"=\" in the line");
      continue;
    }
    // A line that ends right after the sign (its line break aside) has no value.
    if (eq[1 + std::strspn(eq + 1, "\r\n")] == '\0') {
      unusable(number, "no value after \"=\"");
      continue;
    }
    std::string value;
    for (const char* c = eq + 1; *c; ++c)
      if (*c != ' ' && *c != '\r' && *c != '\n') value += *c;
    if (target == ip && value.size() > qel_wire::kMaxAddressLength) {
      unusable(number,
               "address longer than 15 characters (an inline comment?): bind mode, rest of the "
               "file not read");
      std::memset(state, 0, qel_wire::kModeBufferSize);
      state[0] = '0';
      break;
    }
    if (value.size() >= capacity) unusable(number, "value longer than one character: first kept");
    // The one-character buffers keep the first character of a longer value.
    std::size_t n = value.size() < capacity - 1 ? value.size() : capacity - 1;
    std::memset(target, 0, capacity);
    std::memcpy(target, value.data(), n);
  }
  std::fclose(f);
}

void shutdown_instance() {
  // A process that counted in the program's counters without an instance
  // of its own (a forked child that called no probe, a program that counted
  // on after QelExit) starts one now, so that this shutdown sends the counts.
  qel_harvest::start_instance_for_counts();
  thread_exit* inst = thread_exit::pInst.load(std::memory_order_acquire);
  if (!inst) return;
  int32_t me = qel_port::current_pid();
  qel_trace::line("~~~~thread_exit0()::%d\n", me);
  if (pid.load(std::memory_order_relaxed) != me) {
    // Inherited from the parent across fork(): its threads do not exist here
    // and its context belongs to the parent. Leave it untouched.
    qel_trace::line("~~~~thread_exit_end()::%d\n", me);
    return;
  }
  // First: no crash flush may run while the senders are stopped and freed.
  qel_crash::disarm();
  qel_net::begin_shutdown();

  // What the program's counters counted so far joins the maps; then
  // enqueueing stops, so the insert thread can drain the queues and end;
  // only then do the senders send what the maps hold and end.
  qel_harvest::harvest(inst, UINT32_MAX);
  for_each_thread_sender(inst, [](SenderBase* s) { s->request_stop_enqueue(); });
  inst->wake_insert_thread();
  join_thread(inst, 0);
  for_each_thread_sender(inst, [](SenderBase* s) { s->request_stop_send(); });
  // The insert thread is joined: `started` is final.
  finish_unstarted_senders(inst);
  for (int i = 1; i < kThreadCount; ++i) join_thread(inst, i);
  // Every send is done: the end tells what was delivered, what went to the
  // spool is written, and what could not be delivered at all is named.
  qel_announce::announce_end(kEndLockWaitMs, false);
  qel_spool::flush();
  qel_delivery::report();

  delete inst->sendDD;
  inst->sendDD = nullptr;
  delete inst->sendCond;
  inst->sendCond = nullptr;
  delete inst->sendMCDC;
  inst->sendMCDC = nullptr;
  delete inst->sendParam;
  inst->sendParam = nullptr;
  delete inst->sendTime;
  inst->sendTime = nullptr;
  delete inst->sendUniTest;
  inst->sendUniTest = nullptr;
  if (inst->sendProperty) {
    QelSendProperty::RelaseSendPropertyInstance();
    inst->sendProperty = nullptr;
  }
  if (inst->sendLast) {
    QelSendLast::releaseInstance();
    inst->sendLast = nullptr;
  }
  qel_net::end_messaging(inst->context);
  qel_trace::line("~~~~thread_exit_end()::%d\n", me);
  thread_exit::pInst.store(nullptr, std::memory_order_release);
  delete inst;
}

}  // namespace qel_runtime

void readIP(char* ip, char* state, char* noMcdc) {
  const std::string path = config_path();
  qel_trace::line("Current EXEPAth:%s\n", path.c_str());
  qel_runtime::read_config(path.c_str(), ip, state, noMcdc);
}

int QelExit(void) {
  int32_t me = qel_port::current_pid();
  qel_trace::line("~~~~QelExit0()::%d\n", me);
  qel_runtime::shutdown_instance();
  qel_trace::line("~~~~QelExit_end()::%d\n", me);
  return 0;
}
