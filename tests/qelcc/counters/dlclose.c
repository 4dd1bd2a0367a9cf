/* Counts of a library's units reach the collector before dlclose()
   unloads them. */
#include <dlfcn.h>
#include <stdio.h>

static int use(const char* path, int calls) {
  void* h = dlopen(path, RTLD_NOW);
  int (*g)(int);
  int i, s = 0;
  if (!h) return -1;
  *(void**)&g = dlsym(h, "g");
  for (i = 0; i < calls; ++i) s += g(i);
  dlclose(h);
  return s;
}

int main(int argc, char** argv) {
  (void)argc;
  printf("%d %d\n", use(argv[1], 30), use(argv[1], 20));
  return 0;
}
