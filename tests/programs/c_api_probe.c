/* A C program (no C++) that uses the test-case events and method timing
 * through the C API. Prints one line per event: "<call> <result>". */
#include <stdio.h>

#include "QELMQLib.h"

int main(void) {
  QelNode(1, 1, 0); /* starts the runtime */
  printf("create %d\n", QelTestcaseCreate("tc_c"));
  printf("start %d\n", QelTestcaseStart(1));
  QelMethodTime(3, 4, 567);
  printf("stop %d\n", QelTestcaseStop(1));
  printf("create %d\n", QelTestcaseCreate("tc_c_fails"));
  printf("start %d\n", QelTestcaseStart(2));
  printf("stop %d\n", QelTestcaseStopVerdict(2, QEL_VERDICT_FAILED));
  fflush(stdout);
  return 0;
}
