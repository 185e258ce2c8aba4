#include <string.h>

#include "identify/drive_identity.h"

namespace {

const char kDrivePath[] = "\\\\.\\PhysicalDrive0";

// The data area behind the request header. IDENTIFY needs 512 bytes of it; the
// request is sent with the full 128 KiB that the pass-through buffer has always
// had.
const DWORD kDataAreaSize = 128 * 1024;
const DWORD kPassThroughBufferSize = sizeof(ATA_PASS_THROUGH_EX) + kDataAreaSize;

const ULONG kTimeOutSeconds = 8;
const UCHAR kDeviceRegister = 0xE0;  // LBA mode, device 0
const UCHAR kIdentifyDeviceCommand = 0xEC;

// The 32-bit program's request has a fixed layout; the 64-bit test build's
// header is 48 bytes, which is why everything below uses sizeof.
static_assert(sizeof(void*) != 4 || sizeof(ATA_PASS_THROUGH_EX) == 40,
              "the 32-bit ATA_PASS_THROUGH_EX header is 40 bytes");
static_assert(sizeof(void*) != 4 || kPassThroughBufferSize == 131112,
              "the 32-bit pass-through buffer is 131112 bytes");
static_assert(sizeof(void*) != 8 || sizeof(ATA_PASS_THROUGH_EX) == 48,
              "the 64-bit ATA_PASS_THROUGH_EX header is 48 bytes");

void BuildIdentifyRequest(ATA_PASS_THROUGH_EX* header) {
  // memset rather than = {}, so that the padding of the 64-bit layout is zero
  // too: every byte of the header reaches the driver.
  memset(header, 0, sizeof *header);
  header->Length = sizeof *header;
  header->AtaFlags = ATA_FLAGS_DRDY_REQUIRED | ATA_FLAGS_DATA_IN;
  header->DataTransferLength = kIdentifyDataSize;
  header->TimeOutValue = kTimeOutSeconds;
  header->DataBufferOffset = sizeof *header;
  header->CurrentTaskFile[5] = kDeviceRegister;
  header->CurrentTaskFile[6] = kIdentifyDeviceCommand;
}

// True when a request the platform completed really brought IDENTIFY data:
// the driver handed back the whole block, and it is not the untouched, all-zero
// area, which no drive sends as its identity. A drive that aborts IDENTIFY
// sends no data, so one of the two shows it. The returned registers are not
// read: after a successful PIO data-in command a SATA drive sends no register
// FIS, and an AHCI driver that copies the registers from the last one it
// received hands back an earlier command's status, ERR and all.
bool BroughtIdentifyData(const unsigned char* buffer, DWORD bytes_returned) {
  if (bytes_returned < sizeof(ATA_PASS_THROUGH_EX) + kIdentifyDataSize) return false;
  const unsigned char* identify_data = buffer + sizeof(ATA_PASS_THROUGH_EX);
  for (int i = 0; i < kIdentifyDataSize; ++i) {
    if (identify_data[i] != 0) return true;
  }
  return false;
}

}  // namespace

int OpenPhysicalDrive(HANDLE* drive) {
  // Shared: disk monitors and backup agents keep the system disk open, and an
  // exclusive open would fail beside them although IDENTIFY only reads.
  *drive = CreateFileA(kDrivePath, GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                       0, NULL);
  return *drive == INVALID_HANDLE_VALUE ? kDriveNotOpened : 0;
}

int QueryDriveIdentity(HANDLE drive, DriveIdentity* identity) {
  ATA_PASS_THROUGH_EX header;
  BuildIdentifyRequest(&header);

  // Committed memory arrives zero-filled, so the data area is all zero when
  // the request goes out. The block is used once and lives until the process
  // ends. When it cannot be had, VirtualAlloc's last-error number is left for
  // the caller's message.
  unsigned char* buffer = static_cast<unsigned char*>(
      VirtualAlloc(NULL, kPassThroughBufferSize, MEM_COMMIT, PAGE_READWRITE));
  if (buffer == NULL) return kIdentifyFailed;
  memcpy(buffer, &header, sizeof header);

  DWORD bytes_returned = 0;
  if (!DeviceIoControl(drive, IOCTL_ATA_PASS_THROUGH, buffer,
                       kPassThroughBufferSize, buffer, kPassThroughBufferSize,
                       &bytes_returned, NULL)) {
    return kIdentifyFailed;
  }
  if (!BroughtIdentifyData(buffer, bytes_returned)) {
    SetLastError(ERROR_IO_DEVICE);
    return kIdentifyFailed;
  }

  const unsigned char* identify_data = buffer + sizeof header;
  DecodeAtaString(identify_data, kModelOffset, kModelLength, identity->model);
  DecodeAtaString(identify_data, kFirmwareOffset, kFirmwareLength,
                  identity->firmware);
  return 0;
}
