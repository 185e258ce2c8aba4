#ifndef QORVANE_APP_RUN_IDENTITY_REPORT_H_
#define QORVANE_APP_RUN_IDENTITY_REPORT_H_

// The one pass of the program: create "qorvane.err" and "qorvane.log" in the
// current directory, read drive 0's identity, write its model and firmware as
// two lines to the report, or one message line to the error file.

#include "identify/result_codes.h"

// Returns 0 when both lines reached the report file, kDriveNotOpened,
// kIdentifyFailed, kReportFileNotOpened or kReportNotWritten otherwise. The
// command line is ignored. On a failure the files still open are left to the
// runtime's exit processing, which flushes and closes them.
int RunIdentityReport(int argc, char** argv);

#endif  // QORVANE_APP_RUN_IDENTITY_REPORT_H_
