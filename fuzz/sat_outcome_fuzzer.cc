// The reading of SG_IO's answer under libFuzzer: each input is what the kernel
// hands back for one pass-through request (the ioctl's errno, host, driver
// and SCSI status, and the sense bytes it wrote), and ReadSatOutcome turns it
// into a result and registers. Whatever the input, the result must be one of
// the documented values, only the task files of the header may change, and
// only on success; a completion never shows BSY. The sense bytes the kernel
// did not write are poisoned, so that reading one is a finding.
//
// Input layout (shorter inputs are padded with zero bytes):
//   byte 0      the ioctl's errno (0: the ioctl succeeded)
//   bytes 1-2   host_status, little-endian
//   bytes 3-4   driver_status, little-endian
//   byte 5      the SCSI status
//   byte 6      sb_len_wr
//   bytes 7-22  the PreviousTaskFile and CurrentTaskFile sent
//   bytes 23-   the sense buffer, as far as the input reaches

#include <errno.h>
#include <sanitizer/asan_interface.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "port/linux/sat_pass_through.h"

namespace {

const size_t kSettingsSize = 23;
const size_t kSenseSize = sizeof(SatCommand{}.sense);

void Check(bool holds, const char* what) {
  if (holds) return;
  (void)fprintf(stderr, "sat_outcome_fuzzer: %s\n", what);
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t input[kSettingsSize + kSenseSize] = {};
  memcpy(input, data, size < sizeof input ? size : sizeof input);

  // ReadSatOutcome reads no header field besides the task files, so the rest
  // is a pattern that must survive.
  ATA_PASS_THROUGH_EX header;
  memset(&header, 0xA5, sizeof header);
  memcpy(header.PreviousTaskFile, input + 7, 8);
  memcpy(header.CurrentTaskFile, input + 15, 8);
  // The header alone: the data area is not ReadSatOutcome's to touch.
  unsigned char buffer[sizeof header];
  memcpy(buffer, &header, sizeof header);

  // On the heap, so that the unwritten sense bytes can be poisoned.
  SatCommand* command = static_cast<SatCommand*>(malloc(sizeof *command));
  Check(command != nullptr, "out of memory");
  memset(command, 0, sizeof *command);
  command->io.interface_id = 'S';
  command->io.cmdp = command->cdb;
  command->io.sbp = command->sense;
  command->io.mx_sb_len = kSenseSize;
  command->io.host_status = static_cast<unsigned short>(input[1] | input[2] << 8);
  command->io.driver_status = static_cast<unsigned short>(input[3] | input[4] << 8);
  command->io.status = input[5];
  command->io.sb_len_wr = input[6];
  memcpy(command->sense, input + kSettingsSize, kSenseSize);
  const size_t written = input[6] < kSenseSize ? input[6] : kSenseSize;
  ASAN_POISON_MEMORY_REGION(command->sense + written, kSenseSize - written);

  const int ioctl_errno = input[0];
  const int result = ReadSatOutcome(command, ioctl_errno, buffer);

  ASAN_UNPOISON_MEMORY_REGION(command->sense + written, kSenseSize - written);
  free(command);

  Check(result == 0 || result == EOPNOTSUPP || result == EIO ||
            result == ETIMEDOUT || (ioctl_errno != 0 && result == ioctl_errno),
        "a result that is not documented");
  ATA_PASS_THROUGH_EX after;
  memcpy(&after, buffer, sizeof after);
  if (result != 0) {
    Check(memcmp(&after, &header, sizeof header) == 0,
          "the header changed although the command failed");
    return 0;
  }
  Check((after.CurrentTaskFile[kTaskFileCommandOrStatus] & 0x80) == 0,
        "a completion whose status shows BSY");
  // Only the task files may change, and the reserved eighth byte of each
  // never does.
  Check(after.CurrentTaskFile[7] == header.CurrentTaskFile[7] &&
            after.PreviousTaskFile[7] == header.PreviousTaskFile[7],
        "a reserved task file byte changed");
  memcpy(after.PreviousTaskFile, header.PreviousTaskFile, 8);
  memcpy(after.CurrentTaskFile, header.CurrentTaskFile, 8);
  Check(memcmp(&after, &header, sizeof header) == 0,
        "a header byte besides the task files changed");
  return 0;
}
