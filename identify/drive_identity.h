#ifndef QORVANE_IDENTIFY_DRIVE_IDENTITY_H_
#define QORVANE_IDENTIFY_DRIVE_IDENTITY_H_

// Reading the identity of physical drive 0: opening it, asking it for its ATA
// IDENTIFY DEVICE data through the ATA pass-through control, and turning the
// two text fields of that data into a DriveIdentity.

#include "identify/result_codes.h"
#include "platform/platform.h"

// The texts exactly as the drive delivered them: the space padding that ATA
// puts into these fields is kept, and a NUL the drive sent ends the text early.
struct DriveIdentity {
  char model[41];     // 40 characters, then NUL
  char firmware[9];   // 8 characters, then NUL
};

// IDENTIFY DEVICE data is 512 bytes; within it, the firmware revision is words
// 23 to 26 and the model number words 27 to 46.
enum {
  kIdentifyDataSize = 512,
  kFirmwareOffset = 46,
  kFirmwareLength = 8,
  kModelOffset = 54,
  kModelLength = 40,
};

// Opens "\\.\PhysicalDrive0" for synchronous reading and writing, shared for
// reading and writing with other openers. Stores what CreateFileA returned in
// `drive` in every case. Returns 0, or kDriveNotOpened.
int OpenPhysicalDrive(HANDLE* drive);

// Sends IDENTIFY DEVICE to `drive` and decodes the answer into `identity`.
// Returns 0, or kIdentifyFailed with `identity` untouched and the platform's
// last-error number as the failing call left it. A request the platform
// completed without bringing the IDENTIFY data (fewer bytes returned than the
// header and 512, or an all-zero block) fails too, with ERROR_IO_DEVICE as the
// last-error number. The registers the driver hands back are not examined.
int QueryDriveIdentity(HANDLE drive, DriveIdentity* identity);

// Copies the `count` characters of an ATA string field that starts at byte
// `offset` of `identify_data` into `destination`, then a NUL. ATA stores the
// first character of each 16-bit word in its high-order byte, so each pair of
// bytes is swapped. `count` is even; `destination` holds count + 1 bytes.
void DecodeAtaString(const unsigned char* identify_data, int offset, int count,
                     char* destination);

#endif  // QORVANE_IDENTIFY_DRIVE_IDENTITY_H_
