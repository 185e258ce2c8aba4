// The kernel32 calls the program makes, carried out with Linux's own services
// and keeping Windows' meaning: physical drive N is the Nth SCSI disk, the ATA
// pass-through control travels as a SCSI ATA PASS-THROUGH command, and the
// last-error number is errno as the failing call left it.

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/platform.h"
#include "port/linux/crlf_text_file.h"
#include "port/linux/sat_pass_through.h"

namespace {

const char kPhysicalDrivePrefix[] = "\\\\.\\PhysicalDrive";

// "\\.\PhysicalDrive0" is /dev/sda, 1 is /dev/sdb, up to 25. Returns false for
// any other name.
bool TranslateDevicePath(const char* windows_name, char* linux_path,
                         size_t linux_path_size) {
  const size_t prefix_length = sizeof kPhysicalDrivePrefix - 1;
  if (strncmp(windows_name, kPhysicalDrivePrefix, prefix_length) != 0) {
    return false;
  }
  const char* digits = windows_name + prefix_length;
  int number = 0;
  int digit_count = 0;
  for (; digits[digit_count] >= '0' && digits[digit_count] <= '9';
       ++digit_count) {
    number = number * 10 + (digits[digit_count] - '0');
    if (number > 25) return false;
  }
  if (digit_count == 0 || digits[digit_count] != '\0') return false;
  if (linux_path_size < sizeof "/dev/sdX") return false;
  memcpy(linux_path, "/dev/sda", sizeof "/dev/sda");
  linux_path[7] = static_cast<char>('a' + number);
  return true;
}

int HandleToFd(HANDLE handle) {
  return static_cast<int>(reinterpret_cast<intptr_t>(handle));
}

}  // namespace

// Linux has no share modes: share mode 0 cannot keep others off the disk, and
// O_EXCL would refuse every disk that is mounted, so it is not asked for.
HANDLE WINAPI CreateFileA(LPCSTR file_name, DWORD desired_access,
                          DWORD /*share_mode*/,
                          LPSECURITY_ATTRIBUTES /*security_attributes*/,
                          DWORD creation_disposition,
                          DWORD /*flags_and_attributes*/,
                          HANDLE /*template_file*/) {
  char path[16];
  if (!TranslateDevicePath(file_name, path, sizeof path)) {
    errno = ENOENT;
    return INVALID_HANDLE_VALUE;
  }
  if (creation_disposition != OPEN_EXISTING ||
      desired_access != (GENERIC_READ | GENERIC_WRITE)) {
    errno = EINVAL;
    return INVALID_HANDLE_VALUE;
  }
  const int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return INVALID_HANDLE_VALUE;
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd));
}

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD io_control_code,
                            LPVOID in_buffer, DWORD in_buffer_size,
                            LPVOID out_buffer, DWORD out_buffer_size,
                            LPDWORD bytes_returned, LPOVERLAPPED overlapped) {
  // Only what the program sends: the pass-through request, synchronous, with
  // one block serving as input and output.
  if (io_control_code != IOCTL_ATA_PASS_THROUGH || overlapped != NULL ||
      in_buffer == NULL || in_buffer != out_buffer ||
      in_buffer_size != out_buffer_size) {
    errno = EINVAL;
    return 0;
  }
  unsigned char* buffer = static_cast<unsigned char*>(in_buffer);
  uint32_t transferred = 0;
  const int error =
      SendAtaPassThrough(HandleToFd(device), buffer, in_buffer_size, &transferred);
  if (error != 0) {
    errno = error;
    return 0;
  }
  // As Windows' port driver: DataTransferLength now says what the drive
  // moved, and the bytes returned are the header, plus the data read in.
  ATA_PASS_THROUGH_EX header;
  memcpy(&header, buffer, sizeof header);
  header.DataTransferLength = transferred;
  memcpy(buffer, &header, sizeof header);
  if (bytes_returned != NULL) {
    *bytes_returned =
        (header.AtaFlags & ATA_FLAGS_DATA_IN) != 0
            ? static_cast<DWORD>(header.DataBufferOffset + transferred)
            : static_cast<DWORD>(sizeof header);
  }
  return 1;
}

// An anonymous private mapping arrives zero-filled, as committed memory does.
LPVOID WINAPI VirtualAlloc(LPVOID address, SIZE_T size, DWORD allocation_type,
                           DWORD protect) {
  if (address != NULL || allocation_type != MEM_COMMIT ||
      protect != PAGE_READWRITE) {
    errno = EINVAL;
    return NULL;
  }
  const int flags = MAP_PRIVATE | MAP_ANONYMOUS;
  // cppcheck-suppress invalidFunctionArg ; an anonymous mapping takes fd -1
  void* block = mmap(NULL, size, PROT_READ | PROT_WRITE, flags, -1, 0);
  if (block == MAP_FAILED) return NULL;
  return block;
}

BOOL WINAPI CloseHandle(HANDLE object) {
  return close(HandleToFd(object)) == 0 ? 1 : 0;
}

DWORD WINAPI GetLastError(void) { return static_cast<DWORD>(errno); }

void WINAPI SetLastError(DWORD error) { errno = static_cast<int>(error); }

FILE* OpenTextFileForWriting(const char* name) { return OpenCrLfTextFile(name); }
