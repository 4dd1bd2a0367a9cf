/* A compress/decompress loop over zlib: ROUNDS times, 4 MiB of text-like
   data compressed at level 6 and decompressed again, checked byte for byte.
   Prints the bytes compressed in the last round; status 1 on a mismatch. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zlib.h"

int main(int argc, char** argv) {
  const unsigned long size = 4ul << 20;
  const int rounds = argc > 1 ? atoi(argv[1]) : 8;
  unsigned char* in = malloc(size);
  unsigned long bound = compressBound(size), packed = 0;
  unsigned char* z = malloc(bound);
  unsigned char* out = malloc(size);
  unsigned long seed = 12345, i;
  int r;
  if (!in || !z || !out) return 2;
  /* Words from a small vocabulary: compressible, not trivially so. */
  for (i = 0; i < size; ++i) {
    seed = seed * 1103515245ul + 12345ul;
    in[i] = (unsigned char)("etaoin shrdlu\n"[(seed >> 16) % 14]);
  }
  for (r = 0; r < rounds; ++r) {
    unsigned long n = bound, m = size;
    if (compress2(z, &n, in, size, 6) != Z_OK) return 1;
    if (uncompress(out, &m, z, n) != Z_OK || m != size || memcmp(in, out, size) != 0) return 1;
    packed = n;
  }
  printf("%lu\n", packed);
  free(in);
  free(z);
  free(out);
  return 0;
}
