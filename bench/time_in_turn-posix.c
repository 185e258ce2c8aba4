/* Runs commands in turn and times every run, for the emulated machine.

     time_in_turn ROUNDS COMMAND [ARGUMENT...] [-- COMMAND [ARGUMENT...]]...

   Each round runs every command once; the round's first command moves one
   place on every round so that no command always follows the same one. An
   untimed round comes first. Each run's output goes to /dev/null. Prints one
   line per timed run: "run ROUND COMMAND_INDEX NANOSECONDS EXIT_STATUS". */
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>

#define MAX_COMMANDS 8

extern char** environ;

static long long NowNanoseconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

/* Runs one command to its end; returns its exit status (or 128 + signal, or
   -1 when it could not be started) and its duration through *nanoseconds. */
static int RunOnce(char** command, long long* nanoseconds) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const long long started = NowNanoseconds();
  pid_t child;
  int status = 0;
  const int error = posix_spawn(&child, command[0], &actions, NULL, command, environ);
  if (error == 0) waitpid(child, &status, 0);
  *nanoseconds = NowNanoseconds() - started;
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) return -1;
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

int main(int argc, char** argv) {
  char** commands[MAX_COMMANDS];
  int command_count = 0;
  const int rounds = argc > 2 ? atoi(argv[1]) : 0;
  if (rounds <= 0) {
    fprintf(stderr, "usage: time_in_turn ROUNDS COMMAND [ARGUMENT...] [-- COMMAND...]...\n");
    return 2;
  }
  /* Each "--" ends a command: it becomes the NULL that closes its vector. */
  commands[command_count++] = &argv[2];
  for (int i = 2; i < argc; ++i) {
    if (strcmp(argv[i], "--") != 0) continue;
    argv[i] = NULL;
    if (i + 1 >= argc || command_count == MAX_COMMANDS) {
      fprintf(stderr, "time_in_turn: empty command or more than %d\n", MAX_COMMANDS);
      return 2;
    }
    commands[command_count++] = &argv[i + 1];
  }
  for (int round = 0; round <= rounds; ++round) {
    for (int place = 0; place < command_count; ++place) {
      const int index = (round + place) % command_count;
      long long nanoseconds;
      const int status = RunOnce(commands[index], &nanoseconds);
      if (round > 0) printf("run %d %d %lld %d\n", round, index, nanoseconds, status);
    }
  }
  return fflush(stdout) == 0 ? 0 : 1;
}
