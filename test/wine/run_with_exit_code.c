/* Runs the command line that follows its own program name, waits for it and
   prints its full 32-bit exit code as 8 hex digits. Wine hands Linux only the
   low byte of an exit code, so the tests read it from here. */
#include <windows.h>
#include <stdio.h>

/* The rest of the command line after the first (possibly quoted) word. */
static wchar_t *SkipProgramName(wchar_t *command_line) {
  wchar_t *p = command_line;
  if (*p == L'"') {
    p++;
    while (*p && *p != L'"') p++;
    if (*p) p++;
  } else {
    while (*p && *p != L' ' && *p != L'\t') p++;
  }
  while (*p == L' ' || *p == L'\t') p++;
  return p;
}

int main(void) {
  STARTUPINFOW startup = {0};
  PROCESS_INFORMATION process;
  DWORD exit_code = 0;
  wchar_t *command = SkipProgramName(GetCommandLineW());

  startup.cb = sizeof startup;
  if (!CreateProcessW(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
    fprintf(stderr, "CreateProcess failed: %lu\n", GetLastError());
    return 1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  if (!GetExitCodeProcess(process.hProcess, &exit_code)) {
    fprintf(stderr, "GetExitCodeProcess failed: %lu\n", GetLastError());
    return 1;
  }
  printf("%08lX\n", exit_code);
  return 0;
}
