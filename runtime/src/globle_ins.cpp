// The library's global object: bootstraps at load, shuts down at unload.
#include "port.h"
#include "qelmq/QelSendProperty.h"
#include "qelmq/leak.h"
#include "qelmq/thread_exit.h"

#include <cstdio>

namespace {

class GlobleIns {
 public:
  GlobleIns() {
    thread_exit* inst = thread_exit::getInst();
    // The first leak report needs the property socket, which the insert
    // thread opens: wait for exactly that, at most 200 ms.
    QelSendProperty* prop = inst ? inst->sendProperty : nullptr;
    for (int i = 0; i < 40 && prop && !prop->socket_ready(); ++i) qel_port::sleep_ms(5);
    check_leak();
    // The unload work goes through the platform's unload list rather than a
    // destructor, so it runs before the QelExit handler registered above on
    // every platform (a DLL's destructors run later than its exit list).
    qel_port::register_unload_handler(unload);
  }

 private:
  static void unload() {
    check_leak();
    int32_t me = qel_port::current_pid();
    std::printf("~GlobleIns()_exit0::%d\n", me);
    std::fflush(stdout);
    qel_runtime::shutdown_instance();
    std::printf("~GlobleIns()_exit1::%d\n", me);
    std::fflush(stdout);
  }
};

GlobleIns globle_ins;

}  // namespace
