#include "app/run_identity_report.h"

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "identify/drive_identity.h"
#include "test/support/scripted_platform.h"
#include "test/support/test_facts.h"

namespace {

const char kModel[] = "WDC WD10EZEX-08WN4A0                    ";
const char kFirmware[] = "01.01A01";
const std::string kReport = std::string(kModel) + "\r\n" + kFirmware + "\r\n";

DriveScript DriveWith(const std::string& model, const std::string& firmware) {
  DriveScript script;
  PutAtaString(script.identify_data, kModelOffset, model);
  PutAtaString(script.identify_data, kFirmwareOffset, firmware);
  return script;
}

DriveScript RealisticDrive() { return DriveWith(kModel, kFirmware); }

// The pass works in the current directory: each test runs in a folder of its
// own.
class RunIdentityReportTest : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = MakeScratchFolder("/tmp/qorvane_run_");
    ASSERT_NE(folder_, "");
    old_folder_ = std::filesystem::current_path();
    std::filesystem::current_path(folder_);
  }
  void TearDown() override {
    std::filesystem::current_path(old_folder_);
    RemoveScratchFolder(folder_);
  }

  // Runs the pass, then flushes what it left open, as the runtime's exit
  // processing does when the process ends.
  int Run(const DriveScript& script, std::vector<std::string> arguments = {"qorvane.exe"}) {
    ResetScriptedPlatform(script);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    const int result = RunIdentityReport(static_cast<int>(arguments.size()), argv.data());
    fflush(NULL);
    return result;
  }

  std::string folder_;
  std::filesystem::path old_folder_;
};

struct OutcomeCase {
  const char* name;
  Place error_place;
  Place report_place;
  DriveScript drive;
  int result;
  std::string error_file;
  std::string report_file;
};

DriveScript OpenRefused(DWORD error) {
  DriveScript script = RealisticDrive();
  script.open_error = error;
  return script;
}

DriveScript RequestRefused(DWORD error) {
  DriveScript script = RealisticDrive();
  script.request_error = error;
  return script;
}

DriveScript NoBuffer(DWORD error) {
  DriveScript script = RealisticDrive();
  script.allocation_error = error;
  return script;
}

DriveScript AnswerWithoutData() {
  DriveScript script = RealisticDrive();
  script.answer_writes_data = false;
  return script;
}

void PrintTo(const OutcomeCase& test_case, std::ostream* out) { *out << test_case.name; }

class RunOutcomeTest : public RunIdentityReportTest,
                       public testing::WithParamInterface<OutcomeCase> {};

TEST_P(RunOutcomeTest, ResultAndBothFilesAreExact) {
  const OutcomeCase& test_case = GetParam();
  ASSERT_TRUE(PreparePlace("qorvane.err", test_case.error_place));
  ASSERT_TRUE(PreparePlace("qorvane.log", test_case.report_place));
  EXPECT_EQ(Run(test_case.drive), test_case.result);
  EXPECT_EQ(ShowPlace("qorvane.err"), test_case.error_file);
  EXPECT_EQ(ShowPlace("qorvane.log"), test_case.report_file);
}

const std::string kDriveLine = "Error opening drive handle, returning -1\r\n";
const std::string kFileLine = "Error opening file handle, returning -3\r\n";
const std::string kWriteLine = "Error writing report file, returning -4\r\n";
const std::string kDeviceErrorLine = "Error getting drive information (" +
                                     std::to_string(ERROR_IO_DEVICE) + "), returning -2\r\n";

