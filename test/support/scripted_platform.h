#ifndef QORVANE_TEST_SUPPORT_SCRIPTED_PLATFORM_H_
#define QORVANE_TEST_SUPPORT_SCRIPTED_PLATFORM_H_

// For tests: a drive whose answers a test scripts, standing behind the same
// platform interface as the real ones. It records every call with its
// arguments, the exact bytes the drive was sent, and how the two output files
// stood in the working directory at the moment of the call.

#include <string>
#include <vector>

#include "platform/platform.h"

struct DriveScript {
  DWORD open_error = 0;        // non-zero: CreateFileA fails with it
  DWORD allocation_error = 0;  // non-zero: VirtualAlloc fails with it
  DWORD request_error = 0;     // non-zero: DeviceIoControl fails with it
  // How a request that does not fail completes. By default like a driver
  // that writes the data and no registers back, so the status byte still
  // holds the command that was sent; the bytes returned are the header and
  // the data, or the header alone when no data is written.
  bool answer_writes_data = true;  // false: the request completes, no data
  int returned_status = -1;        // 0-255: written back as the status register
  UCHAR returned_error = 0;        // written back with it as the error register
  DWORD bytes_returned_short_by = 0;  // the count falls short by this much
  unsigned char identify_data[512] = {};
  DWORD close_error = 0;  // non-zero: CloseHandle succeeds but leaves it behind
};

// Absent, a directory, a symbolic link (not followed), or the file's bytes.
struct FileSnapshot {
  bool exists = false;
  bool is_directory = false;
  bool is_link = false;
  std::string bytes;
};

struct PlatformCall {
  std::string function;  // the platform function's name
  // OpenTextFileForWriting and CreateFileA.
  std::string name;
  DWORD desired_access = 0;
  DWORD share_mode = 0;
  bool security_attributes_given = false;
  DWORD creation_disposition = 0;
  DWORD flags_and_attributes = 0;
  bool template_given = false;
  // VirtualAlloc.
  bool address_given = false;
  SIZE_T size = 0;
  DWORD allocation_type = 0;
  DWORD protect = 0;
  // DeviceIoControl and CloseHandle.
  HANDLE handle = NULL;
  DWORD io_control_code = 0;
  const void* in_buffer = NULL;
  DWORD in_buffer_size = 0;
  const void* out_buffer = NULL;
  DWORD out_buffer_size = 0;
  bool bytes_returned_given = false;
  DWORD bytes_returned_when_sent = 0;
  bool overlapped_given = false;
  std::vector<unsigned char> sent;  // the whole input buffer, as sent
  // SetLastError.
  DWORD error = 0;
  // Every call.
  FileSnapshot error_file;
  FileSnapshot report_file;
};

// The handle the scripted CreateFileA gives out when it succeeds.
extern const HANDLE kScriptedDriveHandle;

// Starts a new script: forgets earlier calls and frees earlier buffers.
void ResetScriptedPlatform(const DriveScript& script);
const std::vector<PlatformCall>& RecordedCalls();
// The names of the recorded functions, in order.
std::vector<std::string> RecordedFunctionNames();
// Reads `name` in the working directory, after flushing every open stream.
FileSnapshot SnapshotFile(const char* name);

#endif  // QORVANE_TEST_SUPPORT_SCRIPTED_PLATFORM_H_
