/* Runs the command line that follows its own program name, waits for it and
   prints its full 32-bit exit code as 8 hex digits. Wine hands Linux only the
   low byte of an exit code, so the tests read it from here.

     run_with_exit_code [--hold FILE] PROGRAM [ARGUMENTS]

   With --hold it first opens FILE (an existing file, one word) without
   sharing and keeps it open until PROGRAM has ended, as another program that
   holds the file would. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

/* The rest of the command line after its first (possibly quoted) word. */
static wchar_t *SkipWord(wchar_t *command_line) {
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
  static const wchar_t kHold[] = L"--hold ";
  STARTUPINFOW startup = {0};
  PROCESS_INFORMATION process;
  DWORD exit_code = 0;
  HANDLE held = INVALID_HANDLE_VALUE;
  wchar_t *command = SkipWord(GetCommandLineW());

  if (wcsncmp(command, kHold, wcslen(kHold)) == 0) {
    wchar_t *name = command + wcslen(kHold);
    command = SkipWord(name);
    name[wcscspn(name, L" \t")] = L'\0';
    held = CreateFileW(name, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (held == INVALID_HANDLE_VALUE) {
      fprintf(stderr, "cannot hold %ls: %lu\n", name, GetLastError());
      return 1;
    }
  }
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
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  printf("%08lX\n", exit_code);
  return 0;
}
