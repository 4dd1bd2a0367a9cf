/* Loads and unloads the runtime twice with dlopen/dlclose, calling probes in
 * between: unloading must run the shutdown and leave nothing running. */
#include <dlfcn.h>
#include <stdio.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
#if defined(__SANITIZE_THREAD__)
  /* ThreadSanitizer's suppressions name libzmq, and it refuses to see that
   * library unloaded; keep it loaded. The runtime itself still unloads. */
  dlopen("libzmq.so.5", RTLD_NOW | RTLD_NODELETE);
#endif
  for (int round = 0; round < 2; ++round) {
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
      printf("dlopen failed: %s\n", dlerror());
      return 1;
    }
    int (*node)(int, int, int) = (int (*)(int, int, int))dlsym(lib, "QelNode");
    if (!node) return 1;
    for (int i = 0; i < 1000; ++i) node(1, i % 10, 0);
    printf("round %d probed\n", round);
    fflush(stdout);
    if (dlclose(lib) != 0) {
      printf("dlclose failed: %s\n", dlerror());
      return 1;
    }
    printf("round %d unloaded\n", round);
    fflush(stdout);
  }
  return 0;
}
