/* The same program as qel_hello without the runtime: the baseline for load
 * time and memory. */
#include <stdio.h>
int main(void) {
  printf("hello from an instrumented program\n");
  return 0;
}
