#pragma once
#include <pthread.h>

#include "qelmq/export.h"

// Test-case events on port 15560, sent from the caller's thread.
class QEL_EXPORT QelSendUniTest {
 public:
  QelSendUniTest();
  ~QelSendUniTest();

  void init_zmq();
  bool CreateTestcase(const char* name);
  bool StartTestcase(int number);
  bool StopTestcase(int number);

  void* socket = nullptr;
  pthread_mutex_t mutex;
  char ip[128];
  char state[2];
  void* context = nullptr;
};