INSTANTIATE_TEST_SUITE_P(
    Outcomes, RunOutcomeTest,
    testing::Values(
        OutcomeCase{"Success", kNothing, kNothing, RealisticDrive(), 0, "", kReport},
        OutcomeCase{"SuccessTruncatesEarlierFiles", kOldContents, kOldContents,
                    RealisticDrive(), 0, "", kReport},
        OutcomeCase{"DriveNotOpened", kNothing, kNothing, OpenRefused(5), -1,
                    kDriveLine, ""},
        OutcomeCase{"DriveMissing", kOldContents, kOldContents, OpenRefused(2), -1,
                    kDriveLine, ""},
        OutcomeCase{"RequestRefused", kNothing, kNothing, RequestRefused(50), -2,
                    "Error getting drive information (50), returning -2\r\n", ""},
        OutcomeCase{"LastErrorAboveTwoToThe31IsNegative", kNothing, kNothing,
                    RequestRefused(0xC0000010u), -2,
                    "Error getting drive information (-1073741808), returning -2\r\n",
                    ""},
        OutcomeCase{"NoPassThroughBuffer", kNothing, kNothing, NoBuffer(8), -2,
                    "Error getting drive information (8), returning -2\r\n", ""},
        OutcomeCase{"ReportFileNotOpened", kNothing, kDirectory, RealisticDrive(), -3,
                    kFileLine, kShowsDirectory},
        OutcomeCase{"ReportOnFullDevice", kNothing, kFullDevice, RealisticDrive(), -4,
                    kWriteLine, kShowsLink},
        // Without an error file the run goes on and its message is dropped.
        OutcomeCase{"NoErrorFileSuccess", kDirectory, kNothing, RealisticDrive(), 0,
                    kShowsDirectory, kReport},
        OutcomeCase{"NoErrorFileDriveNotOpened", kDirectory, kNothing, OpenRefused(5),
                    -1, kShowsDirectory, ""},
        OutcomeCase{"NoErrorFileRequestRefused", kDirectory, kNothing,
                    RequestRefused(1), -2, kShowsDirectory, ""},
        OutcomeCase{"NoErrorFileReportNotOpened", kDirectory, kDirectory,
                    RealisticDrive(), -3, kShowsDirectory, kShowsDirectory},
        OutcomeCase{"NoErrorFileReportOnFullDevice", kDirectory, kFullDevice,
                    RealisticDrive(), -4, kShowsDirectory, kShowsLink},
        // A completed request that brought no IDENTIFY data is a device error.
        OutcomeCase{"AllZeroIdentify", kNothing, kNothing, DriveWith("", ""), -2,
                    kDeviceErrorLine, ""},
        OutcomeCase{"AnswerWithoutData", kOldContents, kOldContents, AnswerWithoutData(),
                    -2, kDeviceErrorLine, ""},
        // What the drive says reaches the report unchanged, but for CR LF.
        OutcomeCase{"NulInsideModelCutsTheLine", kNothing, kNothing,
                    DriveWith(std::string("SAMSUNG\0SSD 870", 16), "FW"), 0, "",
                    "SAMSUNG\r\nFW\r\n"},
        OutcomeCase{"SpacesKept", kNothing, kNothing,
                    DriveWith("  Two leading and trailing  ", " 1.0 "), 0, "",
                    "  Two leading and trailing  \r\n 1.0 \r\n"},
        OutcomeCase{"LineFeedInsideModel", kNothing, kNothing, DriveWith("AB\nC", "F1"),
                    0, "", "AB\r\nC\r\nF1\r\n"}),
    [](const testing::TestParamInfo<OutcomeCase>& info) {
      return std::string(info.param.name);
    });

