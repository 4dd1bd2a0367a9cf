#pragma once
// The value and timing senders are twins: a queue of texts filled by probes
// and a thread that sends each text as one message, in paced batches.
#include <pthread.h>

#include <atomic>
#include <string>

#include "qelmq/ArrayLockFreeQueue.h"
#include "qelmq/export.h"
#include "qelmq/net.h"

class QEL_EXPORT TextSender {
 public:
  using Queue = ArrayLockFreeQueue<std::string, 3000000>;

  virtual ~TextSender();

  void init_zmq();
  // Enqueues a copy of `text`; waits in 100 ms steps while the queue is full.
  void execute(std::string& text);
  // Leave operation: sends every queued text, closes the socket once.
  void sendLeaveMsg();
  // The sender's thread body (fsend_param, fsend_time).
  void run();

  int port() const { return port_; }

  char ip[128];
  char state[2];
  std::atomic<bool> stopEnqueue{false};
  std::atomic<bool> stopSend{false};
  Queue* queue;
  void* context = nullptr;
  void* socket = nullptr;
  pthread_mutex_t mutex;

 protected:
  explicit TextSender(int port);

 private:
  int port_;
};

// Value sender: port 15561.
class QEL_EXPORT QelSendParam : public TextSender {
 public:
  QelSendParam();
};

// Method-timing sender: port 15564.
class QEL_EXPORT QelSendTime : public TextSender {
 public:
  QelSendTime();
};

QEL_EXPORT void* fsend_param(void* sender);
QEL_EXPORT void* fsend_time(void* sender);

extern "C" QEL_EXPORT void QelPrint(const char* valueName, char* buffer, int* position,
                                    int typeCode, ...);
QEL_EXPORT void QelSendMethodTime(int a, int b, int c);
