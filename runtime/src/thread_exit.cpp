// The runtime instance: bootstrap, configuration and shutdown.
#include "qelmq/thread_exit.h"

#include <zmq.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "port.h"
#include "sync.h"
#include "qelmq/QelSendCond.h"
#include "qelmq/QelSendDD.h"
#include "qelmq/QelSendLast.h"
#include "qelmq/QelSendMCDC.h"
#include "qelmq/QelSendProperty.h"
#include "qelmq/QelSendUniTest.h"
#include "qelmq/TextSender.h"
#include "qelmq/leak.h"
#include "qelmq/net.h"

std::atomic<thread_exit*> thread_exit::pInst{nullptr};
std::atomic<int32_t> pid{0};
pthread_mutex_t mutexInst = PTHREAD_MUTEX_INITIALIZER;

std::string GetProcName() { return "."; }

namespace {

template <typename Sender>
void configure(Sender* s, const thread_exit* inst) {
  if (!s) return;
  std::memcpy(s->ip, inst->ip, sizeof(s->ip));
  std::memcpy(s->state, inst->state, sizeof(s->state));
  s->context = inst->context;
}

void report_thread_error(const char* what, int err) {
  std::printf("%s%d: %s\n", what, err, qel_port::error_text(err).c_str());
}

void start_thread(thread_exit* inst, int slot, pthread_t* handle, void* (*fn)(void*), void* arg,
                  const char* what) {
  int err = pthread_create(handle, nullptr, fn, arg);
  if (err != 0)
    report_thread_error(what, err);
  else
    inst->started[slot] = true;
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
}

thread_exit* bootstrap() {
  int32_t me = qel_port::current_pid();
  qel_port::register_fork_child_hook(reset_locks_in_fork_child);
  qel_port::register_unload_handler(+[]() { QelExit(); });
  std::printf("\nrenew thread_ins::v0::%s!::%d\n", GetProcName().c_str(), me);
  pid.store(me, std::memory_order_relaxed);

  thread_exit* inst = new (std::nothrow) thread_exit();
  if (!inst) return nullptr;
  inst->context = zmq_ctx_new();
  std::memset(inst->ip, 0, sizeof(inst->ip));
  std::memset(inst->state, 0, sizeof(inst->state));
  char no_mcdc[2] = {0, 0};
  readIP(inst->ip, inst->state, no_mcdc);
  inst->noMcdc = std::atoi(no_mcdc);

  inst->sendDD = new (std::nothrow) QelSendDD();
  configure(inst->sendDD, inst);
  inst->sendCond = new (std::nothrow) QelSendCond();
  configure(inst->sendCond, inst);
  inst->sendMCDC = new (std::nothrow) QelSendMCDC();
  configure(inst->sendMCDC, inst);
  inst->sendParam = new (std::nothrow) QelSendParam();
  configure(inst->sendParam, inst);
  inst->sendTime = new (std::nothrow) QelSendTime();
  configure(inst->sendTime, inst);
  inst->sendLast = QelSendLast::getInstance();
  configure(inst->sendLast, inst);
  if (inst->sendLast) inst->sendLast->stopSend.store(false, std::memory_order_relaxed);
  inst->sendProperty = QelSendProperty::GetSendPropertyInstance();
  configure(inst->sendProperty, inst);
  inst->sendUniTest = new (std::nothrow) QelSendUniTest();
  configure(inst->sendUniTest, inst);
  if (inst->sendProperty) inst->sendProperty->setLittleEndian();
  qel_net::runtime_stopping.store(false, std::memory_order_release);

  std::printf("pthread_create_begin!::%d\n", me);
  std::fflush(stdout);
  start_thread(inst, 0, &inst->thread_insertdd, finsert_Data, inst,
               "create thread_insertdd is error\xEF\xBC\x9A");
  if (inst->sendDD)
    start_thread(inst, 1, &inst->thread_dd, fsend_dd, inst->sendDD, "create thread_dd is error:");
  if (inst->sendCond)
    start_thread(inst, 2, &inst->_thread_cond, fsend_cond, inst->sendCond,
                 "create _thread_cond is error:");
  if (inst->sendMCDC)
    start_thread(inst, 3, &inst->_thread_mcdc, fsend_mcdc, inst->sendMCDC,
                 "create _thread_mcdc is error:");
  if (inst->sendParam)
    start_thread(inst, 4, &inst->_thread_param, fsend_param, inst->sendParam,
                 "create _thread_param is error:");
  if (inst->sendTime)
    start_thread(inst, 5, &inst->_thread_time, fsend_time, inst->sendTime,
                 "create _thread_time is error:");
  if (inst->sendLast)
    start_thread(inst, 6, &inst->_thread_last, fsend_lastData, inst->sendLast,
                 "create _thread_last is error:");
  std::printf("-pthread_create_over!::%d\n", me);
  std::fflush(stdout);
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
  }
  return p;
}

