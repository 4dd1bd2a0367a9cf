/* Conditions written with macros: system-header macros that the compiler
 * expands on lines of their own (NULL, EOF, isdigit), a user macro with
 * arguments, and a decision spanning lines. The map must place and quote
 * each as written here. */
#include <ctype.h>
#include <stddef.h>
#include <stdio.h>

#define BOTH(a, b) ((a) && (b))
#define IS_POS(v) ((v) > 0)

static int null_checks(const char* p, const char* q) {
  int n = 0;
  if (p == NULL) { //@dec 1 2
    n += 1;
  }
  if (p != NULL && q != NULL) //@dec 1 2 //@conds 2 1 1 1
    n += 2;
  return n;
}

static int chars(int c, int d) {
  if (isdigit(c) || c == EOF) //@dec 2 3 //@conds 1 4 1 3
    return 1;
  if (BOTH(c, d) || //@dec 1 2
      d > 100)
    return 2;
  return isdigit(d) ? 3 : 4; //@dec 1 1
}

static int two_macros(int a, int b) {
  return IS_POS(a) || BOTH(a, b); //@dec 1 1
}

int main(void) {
  printf("null %d %d %d\n", null_checks(NULL, NULL), null_checks("p", NULL),
         null_checks("p", "q"));
  printf("chars %d %d %d %d %d\n", chars('5', 0), chars(EOF, 0), chars('a', 200), chars(0, 5),
         chars(0, '7'));
  printf("two %d %d\n", two_macros(1, 0), two_macros(0, 0));
  return 0;
}
