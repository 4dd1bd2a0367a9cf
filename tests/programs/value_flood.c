/* Floods the value channel: N records through QelPrint with the flush code,
 * then says "last-probe" on standard error and returns. Written in C. */
#include <QELMQLib.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  long n = argc > 1 ? atol(argv[1]) : 1000, i;
  char buffer[256];
  for (i = 0; i < n; ++i) {
    int position = 0;
    QelPrint("flood#", buffer, &position, QEL_HEADER);
    QelPrint("i", buffer, &position, QEL_INT, (int)i);
    QelPrint("", buffer, &position, QEL_FLUSH);
  }
  fprintf(stderr, "last-probe\n");
  fflush(stderr);
  return 0;
}
