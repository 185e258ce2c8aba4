#include "test/support/scripted_platform.h"

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>

#include "port/linux/crlf_text_file.h"

const HANDLE kScriptedDriveHandle =
    reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x5eed));

namespace {

DriveScript g_script;
std::vector<PlatformCall> g_calls;
struct Block {
  void* address;
  SIZE_T size;
};

// The blocks VirtualAlloc gave out in this script, those of earlier scripts,
// and storage for the next copy of a sent buffer. Under AddressSanitizer every
// block of this size is a fresh mapping, and faulting two of them in on each
// request was most of the cost of a run, so they are reused (cleared, as
// committed memory arrives) rather than allocated anew. Like committed memory
// a block stays until the process ends; then all are freed, so that a leak
// checker running at exit finds none.
struct Buffers {
  std::vector<Block> handed_out;
  std::vector<Block> reusable;
  std::vector<unsigned char> sent_storage;
  ~Buffers() {
    for (const Block& block : handed_out) free(block.address);
    for (const Block& block : reusable) free(block.address);
  }
};
Buffers g_buffers;
DWORD g_last_error = 0;

void* TakeZeroedBlock(SIZE_T size) {
  std::vector<Block>& reusable = g_buffers.reusable;
  for (size_t i = 0; i < reusable.size(); ++i) {
    if (reusable[i].size == size) {
      const Block block = reusable[i];
      reusable.erase(reusable.begin() + static_cast<ptrdiff_t>(i));
      memset(block.address, 0, size);
      g_buffers.handed_out.push_back(block);
      return block.address;
    }
  }
  const Block block = {calloc(1, size), size};
  if (block.address != NULL) g_buffers.handed_out.push_back(block);
  return block.address;
}

PlatformCall& Record(const char* function) {
  PlatformCall call;
  call.function = function;
  call.error_file = SnapshotFile("qorvane.err");
  call.report_file = SnapshotFile("qorvane.log");
  g_calls.push_back(call);
  return g_calls.back();
}

}  // namespace

void ResetScriptedPlatform(const DriveScript& script) {
  for (PlatformCall& call : g_calls) {
    if (call.sent.capacity() > g_buffers.sent_storage.capacity()) {
      g_buffers.sent_storage.swap(call.sent);
    }
  }
  g_calls.clear();
  g_buffers.reusable.insert(g_buffers.reusable.end(),
                            g_buffers.handed_out.begin(),
                            g_buffers.handed_out.end());
  g_buffers.handed_out.clear();
  g_script = script;
  g_last_error = 0;
}

const std::vector<PlatformCall>& RecordedCalls() { return g_calls; }

std::vector<std::string> RecordedFunctionNames() {
  std::vector<std::string> names;
  names.reserve(g_calls.size());
  for (const PlatformCall& call : g_calls) names.push_back(call.function);
  return names;
}

FileSnapshot SnapshotFile(const char* name) {
  // Bytes still in a stream's buffer count as written: what matters is the
  // order in which the program handed them over. A stream that fails to flush
  // shows in the bytes that are read.
  (void)fflush(NULL);
  FileSnapshot snapshot;
  struct stat status;
  if (lstat(name, &status) != 0) return snapshot;
  snapshot.exists = true;
  snapshot.is_directory = S_ISDIR(status.st_mode);
  snapshot.is_link = S_ISLNK(status.st_mode);
  if (S_ISREG(status.st_mode)) {
    std::ifstream file(name, std::ios::binary);
    snapshot.bytes.assign(std::istreambuf_iterator<char>(file),
                          std::istreambuf_iterator<char>());
  }
  return snapshot;
}

FILE* OpenTextFileForWriting(const char* name) {
  Record("OpenTextFileForWriting").name = name;
  return OpenCrLfTextFile(name);
}

HANDLE WINAPI CreateFileA(LPCSTR file_name, DWORD desired_access,
                          DWORD share_mode,
                          LPSECURITY_ATTRIBUTES security_attributes,
                          DWORD creation_disposition,
                          DWORD flags_and_attributes, HANDLE template_file) {
  PlatformCall& call = Record("CreateFileA");
  call.name = file_name;
  call.desired_access = desired_access;
  call.share_mode = share_mode;
  call.security_attributes_given = security_attributes != NULL;
  call.creation_disposition = creation_disposition;
  call.flags_and_attributes = flags_and_attributes;
  call.template_given = template_file != NULL;
  if (g_script.open_error != 0) {
    g_last_error = g_script.open_error;
    return INVALID_HANDLE_VALUE;
  }
  return kScriptedDriveHandle;
}

LPVOID WINAPI VirtualAlloc(LPVOID address, SIZE_T size, DWORD allocation_type,
                           DWORD protect) {
  PlatformCall& call = Record("VirtualAlloc");
  call.address_given = address != NULL;
  call.size = size;
  call.allocation_type = allocation_type;
  call.protect = protect;
  if (g_script.allocation_error != 0) {
    g_last_error = g_script.allocation_error;
    return NULL;
  }
  return TakeZeroedBlock(size);
}

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD io_control_code,
                            LPVOID in_buffer, DWORD in_buffer_size,
                            LPVOID out_buffer, DWORD out_buffer_size,
                            LPDWORD bytes_returned, LPOVERLAPPED overlapped) {
  PlatformCall& call = Record("DeviceIoControl");
  call.handle = device;
  call.io_control_code = io_control_code;
  call.in_buffer = in_buffer;
  call.in_buffer_size = in_buffer_size;
  call.out_buffer = out_buffer;
  call.out_buffer_size = out_buffer_size;
  call.bytes_returned_given = bytes_returned != NULL;
  if (bytes_returned != NULL) call.bytes_returned_when_sent = *bytes_returned;
  call.overlapped_given = overlapped != NULL;
  const unsigned char* in_bytes = static_cast<const unsigned char*>(in_buffer);
  call.sent.swap(g_buffers.sent_storage);
  call.sent.assign(in_bytes, in_bytes + in_buffer_size);

  if (g_script.request_error != 0) {
    g_last_error = g_script.request_error;
    return 0;
  }
  // Like a driver: the data goes where the header says, if it fits, and the
  // count says how much of the buffer was handed back.
  ATA_PASS_THROUGH_EX header;
  memcpy(&header, in_buffer, sizeof header);
  const size_t data_end = header.DataBufferOffset + sizeof g_script.identify_data;
  size_t handed_back = sizeof header;
  if (g_script.answer_writes_data && data_end <= out_buffer_size) {
    memcpy(static_cast<unsigned char*>(out_buffer) + header.DataBufferOffset,
           g_script.identify_data, sizeof g_script.identify_data);
    handed_back = data_end;
  }
  if (g_script.returned_status >= 0) {
    header.CurrentTaskFile[0] = g_script.returned_error;
    header.CurrentTaskFile[6] = static_cast<UCHAR>(g_script.returned_status);
    memcpy(out_buffer, &header, sizeof header);
  }
  if (bytes_returned != NULL) {
    *bytes_returned = static_cast<DWORD>(handed_back) - g_script.bytes_returned_short_by;
  }
  return 1;
}

BOOL WINAPI CloseHandle(HANDLE object) {
  Record("CloseHandle").handle = object;
  if (g_script.close_error != 0) g_last_error = g_script.close_error;
  return 1;
}

void WINAPI SetLastError(DWORD error) {
  Record("SetLastError").error = error;
  g_last_error = error;
}

DWORD WINAPI GetLastError(void) {
  Record("GetLastError");
  return g_last_error;
}
