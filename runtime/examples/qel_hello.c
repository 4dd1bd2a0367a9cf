/* Loads the runtime, hits one node and one decision, and exits. */
#include <stdio.h>

#include "QELMQLib.h"

int main(void) {
  int cs[2];
  QelNode(1, 1, 0);
  QelStringInit(cs);
  QelStringAddCond(cs, 0, 1);
  if (QelExp(1, 1, 1, cs, 1, 1)) QelNode(1, 2, 0);
  printf("hello from an instrumented program\n");
  return 0;
}
