// The C++ leave operations followed at once by _exit(): 2,000,000 node calls
// over 5 nodes of unit 7, then the node sender's leave operation and the
// crash report, then _exit(3). Everything must have left the process.
#include <unistd.h>

#include <cstdio>

#include "QELMQLib.h"

int main() {
  for (long i = 0; i < 2000000; ++i) QelNode(7, static_cast<int>(i % 5), 0);
  thread_exit* inst = thread_exit::getInst();
  if (inst && inst->sendDD) inst->sendDD->sendLeaveMsg();
  QelSendLast::getInstance()->sendLeaveMsg("leave_cxx_probe", "signal", "SIGSEGV");
  std::printf("left\n");
  std::fflush(stdout);
  _exit(3);
}
