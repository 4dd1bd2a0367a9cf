/* The demo's five test cases against the plain parcel.c, for gcov. */
#include <stdio.h>

#include "parcel.h"

int main(void) {
  const struct order cases[] = {
      {"Oslo", 1, 1, 0, 5, 0}, {"Lima", 1, 0, 1, 25, 0}, {"Pune", 0, 1, 0, 3, 0},
      {"Kiel", 1, 0, 0, 3, 0}, {"Nuuk", 1, 1, 0, 30, 1},
  };
  for (unsigned i = 0; i < sizeof cases / sizeof cases[0]; ++i) printf("%d\n", ship(&cases[i]));
  return 0;
}
