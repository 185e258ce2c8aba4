#include "platform/platform.h"

int __argc;
char** __argv;

// Stands in for the Windows runtime start-up: parse the command line, call
// WinMain, and end with its result as the exit status after open streams are
// flushed (returning from main does that). Linux keeps only the low byte of
// the status: -1 shows as 255.
int main(int argc, char** argv) {
  __argc = argc;
  __argv = argv;
  char empty_command_line[] = "";
  return WinMain(NULL, NULL, empty_command_line, 0);
}
