/* Floods the value channel: N records through QelPrint with the flush code,
 * then says "last-probe" on standard error, waits HOLD milliseconds (second
 * argument, default 0) and returns. Written in C. */
#include <QELMQLib.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

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
  if (argc > 2) usleep((useconds_t)atol(argv[2]) * 1000u);
  return 0;
}
