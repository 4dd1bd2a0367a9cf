/* Loads QELMQLib.dll at run time, calls a probe, frees the library and ends
 * with exit(3): the runtime must stay loaded until the process exits (its
 * shutdown runs then, not at FreeLibrary) and must not change the status.
 * With the argument "ExitProcess" it ends with ExitProcess(5) instead, which
 * ends the runtime's threads before any exit code of the runtime could run:
 * the process must still end, with its status. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

typedef int (*node_probe)(int, int, int);

int main(int argc, char** argv) {
  HMODULE lib = LoadLibraryA("QELMQLib.dll");
  if (lib == NULL) {
    printf("LoadLibrary failed: %lu\n", (unsigned long)GetLastError());
    return 1;
  }
  FARPROC proc = GetProcAddress(lib, "QelNode");
  if (proc == NULL) {
    printf("QelNode not exported\n");
    return 1;
  }
  node_probe probe;
  memcpy(&probe, &proc, sizeof probe);
  probe(1, 1, 0);
  if (argc > 1 && strcmp(argv[1], "ExitProcess") == 0) {
    printf("ExitProcess\n");
    fflush(stdout);
    ExitProcess(5);
  }
  printf("FreeLibrary %s\n", FreeLibrary(lib) ? "ok" : "failed");
  printf("still loaded: %s\n", GetModuleHandleA("QELMQLib.dll") != NULL ? "yes" : "no");
  fflush(stdout);
  exit(3);
}
