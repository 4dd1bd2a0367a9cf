/* The probes at the limits of the C types, as instrumented code built by
 * MinGW-w64 passes them: what the runtime reads through each Windows calling
 * convention (32-bit: every argument on the stack, a long double in 12
 * bytes; 64-bit: 8-byte slots, a long double by reference), and a leaked
 * block and a foreign pointer at the pointer width. Prints the sizes of the
 * C types first; the values and the leak reach the collector. */
#include <limits.h>
#include <stdio.h>

#include "QELMQLib.h"

int main(void) {
  char buffer[2048];
  int position = 0;
  void* kept;
  printf("int %u, long %u, long long %u, pointer %u, long double %u\n", (unsigned)sizeof(int),
         (unsigned)sizeof(long), (unsigned)sizeof(long long), (unsigned)sizeof(void*),
         (unsigned)sizeof(long double));
  fflush(stdout);

  QelPrint("widths", buffer, &position, QEL_HEADER);
  QelPrint("c", buffer, &position, QEL_CHAR, 'W');
  QelPrint("s", buffer, &position, QEL_SHORT, SHRT_MIN);
  QelPrint("us", buffer, &position, QEL_USHORT, USHRT_MAX);
  QelPrint("i", buffer, &position, QEL_INT, INT_MIN);
  QelPrint("l", buffer, &position, QEL_LONG, LONG_MIN);
  QelPrint("ul", buffer, &position, QEL_ULONG, ULONG_MAX);
  QelPrint("ll", buffer, &position, QEL_LONGLONG, LLONG_MIN);
  QelPrint("ull", buffer, &position, QEL_ULONGLONG, ULLONG_MAX);
  QelPrint("d", buffer, &position, QEL_DOUBLE, -0.5);
  /* 2^63 + 1 needs the x87 format's 64-bit mantissa: read as a double it
   * would print ...808. */
  QelPrint("ld", buffer, &position, QEL_LONGDOUBLE, 9223372036854775809.0L);
  QelPrint("", buffer, &position, QEL_FLUSH);

  /* Leak tracking keys blocks by their address: a block kept to the end. */
  kept = QelNew(24, "probe_widths.c", "main", __LINE__);
  /* Not a block of QelNew: a trace that names the caller, nothing freed. */
  QelDelete(&position);
  check_leaks();
  return kept != NULL ? 0 : 1;
}
