/* Allocations under --memory: malloc, calloc, realloc and free go through
 * the runtime's tracking; one block is left allocated on purpose, so the
 * leak report names this file and line. A block from an allocation the
 * option does not see (a call through a pointer) is resized and freed by
 * instrumented calls, which must be safe. Valid C90 as well. */
#include <stdio.h>
#include <stdlib.h>

static void* (*volatile plain_alloc)(size_t) = malloc; /* not a call: left alone */

static int sum(const int* v, size_t n) {
  int s = 0;
  size_t i;
  for (i = 0; i < n; ++i) s += v[i]; /*@line 12*/
  return s;
}

int main(void) {
  int* a = (int*)malloc(4 * sizeof(int));
  int* z = (int*)calloc(4, sizeof(int));
  char* raw = (char*)plain_alloc(8);
  static char* kept;
  size_t i;
  if (!a || !z || !raw) /*@dec 0 1*/
    return 1;
  for (i = 0; i < 4; ++i) a[i] = (int)i + 1;
  a = (int*)realloc(a, 8 * sizeof(int)); /*@line 1*/
  if (!a) /*@dec 0 1*/
    return 1;
  for (i = 4; i < 8; ++i) a[i] = (int)i + 1;
  raw[0] = 'r';
  raw[1] = '\0';
  raw = (char*)realloc(raw, 4096); /* not tracked: the C library's realloc */
  if (!raw) /*@dec 0 1*/
    return 1;
  printf("sum %d zeros %d %s\n", sum(a, 8), sum(z, 4), raw);
  kept = (char*)malloc(24); /* never freed: listed in the leak report */
  free(a);
  free(z);
  free(raw);
  free(NULL);
  return kept == NULL;
}
