// Sends one ATA command through the Linux port's own kernel32 calls, as the
// program would, and prints what comes back:
//   "completed 1 last-error 0 status 0x41 error 0x04 returned 560 data zero"
// The emulated machine's suite sends READ LOG EXT, which QEMU's disks abort,
// to see a drive's abort come back as a completed request, as on Windows, and
// whether any data came with it: the bytes returned and whether the data area
// is still all zero.
#include <stdio.h>
#include <string.h>

#include "platform/platform.h"

int main() {
  HANDLE drive = CreateFileA("\\\\.\\PhysicalDrive0", GENERIC_READ | GENERIC_WRITE, 0,
                             nullptr, OPEN_EXISTING, 0, nullptr);
  if (drive == INVALID_HANDLE_VALUE) {
    printf("open failed, last-error %lu\n", static_cast<unsigned long>(GetLastError()));
    return 1;
  }
  static unsigned char buffer[sizeof(ATA_PASS_THROUGH_EX) + 512];
  ATA_PASS_THROUGH_EX header;
  memset(&header, 0, sizeof header);
  header.Length = sizeof header;
  header.AtaFlags = ATA_FLAGS_DRDY_REQUIRED | ATA_FLAGS_DATA_IN | ATA_FLAGS_48BIT_COMMAND;
  header.DataTransferLength = 512;
  header.TimeOutValue = 8;
  header.DataBufferOffset = sizeof header;
  // READ LOG EXT of one page of the log directory (log address 0).
  const UCHAR task_file[8] = {0x00, 0x01, 0x00, 0x00, 0x00, 0x40, 0x2F, 0x00};
  memcpy(header.CurrentTaskFile, task_file, sizeof task_file);
  memcpy(buffer, &header, sizeof header);

  DWORD returned = 0;
  BOOL completed = DeviceIoControl(drive, IOCTL_ATA_PASS_THROUGH, buffer, sizeof buffer,
                                   buffer, sizeof buffer, &returned, nullptr);
  unsigned long last_error = completed ? 0 : GetLastError();
  memcpy(&header, buffer, sizeof header);
  bool data_zero = true;
  for (size_t i = sizeof header; i < sizeof buffer; ++i) {
    if (buffer[i] != 0) data_zero = false;
  }
  printf("completed %d last-error %lu status 0x%02X error 0x%02X returned %lu data %s\n",
         completed ? 1 : 0, last_error, header.CurrentTaskFile[6], header.CurrentTaskFile[0],
         static_cast<unsigned long>(returned), data_zero ? "zero" : "written");
  CloseHandle(drive);
  return 0;
}
