/* Runs programs in turn and times every run, inside one Windows process, so
   that the start of Wine's own session and of this timer stay outside every
   figure.

     time_in_turn ROUNDS PROGRAM...

   Each round runs every program once (no arguments, in the current folder);
   the round's first program moves one place on every round so that no program
   always follows the same one. An untimed round comes first. Each run is
   timed with the performance counter from CreateProcess to the end of the
   process. Prints one line per timed run:
   "run ROUND PROGRAM_INDEX NANOSECONDS EXIT_CODE" (exit code in hex). */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

/* Returns 0 and the exit code and duration of one run, or the error number of
   a failed start. */
static DWORD RunOnce(const char *program, LARGE_INTEGER frequency,
                     DWORD *exit_code, double *nanoseconds) {
  char command_line[MAX_PATH + 3];
  STARTUPINFOA startup;
  PROCESS_INFORMATION process;
  LARGE_INTEGER started, ended;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  snprintf(command_line, sizeof command_line, "\"%s\"", program);
  QueryPerformanceCounter(&started);
  if (!CreateProcessA(program, command_line, NULL, NULL, FALSE, 0, NULL, NULL,
                      &startup, &process)) {
    return GetLastError();
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  QueryPerformanceCounter(&ended);
  GetExitCodeProcess(process.hProcess, exit_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  *nanoseconds = (double)(ended.QuadPart - started.QuadPart) * 1e9 /
                 (double)frequency.QuadPart;
  return 0;
}

int main(int argc, char **argv) {
  const int rounds = argc > 2 ? atoi(argv[1]) : 0;
  const int program_count = argc - 2;
  LARGE_INTEGER frequency;
  if (rounds <= 0) {
    fprintf(stderr, "usage: time_in_turn ROUNDS PROGRAM...\n");
    return 2;
  }
  QueryPerformanceFrequency(&frequency);
  for (int round = 0; round <= rounds; ++round) {
    for (int place = 0; place < program_count; ++place) {
      const int index = (round + place) % program_count;
      DWORD exit_code = 0;
      double nanoseconds = 0;
      const DWORD error = RunOnce(argv[2 + index], frequency, &exit_code, &nanoseconds);
      if (error != 0) {
        fprintf(stderr, "time_in_turn: cannot start %s: %lu\n", argv[2 + index], error);
        return 1;
      }
      if (round > 0) printf("run %d %d %.0f %08lX\n", round, index, nanoseconds, exit_code);
    }
  }
  return fflush(stdout) == 0 ? 0 : 1;
}
