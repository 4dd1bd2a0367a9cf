/* An instrumented filter, like cat: copies standard input to standard output
 * byte for byte, and records every kind of data on the way. Per block of
 * input (4096 bytes, the last one shorter): node (9, 1), one condition and
 * its MC/DC vector (decision 1: "the block holds a line feed"), one value
 * record and one timing record; at the end node (9, 2). Written in C. */
#include <QELMQLib.h>
#include <stdio.h>
#include <string.h>

int main(void) {
  char block[4096];
  char text[256];
  size_t n;
  while ((n = fread(block, 1, sizeof(block), stdin)) > 0) {
    int cs[2], position = 0;
    int has_line = memchr(block, '\n', n) != NULL;
    QelNode(9, 1, 0);
    QelStringInit(cs);
    QelStringAddCond(cs, 0, has_line);
    QelExp(9, 1, 1, cs, 1, has_line);
    QelPrint("block#", text, &position, QEL_HEADER);
    QelPrint("size", text, &position, QEL_INT, (int)n);
    QelPrint("", text, &position, QEL_FLUSH);
    QelMethodTime(9, 1, (int)n);
    if (fwrite(block, 1, n, stdout) != n) return 1;
  }
  QelNode(9, 2, 0);
  return ferror(stdin) ? 1 : 0;
}
