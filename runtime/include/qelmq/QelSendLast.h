#pragma once
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "qelmq/ArrayLockFreeQueue.h"
#include "qelmq/export.h"
#include "qelmq/net.h"

// Crash and last-data sender (port 15562): the latest 50 node, condition and
// MC/DC records, sent every 30 seconds and in a crash report.
class QEL_EXPORT QelSendLast {
 public:
  using Ring = ArrayLockFreeQueue<uint64_t, 51>;

  static QelSendLast* getInstance();
  static void releaseInstance();

  QelSendLast();
  ~QelSendLast();

  void init_zmq();
  void sendLeaveMsg(std::string name, std::string type, std::string cause);

  // Asks fsend_lastData to end: it wakes from its wait, runs one last cycle
  // and returns.
  void request_stop();

  // Pushes a record into a ring, dropping the oldest when 50 are held
  // (the insert thread, the only producer of the rings).
  static void keep_latest(Ring* ring, uint64_t record);

  static std::atomic<QelSendLast*> instance;
  static pthread_mutex_t _mutexInst;

  char ip[128];
  char state[2];
  std::atomic<bool> stopSend{false};
  std::atomic<uint16_t> groupId{0};
  Ring* lastDD;
  Ring* lastCond;
  Ring* lastMCDC;
  void* context = nullptr;
  void* socket = nullptr;
  pthread_mutex_t mutex;
};

QEL_EXPORT void* fsend_lastData(void* sender);
QEL_EXPORT std::string& replace_all(std::string& str, const std::string& from,
                                    const std::string& to);
