#pragma once
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "qelmq/SenderBase.h"  // pid
#include "qelmq/export.h"
#include "qelmq/probes.h"

class QelSendDD;
class QelSendCond;
class QelSendMCDC;
class QelSendParam;
class QelSendTime;
class QelSendLast;
class QelSendProperty;
class QelSendUniTest;

// The runtime instance of a process: context, configuration, senders and
// the runtime's threads.
//
// Design: life cycle of the threads
// ---------------------------------
// A short process must not pay for threads it never needs. The bootstrap
// starts the insert thread only, and no socket is opened. The insert thread
// drains the probes' queues from the start and, once the process has lived
// one harvest period (or a probe asks for streaming, want_sender_threads),
// opens the property and test-case sockets and starts the senders' threads
// (start_sender_threads). A process that ends before that has its shutdown
// do their work on the exiting thread: each sender that holds something runs
// its thread's body there, which opens its socket, sends and returns at
// once since its stop flags are raised; senders with nothing to send open no
// socket at all. The shutdown joins the insert thread before it reads
// `started`, so the two never disagree about which body runs where.
class QEL_EXPORT thread_exit {
 public:
  // Ensure-instance steps; returns the instance of this process.
  static thread_exit* getInst();

  // Fast path of every probe: one pointer load and one integer compare.
  static thread_exit* current();

  // acquire/release: the bootstrap stores the pointer last (release), after
  // the instance is complete; probes load it with acquire.
  static std::atomic<thread_exit*> pInst;

  QelSendDD* sendDD = nullptr;
  QelSendCond* sendCond = nullptr;
  QelSendMCDC* sendMCDC = nullptr;
  QelSendParam* sendParam = nullptr;
  QelSendTime* sendTime = nullptr;
  QelSendLast* sendLast = nullptr;
  QelSendProperty* sendProperty = nullptr;
  QelSendUniTest* sendUniTest = nullptr;
  char ip[128];
  char state[2];
  int32_t noMcdc = 0;
  // The instance's messaging (qel_net::new_messaging): its ZeroMQ context
  // is made with the first socket, not at the bootstrap.
  void* context = nullptr;
  pthread_t thread_insertdd{};
  pthread_t thread_dd{};
  pthread_t _thread_cond{};
  pthread_t _thread_mcdc{};
  pthread_t _thread_param{};
  pthread_t _thread_time{};
  pthread_t _thread_last{};
  // Which of the handles above hold a started thread (same order).
  bool started[7] = {};
  // The insert thread sleeps on it; changed (release, with a wake-up) once
  // the instance is published and once enqueueing stops, so the thread
  // neither sleeps out its poll at start nor at the shutdown.
  std::atomic<uint32_t> insertWake{0};
  void wake_insert_thread();

  // Asks the insert thread to start the senders' threads now rather than
  // after its first period. Cheap once asked: one relaxed load.
  void want_sender_threads() {
    // relaxed: only a hint; the wake-up's release orders the rest.
    if (wantSenders.load(std::memory_order_relaxed)) return;
    wantSenders.store(true, std::memory_order_relaxed);
    wake_insert_thread();
  }
  std::atomic<bool> wantSenders{false};
};

extern "C" {
QEL_EXPORT extern pthread_mutex_t mutexInst;
}
QEL_EXPORT std::string GetProcName();

QEL_EXPORT void* finsert_Data(void* runtime);

namespace qel_runtime {
// What a configuration file says besides its three original keys: how
// delivery to the collector ends.
struct DeliveryConfig {
  // "collector_wait_ms": how long, from the runtime's start, a shutdown with
  // undelivered messages waits for a collector to connect. -1: not given.
  long collector_wait_ms = -1;
  // "spool_dir": the directory of the spool (qelcollect writes the key for
  // the programs it starts). Empty: no spool.
  std::string spool_dir;
};

// Reads a configuration file at `path` into the three buffers (128, 2 and 2
// characters, zero-filled by the caller) and, when `delivery` is given, the
// delivery keys; readIP() calls it with the file beside the executable.
void read_config(const char* path, char* ip, char* state, char* noMcdc,
                 DeliveryConfig* delivery = nullptr);

// The instance shutdown shared by QelExit and the library's global object.
void shutdown_instance();
}  // namespace qel_runtime
