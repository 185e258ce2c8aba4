// The whole pass under libFuzzer, against the scripted drive. Each input
// scripts the drive (its IDENTIFY data and which of its steps fail with which
// last-error number) and what stands where the two output files go; the pass
// runs in a scratch folder, and afterwards its result, the error file, the
// report file and the closing of the drive handle must be exactly what the
// program's rules give for that input. The expectation is worked out here from
// the input alone; any difference aborts.
//
// Input layout (shorter inputs are padded with zero bytes, longer ones cut):
//   byte 0      bits 0-1: place of qorvane.err, bits 2-3: place of qorvane.log
//               (0 nothing, 1 a file with old contents, 2 a directory,
//               3 a link to /dev/full); bit 4: the drive completes the request
//               without writing data; bit 5: it writes the registers back
//               (the status byte below, with ABRT as the error)
//   bytes 1-16  four little-endian 32-bit last-error numbers: CreateFileA,
//               VirtualAlloc, DeviceIoControl, CloseHandle. A step fails when
//               its number is not zero; CloseHandle always succeeds but leaves
//               its number behind.
//   bytes 17-528  the 512 bytes of IDENTIFY DEVICE data
//   byte 529    the status register written back (with bit 5)
//   byte 530    how many bytes the returned count falls short

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "app/run_identity_report.h"
#include "test/support/scripted_platform.h"
#include "test/support/test_facts.h"

namespace {

const size_t kSettingsSize = 17;
const size_t kIdentifySize = 512;
const size_t kCompletionSize = 2;
const size_t kInputSize = kSettingsSize + kIdentifySize + kCompletionSize;

const char kErrorFileName[] = "qorvane.err";
const char kReportFileName[] = "qorvane.log";

struct FuzzCase {
  Place error_place;
  Place report_place;
  DriveScript drive;
};

struct Outcome {
  int result;
  std::string error_file;
  std::string report_file;
  int drive_closes;  // CloseHandle calls on the drive
};

uint32_t ReadLittleEndian32(const unsigned char* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void DecodeInput(const uint8_t* data, size_t size, FuzzCase* fuzz_case) {
  unsigned char input[kInputSize] = {};
  memcpy(input, data, size < kInputSize ? size : kInputSize);
  fuzz_case->error_place = static_cast<Place>(input[0] & 3);
  fuzz_case->report_place = static_cast<Place>((input[0] >> 2) & 3);
  fuzz_case->drive.answer_writes_data = (input[0] & 0x10) == 0;
  fuzz_case->drive.open_error = ReadLittleEndian32(input + 1);
  fuzz_case->drive.allocation_error = ReadLittleEndian32(input + 5);
  fuzz_case->drive.request_error = ReadLittleEndian32(input + 9);
  fuzz_case->drive.close_error = ReadLittleEndian32(input + 13);
  memcpy(fuzz_case->drive.identify_data, input + kSettingsSize, kIdentifySize);
  const unsigned char* completion = input + kSettingsSize + kIdentifySize;
  if ((input[0] & 0x20) != 0) {
    fuzz_case->drive.returned_status = completion[0];
    fuzz_case->drive.returned_error = 0x04;
  }
  fuzz_case->drive.bytes_returned_short_by = completion[1];
}

// ---- The rules, stated independently of the program ----

// Every line feed reaches the file as CR LF; nothing else changes.
std::string AsWrittenInTextMode(const std::string& text) {
  std::string written;
  for (char c : text) {
    if (c == '\n') written += '\r';
    written += c;
  }
  return written;
}

// An ATA string: character k of the field is byte k ^ 1 (the first character
// of each 16-bit word is its high-order byte, the second in memory), read up
// to the first NUL.
std::string AtaText(const unsigned char* identify, size_t offset, size_t count) {
  std::string text;
  for (size_t k = 0; k < count; ++k) {
    const char c = static_cast<char>(identify[offset + (k ^ 1)]);
    if (c == '\0') break;
    text += c;
  }
  return text;
}

std::string Signed32(uint32_t number) {
  return std::to_string(static_cast<int32_t>(number));
}

std::string ShownAs(Place place, const std::string& text_written) {
  if (place == kDirectory) return kShowsDirectory;
  if (place == kFullDevice) return kShowsLink;
  return AsWrittenInTextMode(text_written);
}

// A completed request counts only when the whole block came back (the count
// reaches the header and 512 bytes) and the block is not all zero, whatever
// the registers written back say.
bool BringsIdentifyData(const DriveScript& drive) {
  if (!drive.answer_writes_data || drive.bytes_returned_short_by != 0) return false;
  for (size_t i = 0; i < kIdentifySize; ++i) {
    if (drive.identify_data[i] != 0) return true;
  }
  return false;
}

Outcome Expect(const FuzzCase& fuzz_case) {
  const DriveScript& drive = fuzz_case.drive;
  int result = 0;
  std::string message;
  std::string report;
  int drive_closes = 1;
  if (fuzz_case.report_place == kDirectory) {
    result = -3;
    message = "Error opening file handle, returning -3\n";
    drive_closes = 0;
  } else if (drive.open_error != 0) {
    result = -1;
    message = "Error opening drive handle, returning -1\n";
    drive_closes = 0;
  } else if (drive.allocation_error != 0 || drive.request_error != 0) {
    // The request needs the buffer first: a failed allocation is the failure
    // whose number is reported.
    const uint32_t number =
        drive.allocation_error != 0 ? drive.allocation_error : drive.request_error;
    result = -2;
    message = "Error getting drive information (" + Signed32(number) + "), returning -2\n";
  } else if (!BringsIdentifyData(drive)) {
    result = -2;
    message = "Error getting drive information (" + Signed32(ERROR_IO_DEVICE) +
              "), returning -2\n";
  } else {
    // Model: words 27 to 46; firmware: words 23 to 26.
    report = AtaText(drive.identify_data, 54, 40) + "\n" +
             AtaText(drive.identify_data, 46, 8) + "\n";
    if (fuzz_case.report_place == kFullDevice) {
      result = -4;
      message = "Error writing report file, returning -4\n";
    }
  }
  Outcome outcome;
  outcome.result = result;
  outcome.error_file = ShownAs(fuzz_case.error_place, message);
  outcome.report_file = ShownAs(fuzz_case.report_place, report);
  outcome.drive_closes = drive_closes;
  return outcome;
}

// ---- The scratch folder ----

std::string g_scratch_folder;

void RemoveTheScratchFolder() { RemoveScratchFolder(g_scratch_folder); }

void Check(bool holds, const char* what) {
  if (holds) return;
  (void)fprintf(stderr, "identity_report_fuzzer: %s\n", what);
  abort();
}

void CheckSystemCall(int result, const char* what) { Check(result == 0, what); }

// ---- The streams the pass opens ----
//
// On a failure the pass leaves its files open for the process's exit to flush
// and close. Here one process runs the pass millions of times, so the streams
// it opens are tracked (the link wraps OpenTextFileForWriting and fclose) and
// whatever it left open is closed after the run, as exit would.

const int kMaxStreams = 8;
FILE* g_open_streams[kMaxStreams];
int g_open_stream_count = 0;

void ForgetStream(FILE* stream) {
  for (int i = 0; i < g_open_stream_count; ++i) {
    if (g_open_streams[i] == stream) {
      g_open_streams[i] = g_open_streams[--g_open_stream_count];
      return;
    }
  }
}

void CloseWhatThePassLeftOpen() {
  // Taken out of the list first: fclose below passes through the wrapper.
  FILE* left_open[kMaxStreams];
  const int count = g_open_stream_count;
  memcpy(left_open, g_open_streams, sizeof left_open);
  g_open_stream_count = 0;
  // A stream on /dev/full fails to flush here, as it would at exit.
  for (int i = 0; i < count; ++i) (void)fclose(left_open[i]);
}

int CountDriveCloses() {
  int closes = 0;
  for (const PlatformCall& call : RecordedCalls()) {
    if (call.function == "CloseHandle") {
      Check(call.handle == kScriptedDriveHandle, "CloseHandle on a handle that is not the drive");
      ++closes;
    }
  }
  return closes;
}

}  // namespace

// The link is given --wrap for both, so the pass's calls come here. The names
// are the linker's.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" {
FILE* __real__Z22OpenTextFileForWritingPKc(const char* name);
int __real_fclose(FILE* stream);

FILE* __wrap__Z22OpenTextFileForWritingPKc(const char* name) {
  FILE* stream = __real__Z22OpenTextFileForWritingPKc(name);
  if (stream != NULL) {
    Check(g_open_stream_count < kMaxStreams, "too many streams open");
    g_open_streams[g_open_stream_count++] = stream;
  }
  return stream;
}

int __wrap_fclose(FILE* stream) {
  ForgetStream(stream);
  return __real_fclose(stream);
}
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  g_scratch_folder = MakeScratchFolder(std::string(base) + "/qorvane_fuzz_");
  Check(!g_scratch_folder.empty(), "cannot make the scratch folder");
  Check(atexit(RemoveTheScratchFolder) == 0, "cannot arrange to remove the scratch folder");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzCase fuzz_case;
  DecodeInput(data, size, &fuzz_case);
  const Outcome expected = Expect(fuzz_case);

