#include <stdlib.h>

#include "app/run_identity_report.h"
#include "platform/platform.h"

// A graphical-subsystem program that opens no window: nothing appears on
// screen, and the result of the run is the process exit status.
int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous_instance*/,
                   LPSTR /*command_line*/, int /*show_command*/) {
  return RunIdentityReport(__argc, __argv);
}
