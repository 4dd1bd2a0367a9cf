/* Starts the command line that follows its own name and prints the exit
 * code Windows gives the process, in full ("exit code 0xC0000005"): Wine
 * hands Linux only its low byte. Not linked with the runtime, so it opens
 * none of the runtime's ports itself. */
#include <stdio.h>
#include <windows.h>

int main(void) {
  char* command = GetCommandLineA();
  /* Past this program's own name, quoted or not, and the blanks after it. */
  if (*command == '"') {
    ++command;
    while (*command != '\0' && *command != '"') ++command;
    if (*command == '"') ++command;
  } else {
    while (*command != '\0' && *command != ' ' && *command != '\t') ++command;
  }
  while (*command == ' ' || *command == '\t') ++command;
  STARTUPINFOA startup;
  PROCESS_INFORMATION child;
  DWORD code = 0;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  fflush(stdout);
  if (!CreateProcessA(NULL, command, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &child)) {
    printf("cannot start \"%s\": error %lu\n", command, (unsigned long)GetLastError());
    return 2;
  }
  WaitForSingleObject(child.hProcess, INFINITE);
  GetExitCodeProcess(child.hProcess, &code);
  printf("exit code 0x%08lX\n", (unsigned long)code);
  return 0;
}