  // The pass works in the current directory; the fuzzer's own paths (corpus,
  // artifacts) may be relative, so the scratch folder is current only during
  // the run.
  char caller_folder[4096];
  Check(getcwd(caller_folder, sizeof caller_folder) != NULL, "cannot read the current directory");
  CheckSystemCall(chdir(g_scratch_folder.c_str()), "cannot enter the scratch folder");
  Check(PreparePlace(kErrorFileName, fuzz_case.error_place) &&
            PreparePlace(kReportFileName, fuzz_case.report_place),
        "cannot prepare the files' places in the scratch folder");

  ResetScriptedPlatform(fuzz_case.drive);
  char program_name[] = "qorvane.exe";
  char* argv[] = {program_name, NULL};
  const int result = RunIdentityReport(1, argv);

  Outcome observed;
  observed.result = result;
  // The pass closes both files itself when it succeeds.
  if (result == 0) Check(g_open_stream_count == 0, "a file left open after a successful run");
  CloseWhatThePassLeftOpen();
  observed.error_file = ShowPlace(kErrorFileName);
  observed.report_file = ShowPlace(kReportFileName);
  observed.drive_closes = CountDriveCloses();
  CheckSystemCall(chdir(caller_folder), "cannot leave the scratch folder");

  if (observed.result != expected.result || observed.error_file != expected.error_file ||
      observed.report_file != expected.report_file ||
      observed.drive_closes != expected.drive_closes) {
    (void)fprintf(stderr,
                  "identity_report_fuzzer: the run differs from the rules\n"
                  "  result:      %d, expected %d\n"
                  "  qorvane.err: \"%s\", expected \"%s\"\n"
                  "  qorvane.log: \"%s\", expected \"%s\"\n"
                  "  drive closed %d times, expected %d\n",
                  observed.result, expected.result, observed.error_file.c_str(),
                  expected.error_file.c_str(), observed.report_file.c_str(),
                  expected.report_file.c_str(), observed.drive_closes,
                  expected.drive_closes);
    abort();
  }
  return 0;
}
