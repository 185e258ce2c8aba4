#ifndef QORVANE_IDENTIFY_RESULT_CODES_H_
#define QORVANE_IDENTIFY_RESULT_CODES_H_

// What a run ends with, besides 0 for success: the exit status of the program
// and the number at the end of its message line.
enum {
  kDriveNotOpened = -1,       // OpenPhysicalDrive
  kIdentifyFailed = -2,       // QueryDriveIdentity
  kReportFileNotOpened = -3,  // RunIdentityReport: "qorvane.log" not opened
  kReportNotWritten = -4,     // RunIdentityReport: the report not written whole
};

#endif  // QORVANE_IDENTIFY_RESULT_CODES_H_