TEST_F(RunIdentityReportTest, ErrorFileComesFirstAndBothAreEmptyBeforeTheDrive) {
  ASSERT_TRUE(PreparePlace("qorvane.err", kOldContents));
  ASSERT_TRUE(PreparePlace("qorvane.log", kOldContents));
  ASSERT_EQ(Run(RealisticDrive()), 0);
  const std::vector<PlatformCall>& calls = RecordedCalls();
  ASSERT_EQ(RecordedFunctionNames(),
            (std::vector<std::string>{"OpenTextFileForWriting", "OpenTextFileForWriting",
                                      "CreateFileA", "VirtualAlloc", "DeviceIoControl",
                                      "CloseHandle"}));
  EXPECT_EQ(calls[0].name, "qorvane.err");
  EXPECT_EQ(calls[1].name, "qorvane.log");
  EXPECT_EQ(calls[1].error_file.bytes, "") << "error file not yet truncated";
  EXPECT_EQ(calls[2].error_file.bytes, "");
  EXPECT_EQ(calls[2].report_file.bytes, "");
  EXPECT_EQ(calls[5].handle, kScriptedDriveHandle);
  EXPECT_EQ(calls[5].report_file.bytes, "") << "report written before the close";
}

TEST_F(RunIdentityReportTest, FailedRequestReadsItsErrorAtOnceAndClosesAfterTheMessage) {
  DriveScript script = RequestRefused(1117);
  script.close_error = 6;  // closing leaves a different number behind
  EXPECT_EQ(Run(script), -2);
  const std::vector<PlatformCall>& calls = RecordedCalls();
  ASSERT_EQ(RecordedFunctionNames(),
            (std::vector<std::string>{"OpenTextFileForWriting", "OpenTextFileForWriting",
                                      "CreateFileA", "VirtualAlloc", "DeviceIoControl",
                                      "GetLastError", "CloseHandle"}));
  const std::string line = "Error getting drive information (1117), returning -2\r\n";
  EXPECT_EQ(calls[6].error_file.bytes, line) << "message after the close";
  EXPECT_EQ(calls[6].handle, kScriptedDriveHandle);
  EXPECT_EQ(ShowPlace("qorvane.err"), line);
}

TEST_F(RunIdentityReportTest, FailuresBeforeTheDriveLeaveItAlone) {
  Run(OpenRefused(5));
  EXPECT_EQ(RecordedFunctionNames(),
            (std::vector<std::string>{"OpenTextFileForWriting", "OpenTextFileForWriting",
                                      "CreateFileA"}));
  ASSERT_EQ(unlink("qorvane.log"), 0);
  ASSERT_TRUE(PreparePlace("qorvane.log", kDirectory));
  Run(RealisticDrive());
  EXPECT_EQ(RecordedFunctionNames(),
            (std::vector<std::string>{"OpenTextFileForWriting", "OpenTextFileForWriting"}));
}

TEST_F(RunIdentityReportTest, CommandLineChangesNothing) {
  const DriveScript drives[] = {RealisticDrive(), RequestRefused(50), OpenRefused(5)};
  for (const DriveScript& drive : drives) {
    const int plain = Run(drive);
    const std::string plain_error = ShowPlace("qorvane.err");
    const std::string plain_report = ShowPlace("qorvane.log");
    EXPECT_EQ(Run(drive, {"qorvane.exe", "/?", "--drive", "\\\\.\\PhysicalDrive1",
                          "qorvane.log"}),
              plain);
    EXPECT_EQ(ShowPlace("qorvane.err"), plain_error);
    EXPECT_EQ(ShowPlace("qorvane.log"), plain_report);
    EXPECT_EQ(Run(drive, {}), plain);
    EXPECT_EQ(ShowPlace("qorvane.log"), plain_report);
  }
}

TEST_F(RunIdentityReportTest, SecondRunTruncatesBothFiles) {
  ASSERT_EQ(Run(RequestRefused(50)), -2);
  ASSERT_NE(ShowPlace("qorvane.err"), "");
  ASSERT_EQ(Run(RealisticDrive()), 0);
  EXPECT_EQ(ShowPlace("qorvane.err"), "");
  EXPECT_EQ(ShowPlace("qorvane.log"), kReport);
  ASSERT_EQ(Run(OpenRefused(5)), -1);
  EXPECT_EQ(ShowPlace("qorvane.err"), kDriveLine);
  EXPECT_EQ(ShowPlace("qorvane.log"), "");
}

}  // namespace
