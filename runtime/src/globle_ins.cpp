// The library's global object: bootstraps at load, shuts down at unload.
#include "net.h"
#include "port.h"
#include "qelmq/QelSendLast.h"
#include "qelmq/QelSendProperty.h"
#include "qelmq/leak.h"
#include "qelmq/thread_exit.h"

#include <cstdio>
#include "trace.h"

namespace {

class GlobleIns {
 public:
  // The first leak check runs on the crash sender's thread as soon as the
  // property socket is open (fsend_lastData), not here: the program's start
  // waits for nothing.
  GlobleIns() {
    // release: pairs with the exchange of the crash sender's thread.
    qel_runtime::leak_check_at_start.store(true, std::memory_order_release);
    thread_exit::getInst();
    // The unload work goes through the platform's unload list rather than a
    // destructor, so it runs before the QelExit handler registered above on
    // every platform (a DLL's destructors run later than its exit list).
    qel_port::register_unload_handler(unload);
  }

 private:
  static void unload() {
    // The unload's leak report is part of the shutdown: it must not wait
    // for a collector that is not connected any more than the rest does.
    qel_net::begin_shutdown();
    check_leak();
    int32_t me = qel_port::current_pid();
    qel_trace::line("~GlobleIns()_exit0::%d\n", me);
    qel_runtime::shutdown_instance();
    qel_trace::line("~GlobleIns()_exit1::%d\n", me);
  }
};

GlobleIns globle_ins;

}  // namespace
