#include "app/run_identity_report.h"

#include <stdint.h>
#include <stdio.h>

#include "identify/drive_identity.h"
#include "identify/result_codes.h"
#include "platform/platform.h"

namespace {

const char kErrorFileName[] = "qorvane.err";
const char kReportFileName[] = "qorvane.log";

// Messages for the error file; the run goes on without it when it could not be
// opened, and then the message is dropped. Whether a message reached the file
// is not examined (here or below): there is nowhere else to report it.
int Fail(FILE* error_file, const char* message_format, int result) {
  if (error_file != NULL) (void)fprintf(error_file, message_format, result);
  return result;
}

// True when both lines reached the file and it closed cleanly. A full disk
// shows up when the buffer is flushed, not at the fprintf; the flush is asked
// for on its own because some runtimes' fclose does not report a failure of
// the flush it does itself.
bool WriteReport(FILE* report_file, const DriveIdentity& identity) {
  bool written = fprintf(report_file, "%s\n", identity.model) >= 0;
  written = fprintf(report_file, "%s\n", identity.firmware) >= 0 && written;
  written = fflush(report_file) == 0 && written;
  return fclose(report_file) == 0 && written;
}

}  // namespace

int RunIdentityReport(int /*argc*/, char** /*argv*/) {
  // The error file first, so that a report file that cannot be opened still
  // has somewhere to be reported.
  FILE* error_file = OpenTextFileForWriting(kErrorFileName);
  FILE* report_file = OpenTextFileForWriting(kReportFileName);
  if (report_file == NULL) {
    return Fail(error_file, "Error opening file handle, returning %d\n",
                kReportFileNotOpened);
  }

  HANDLE drive;
  int result = OpenPhysicalDrive(&drive);
  if (result != 0) {
    return Fail(error_file, "Error opening drive handle, returning %d\n",
                result);
  }

  DriveIdentity identity;
  result = QueryDriveIdentity(drive, &identity);
  if (result != 0) {
    // Read before anything else can overwrite it; closing the handle may.
    const int32_t last_error = static_cast<int32_t>(GetLastError());
    if (error_file != NULL) {
      (void)fprintf(error_file,
                    "Error getting drive information (%d), returning %d\n",
                    static_cast<int>(last_error), result);
    }
    CloseHandle(drive);
    return result;
  }
  CloseHandle(drive);

  if (!WriteReport(report_file, identity)) {
    return Fail(error_file, "Error writing report file, returning %d\n",
                kReportNotWritten);
  }
  // The report is written; an error file that fails to close changes nothing.
  if (error_file != NULL) (void)fclose(error_file);
  return 0;
}
