#include <stddef.h>
#include <string.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "identify/drive_identity.h"
#include "test/support/scripted_platform.h"
#include "test/support/test_facts.h"

namespace {

const size_t kHeaderSize = sizeof(ATA_PASS_THROUGH_EX);
const size_t kBufferSize = kHeaderSize + 131072;

// The stand-in header must have the 64-bit Windows layout, field by field.
static_assert(sizeof(ATA_PASS_THROUGH_EX) == 48, "64-bit header size");
static_assert(offsetof(ATA_PASS_THROUGH_EX, DataTransferLength) == 8, "");
static_assert(offsetof(ATA_PASS_THROUGH_EX, ReservedAsUlong) == 16, "");
static_assert(offsetof(ATA_PASS_THROUGH_EX, DataBufferOffset) == 24, "");
static_assert(offsetof(ATA_PASS_THROUGH_EX, PreviousTaskFile) == 32, "");
static_assert(offsetof(ATA_PASS_THROUGH_EX, CurrentTaskFile) == 40, "");

// Leaves a pattern in the stack below the caller, where the request header
// will be built, so that a header byte nobody set shows up as non-zero.
__attribute__((noinline)) void DirtyTheStack() {
  volatile unsigned char junk[4096];
  for (size_t i = 0; i < sizeof junk; ++i) junk[i] = 0xA5;
}

class AtaIdentifyTest : public testing::Test {
 protected:
  void Run(const DriveScript& script) {
    ResetScriptedPlatform(script);
    memset(&identity_, 'Z', sizeof identity_);
    DirtyTheStack();
    result_ = QueryDriveIdentity(kScriptedDriveHandle, &identity_);
  }
  DriveIdentity identity_;
  int result_ = 1;
};

TEST(OpenPhysicalDriveTest, OpensDriveZeroForSynchronousSharedUse) {
  ResetScriptedPlatform(DriveScript());
  HANDLE drive = NULL;
  EXPECT_EQ(OpenPhysicalDrive(&drive), 0);
  EXPECT_EQ(drive, kScriptedDriveHandle);

  ASSERT_EQ(RecordedFunctionNames(), std::vector<std::string>{"CreateFileA"});
  const PlatformCall& call = RecordedCalls()[0];
  EXPECT_EQ(call.name, "\\\\.\\PhysicalDrive0");
  EXPECT_EQ(call.name.size(), 18u);
  EXPECT_EQ(call.desired_access, 0xC0000000u);
  EXPECT_EQ(call.share_mode, 3u);  // FILE_SHARE_READ | FILE_SHARE_WRITE
  EXPECT_FALSE(call.security_attributes_given);
  EXPECT_EQ(call.creation_disposition, 3u);  // OPEN_EXISTING
  EXPECT_EQ(call.flags_and_attributes, 0u);
  EXPECT_FALSE(call.template_given);
}

TEST(OpenPhysicalDriveTest, RefusedOpenGivesMinusOneAndTheInvalidHandle) {
  DriveScript script;
  script.open_error = 5;
  ResetScriptedPlatform(script);
  HANDLE drive = NULL;
  EXPECT_EQ(OpenPhysicalDrive(&drive), -1);
  EXPECT_EQ(drive, INVALID_HANDLE_VALUE);
}

TEST_F(AtaIdentifyTest, SendsTheIdentifyRequestByteForByte) {
  DriveScript script;
  memset(script.identify_data, 0x20, sizeof script.identify_data);
  Run(script);
  ASSERT_EQ(result_, 0);
  ASSERT_EQ(RecordedFunctionNames(),
            (std::vector<std::string>{"VirtualAlloc", "DeviceIoControl"}));

  const PlatformCall& allocation = RecordedCalls()[0];
  EXPECT_FALSE(allocation.address_given);
  EXPECT_EQ(allocation.size, kBufferSize);
  EXPECT_EQ(allocation.allocation_type, 0x1000u);  // MEM_COMMIT
  EXPECT_EQ(allocation.protect, 0x04u);            // PAGE_READWRITE

  const PlatformCall& request = RecordedCalls()[1];
  EXPECT_EQ(request.handle, kScriptedDriveHandle);
  EXPECT_EQ(request.io_control_code, 0x0004D02Cu);
  EXPECT_NE(request.in_buffer, nullptr);
  EXPECT_EQ(request.in_buffer, request.out_buffer);
  EXPECT_EQ(request.in_buffer_size, kBufferSize);
  EXPECT_EQ(request.out_buffer_size, kBufferSize);
  EXPECT_TRUE(request.bytes_returned_given);
  EXPECT_EQ(request.bytes_returned_when_sent, 0u);
  EXPECT_FALSE(request.overlapped_given);

  ASSERT_EQ(request.sent.size(), kBufferSize);
  const std::vector<unsigned char> header(request.sent.begin(),
                                          request.sent.begin() + kHeaderSize);
  EXPECT_EQ(header, IdentifyRequestHeader(kHeaderSize));
  size_t nonzero_data_bytes = 0;
  for (size_t i = kHeaderSize; i < request.sent.size(); ++i) {
    nonzero_data_bytes += request.sent[i] != 0;
  }
  EXPECT_EQ(nonzero_data_bytes, 0u);
}

// The status and error registers written back, or -1 for none.
struct ReturnedRegisters {
  const char* name;
  int status;
  UCHAR error;
};

void PrintTo(const ReturnedRegisters& registers, std::ostream* out) { *out << registers.name; }

class AtaIdentifyStatusTest : public AtaIdentifyTest,
                              public testing::WithParamInterface<ReturnedRegisters> {};

// The whole block decides, whatever the driver leaves in the registers: one
// that writes none back leaves the command (0xEC) in the status byte, and an
// AHCI driver may hand back an earlier command's ERR and ABRT after a
// successful IDENTIFY.
TEST_P(AtaIdentifyStatusTest, DecodesModelAndFirmwareFromTheAnswer) {
  DriveScript script;
  script.returned_status = GetParam().status;
  script.returned_error = GetParam().error;
  // Every byte set, so that a field read from the wrong place shows.
  for (int i = 0; i < 512; ++i) script.identify_data[i] = 0x80 | (i & 0x3F);
  const char model[] = "ST2000DM008-2FR102                      ";
  const char firmware[] = "0001    ";
  PutAtaString(script.identify_data, kModelOffset, model);
  PutAtaString(script.identify_data, kFirmwareOffset, firmware);
  Run(script);
  ASSERT_EQ(result_, 0);
  EXPECT_EQ(std::string(identity_.model), model);
  EXPECT_EQ(std::string(identity_.firmware), firmware);
  EXPECT_EQ(RecordedFunctionNames(),
            (std::vector<std::string>{"VirtualAlloc", "DeviceIoControl"}));
}

INSTANTIATE_TEST_SUITE_P(
    ReturnedStatus, AtaIdentifyStatusTest,
    testing::Values(ReturnedRegisters{"LeftAsSent", -1, 0},
                    ReturnedRegisters{"StaleErrAndAbortFromAnEarlierCommand", 0x51, 0x04}),
    [](const testing::TestParamInfo<ReturnedRegisters>& info) {
      return std::string(info.param.name);
    });

TEST_F(AtaIdentifyTest, BytesOutsideTheTwoFieldsHaveNoInfluence) {
  DriveScript quiet;
  DriveScript noisy;
  for (int i = 0; i < 512; ++i) {
    const bool in_fields = i >= kFirmwareOffset && i < kModelOffset + kModelLength;
    const unsigned char value = static_cast<unsigned char>('A' + i % 26);
    if (in_fields) quiet.identify_data[i] = noisy.identify_data[i] = value;
    else noisy.identify_data[i] = 0xFF;
  }
  Run(quiet);
  const DriveIdentity from_quiet = identity_;
  Run(noisy);
  EXPECT_EQ(memcmp(&from_quiet, &identity_, sizeof identity_), 0);
}

// Each row breaks one thing that a refusal or a completion that brought no
// IDENTIFY data looks like.
struct RefusalCase {
  const char* name;
  void (*script)(DriveScript*);
  std::vector<std::string> calls;
  DWORD last_error;
};

void PrintTo(const RefusalCase& test_case, std::ostream* out) { *out << test_case.name; }

class AtaIdentifyRefusalTest : public AtaIdentifyTest,
                               public testing::WithParamInterface<RefusalCase> {};

// A refused request leaves the identity alone and the failing call's own
// last-error number in place; nothing runs after the failing call.
TEST_P(AtaIdentifyRefusalTest, ReturnsMinusTwoWithTheFailingCallsError) {
  DriveScript script;
  for (int i = 0; i < 512; ++i) script.identify_data[i] = static_cast<unsigned char>(i);
  GetParam().script(&script);
  Run(script);
  EXPECT_EQ(result_, -2);
  EXPECT_EQ(RecordedFunctionNames(), GetParam().calls);
  DriveIdentity untouched;
  memset(&untouched, 'Z', sizeof untouched);
  EXPECT_EQ(memcmp(&identity_, &untouched, sizeof identity_), 0);
  EXPECT_EQ(GetLastError(), GetParam().last_error);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, AtaIdentifyRefusalTest,
    testing::Values(
        RefusalCase{"RequestRefused", [](DriveScript* s) { s->request_error = 50; },
                    {"VirtualAlloc", "DeviceIoControl"}, 50},
        RefusalCase{"NoBuffer", [](DriveScript* s) { s->allocation_error = 8; },
                    {"VirtualAlloc"}, 8},
        // Completed, but without the data: a device error.
        RefusalCase{"CompletedWithoutData",
                    [](DriveScript* s) { s->answer_writes_data = false; },
                    {"VirtualAlloc", "DeviceIoControl", "SetLastError"}, ERROR_IO_DEVICE},
        RefusalCase{"CompletedBytesShort",
                    [](DriveScript* s) { s->bytes_returned_short_by = 1; },
                    {"VirtualAlloc", "DeviceIoControl", "SetLastError"}, ERROR_IO_DEVICE},
        // The drive's abort as Windows' AHCI driver completes it: success,
        // ERR and ABRT in the registers, and no data.
        RefusalCase{"CompletedDriveAborted",
                    [](DriveScript* s) {
                      s->answer_writes_data = false;
                      s->returned_status = 0x51;
                      s->returned_error = 0x04;
                    },
                    {"VirtualAlloc", "DeviceIoControl", "SetLastError"}, ERROR_IO_DEVICE},
        RefusalCase{"CompletedAllZeroData",
                    [](DriveScript* s) { memset(s->identify_data, 0, 512); },
                    {"VirtualAlloc", "DeviceIoControl", "SetLastError"}, ERROR_IO_DEVICE}),
    [](const testing::TestParamInfo<RefusalCase>& info) {
      return std::string(info.param.name);
    });

}  // namespace