namespace qel_runtime {

void read_config(const char* path, char* ip, char* state, char* noMcdc) {
  FILE* f = std::fopen(path, "r");
  if (!f) return;
  char line[2048];
  while (std::fgets(line, sizeof(line), f)) {
    const char* key;
    char* target;
    std::size_t capacity;
    if (std::strstr(line, "config_ip")) {
      key = "config_ip", target = ip, capacity = 128;
    } else if (std::strstr(line, "config_state")) {
      key = "config_state", target = state, capacity = 2;
    } else if (std::strstr(line, "no_mcdc")) {
      key = "no_mcdc", target = noMcdc, capacity = 2;
    } else {
      continue;
    }
    std::size_t len = std::strlen(line);
    std::size_t from = std::strlen(key);
    if (from > len) continue;
    const char* eq = std::strchr(line + from, '=');
    // A line that ends right after the sign (its line break aside) has no value.
    if (!eq || eq[1 + std::strspn(eq + 1, "\r\n")] == '\0') continue;
    std::string value;
    for (const char* c = eq + 1; *c; ++c)
      if (*c != ' ' && *c != '\r' && *c != '\n') value += *c;
    if (target == ip && value.size() > 15) {
      std::memset(state, 0, 2);
      state[0] = '0';
      break;
    }
    // The one-character buffers keep the first character of a longer value.
    std::size_t n = value.size() < capacity - 1 ? value.size() : capacity - 1;
    std::memset(target, 0, capacity);
    std::memcpy(target, value.data(), n);
  }
  std::fclose(f);
}

void shutdown_instance() {
  thread_exit* inst = thread_exit::pInst.load(std::memory_order_acquire);
  if (!inst) return;
  int32_t me = qel_port::current_pid();
  std::printf("~~~~thread_exit0()::%d\n", me);
  std::fflush(stdout);
  if (pid.load(std::memory_order_relaxed) != me) {
    // Inherited from the parent across fork(): its threads do not exist here
    // and its context belongs to the parent. Leave it untouched.
    std::printf("~~~~thread_exit_end()::%d\n", me);
    std::fflush(stdout);
    return;
  }
  qel_net::runtime_stopping.store(true, std::memory_order_release);

  // release: pairs with the acquire loads of the flags in the probes and
  // the runtime's threads.
  if (inst->sendDD) inst->sendDD->stopEnqueue.store(true, std::memory_order_release);
  if (inst->sendCond) inst->sendCond->stopEnqueue.store(true, std::memory_order_release);
  if (inst->sendMCDC) inst->sendMCDC->stopEnqueue.store(true, std::memory_order_release);
  if (inst->sendParam) inst->sendParam->stopEnqueue.store(true, std::memory_order_release);
  if (inst->sendTime) inst->sendTime->stopEnqueue.store(true, std::memory_order_release);
  if (inst->started[0]) pthread_join(inst->thread_insertdd, nullptr);

  if (inst->sendDD) inst->sendDD->request_stop_send();
  if (inst->sendCond) inst->sendCond->request_stop_send();
  if (inst->sendMCDC) inst->sendMCDC->request_stop_send();
  if (inst->sendParam) inst->sendParam->stopSend.store(true, std::memory_order_release);
  if (inst->sendTime) inst->sendTime->stopSend.store(true, std::memory_order_release);
  if (inst->sendLast) inst->sendLast->request_stop();

  pthread_t* handles[7] = {&inst->thread_insertdd, &inst->thread_dd,    &inst->_thread_cond,
                           &inst->_thread_mcdc,    &inst->_thread_param, &inst->_thread_time,
                           &inst->_thread_last};
  for (int i = 1; i < 7; ++i)
    if (inst->started[i]) pthread_join(*handles[i], nullptr);

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
  if (inst->context) {
    zmq_ctx_term(inst->context);
    inst->context = nullptr;
  }
  std::printf("~~~~thread_exit_end()::%d\n", me);
  std::fflush(stdout);
  thread_exit::pInst.store(nullptr, std::memory_order_release);
  delete inst;
}

}  // namespace qel_runtime

void readIP(char* ip, char* state, char* noMcdc) {
  std::string path = qel_port::executable_dir(260) + "Server.cfg";
  std::printf("Current EXEPAth:%s\n", path.c_str());
  qel_runtime::read_config(path.c_str(), ip, state, noMcdc);
}

int QelExit(void) {
  int32_t me = qel_port::current_pid();
  std::printf("~~~~QelExit0()::%d\n", me);
  std::fflush(stdout);
  qel_runtime::shutdown_instance();
  std::printf("~~~~QelExit_end()::%d\n", me);
  std::fflush(stdout);
  return 0;
}
