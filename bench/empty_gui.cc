#include <windows.h>

// The emptiest graphical-subsystem program: the floor that qorvane.exe's size
// and run time are measured against.
int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous_instance*/,
                   LPSTR /*command_line*/, int /*show_command*/) {
  return 0;
}
