#include "identify/drive_identity.h"

// The program's drive step alone, built from its own code: open the drive, ask
// it once, close it. Timed beside the program and the empty program, it splits
// the program's cost over the empty one into the drive step and the rest (the
// two report files).
int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous_instance*/,
                   LPSTR /*command_line*/, int /*show_command*/) {
  HANDLE drive;
  int result = OpenPhysicalDrive(&drive);
  if (result != 0) return result;
  DriveIdentity identity;
  result = QueryDriveIdentity(drive, &identity);
  CloseHandle(drive);
  return result;
}
