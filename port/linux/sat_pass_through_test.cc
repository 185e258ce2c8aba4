#include "port/linux/sat_pass_through.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include <iterator>
#include <vector>

#include <gtest/gtest.h>

#include "test/support/test_facts.h"

namespace {

constexpr uint32_t kDataAreaSize = 131072;
constexpr uint32_t kHeaderSize = sizeof(ATA_PASS_THROUGH_EX);

ATA_PASS_THROUGH_EX HeaderOf(const std::vector<unsigned char>& buffer) {
  ATA_PASS_THROUGH_EX header;
  memcpy(&header, buffer.data(), sizeof header);
  return header;
}

// The request the program sends: IDENTIFY DEVICE, PIO data-in, 512 bytes,
// 8 seconds, data right behind the header.
ATA_PASS_THROUGH_EX IdentifyHeader() {
  return HeaderOf(IdentifyRequestHeader(kHeaderSize));
}

std::vector<unsigned char> BufferWith(const ATA_PASS_THROUGH_EX& header,
                                      uint32_t length = kHeaderSize +
                                                        kDataAreaSize) {
  std::vector<unsigned char> buffer(length < kHeaderSize ? kHeaderSize
                                                         : length);
  memcpy(buffer.data(), &header, sizeof header);
  buffer.resize(length);
  return buffer;
}

// The IDENTIFY request in a buffer of the program's size, built into
// `command`.
testing::AssertionResult BuildIdentifyCommand(std::vector<unsigned char>* buffer,
                                              SatCommand* command) {
  *buffer = BufferWith(IdentifyHeader());
  const int result = BuildSatCommand(buffer->data(), buffer->size(), command);
  if (result == 0) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "BuildSatCommand gave " << result;
}

std::vector<unsigned char> Bytes(const unsigned char* data, size_t length) {
  return std::vector<unsigned char>(data, data + length);
}

TEST(BuildSatCommandTest, IdentifyBecomesAtaPassThrough16ByteForByte) {
  std::vector<unsigned char> buffer;
  SatCommand command;
  ASSERT_TRUE(BuildIdentifyCommand(&buffer, &command));

  const std::vector<unsigned char> expected_cdb = {
      0x85,  // ATA PASS-THROUGH (16)
      0x08,  // PIO data-in, not extended
      0x0E,  // T_DIR from device, BYT_BLOK, T_LENGTH in sector count; no CK_COND
      0x00, 0x00,  // features
      0x00, 0x01,  // count: the length in 512-byte blocks
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // LBA
      0xE0,  // device
      0xEC,  // IDENTIFY DEVICE
      0x00};
  EXPECT_EQ(expected_cdb, Bytes(command.cdb, sizeof command.cdb));
  EXPECT_EQ('S', command.io.interface_id);
  EXPECT_EQ(SG_DXFER_FROM_DEV, command.io.dxfer_direction);
  EXPECT_EQ(16, command.io.cmd_len);
  EXPECT_EQ(command.cdb, command.io.cmdp);
  EXPECT_EQ(512u, command.io.dxfer_len);
  EXPECT_EQ(buffer.data() + kHeaderSize, command.io.dxferp);
  EXPECT_EQ(command.sense, command.io.sbp);
  EXPECT_EQ(sizeof command.sense, command.io.mx_sb_len);
  EXPECT_EQ(8000u, command.io.timeout);
}

TEST(BuildSatCommandTest, FlagsChooseTheDataDirection) {
  struct Case {
    const char* name;
    USHORT flags;
    int direction;
    unsigned int length;
  };
  const Case cases[] = {
      {"pio in", ATA_FLAGS_DATA_IN, SG_DXFER_FROM_DEV, 4096},
      {"pio out", ATA_FLAGS_DATA_OUT, SG_DXFER_TO_DEV, 4096},
      {"non-data", 0, SG_DXFER_NONE, 0},
      {"non-data, dma flag", ATA_FLAGS_USE_DMA, SG_DXFER_NONE, 0},
      {"dma in", ATA_FLAGS_DATA_IN | ATA_FLAGS_USE_DMA, SG_DXFER_FROM_DEV,
       4096},
      {"dma out", ATA_FLAGS_DATA_OUT | ATA_FLAGS_USE_DMA, SG_DXFER_TO_DEV,
       4096},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ATA_PASS_THROUGH_EX header = IdentifyHeader();
    header.AtaFlags = c.flags;
    header.DataTransferLength = 4096;
    std::vector<unsigned char> buffer = BufferWith(header);
    SatCommand command;

    ASSERT_EQ(0, BuildSatCommand(buffer.data(), buffer.size(), &command));

    EXPECT_EQ(c.direction, command.io.dxfer_direction);
    EXPECT_EQ(c.length, command.io.dxfer_len);
    EXPECT_EQ(c.length == 0 ? nullptr : buffer.data() + kHeaderSize,
              command.io.dxferp);
  }
}

TEST(BuildSatCommandTest, TimeOutSecondsBecomeMilliseconds) {
  struct Case {
    ULONG seconds;
    unsigned int milliseconds;
  };
  const Case cases[] = {
      {8, 8000},
      {0, 0},
      {4294967, 4294967000u},
      {4294968, UINT_MAX},
      {0xFFFFFFFF, UINT_MAX},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seconds);
    ATA_PASS_THROUGH_EX header = IdentifyHeader();
    header.TimeOutValue = c.seconds;
    std::vector<unsigned char> buffer = BufferWith(header);
    SatCommand command;

    ASSERT_EQ(0, BuildSatCommand(buffer.data(), buffer.size(), &command));

    EXPECT_EQ(c.milliseconds, command.io.timeout);
  }
}

TEST(BuildSatCommandTest, DataAreaMayEndExactlyAtTheBufferEnd) {
  ATA_PASS_THROUGH_EX header = IdentifyHeader();
  header.DataBufferOffset = 1024;
  header.DataTransferLength = 512;
  std::vector<unsigned char> buffer = BufferWith(header, 1024 + 512);
  SatCommand command;

  ASSERT_EQ(0, BuildSatCommand(buffer.data(), buffer.size(), &command));

  EXPECT_EQ(buffer.data() + 1024, command.io.dxferp);
  EXPECT_EQ(512u, command.io.dxfer_len);
}

TEST(BuildSatCommandTest, MalformedRequestsAreInvalid) {
  struct Case {
    const char* name;
    void (*change)(ATA_PASS_THROUGH_EX* header);
    uint32_t buffer_length;
  };
  const uint32_t full = kHeaderSize + kDataAreaSize;
  const Case cases[] = {
      {"length of the 32-bit layout",
       [](ATA_PASS_THROUGH_EX* h) { h->Length = 40; }, full},
      {"length zero", [](ATA_PASS_THROUGH_EX* h) { h->Length = 0; }, full},
      {"buffer shorter than the header", [](ATA_PASS_THROUGH_EX*) {},
       kHeaderSize - 1},
      {"both directions",
       [](ATA_PASS_THROUGH_EX* h) {
         h->AtaFlags = ATA_FLAGS_DATA_IN | ATA_FLAGS_DATA_OUT;
       },
       full},
      {"direction without length",
       [](ATA_PASS_THROUGH_EX* h) { h->DataTransferLength = 0; }, full},
      {"data area over the header",
       [](ATA_PASS_THROUGH_EX* h) { h->DataBufferOffset = kHeaderSize - 8; },
       full},
      {"data area one byte past the end",
       [](ATA_PASS_THROUGH_EX* h) { h->DataTransferLength = kDataAreaSize + 1; },
       full},
      {"data area starting past the end",
       [](ATA_PASS_THROUGH_EX* h) { h->DataBufferOffset = full + 512; }, full},
      {"offset that wraps around",
       [](ATA_PASS_THROUGH_EX* h) { h->DataBufferOffset = ~ULONG_PTR{0} - 100; },
       full},
      {"length that wraps around",
       [](ATA_PASS_THROUGH_EX* h) { h->DataTransferLength = 0xFFFFFFF0u; },
       full},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ATA_PASS_THROUGH_EX header = IdentifyHeader();
    c.change(&header);
    std::vector<unsigned char> buffer = BufferWith(header, c.buffer_length);
    SatCommand command;

    EXPECT_EQ(EINVAL,
              BuildSatCommand(buffer.data(), c.buffer_length, &command));
  }
  SatCommand command;
  EXPECT_EQ(EINVAL, BuildSatCommand(nullptr, full, &command));
}

TEST(BuildSatCommandTest, NonDataRequestIgnoresDataArea) {
  ATA_PASS_THROUGH_EX header = IdentifyHeader();
  header.AtaFlags = 0;
  header.DataBufferOffset = 0;
  header.DataTransferLength = 0xFFFFFFF0u;
  std::vector<unsigned char> buffer = BufferWith(header, kHeaderSize);
  SatCommand command;

  ASSERT_EQ(0, BuildSatCommand(buffer.data(), buffer.size(), &command));

  EXPECT_EQ(SG_DXFER_NONE, command.io.dxfer_direction);
  EXPECT_EQ(0u, command.io.dxfer_len);
  EXPECT_EQ(nullptr, command.io.dxferp);
}

// One scripted answer of SG_IO to the IDENTIFY request. How each sense layout
// is read is sat_translation's; here, what the Linux half adds around it.
struct Outcome {
  const char* name;
  int ioctl_errno;
  unsigned short host_status;
  unsigned short driver_status;
  unsigned char status;
  std::vector<unsigned char> sense;
  int expected_result;
  // CurrentTaskFile afterwards; the IDENTIFY task file when it is untouched.
  std::vector<unsigned char> expected_task_file;
};

constexpr unsigned char kGood = 0x00;
constexpr unsigned char kCheckCondition = 0x02;
constexpr unsigned short kDriverSense = 0x08;
const std::vector<unsigned char> kSentTaskFile(std::begin(kIdentifyTaskFile),
                                               std::end(kIdentifyTaskFile));

TEST(ReadSatOutcomeTest, EachOutcomeGivesItsResultAndRegisters) {
  const Outcome outcomes[] = {
      {"clean completion", 0, 0, 0, kGood, {}, 0,
       {0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0x50, 0x00}},
      {"registers returned", 0, 0, kDriverSense, kCheckCondition,
       DescriptorSense(0x01, 0x00, 0x1D, 0x00, 0x50), 0,
       {0x00, 0x01, 0x02, 0x03, 0x04, 0xA0, 0x50, 0x00}},
      {"drive aborted, Linux 6.12", 0, 0, kDriverSense, kCheckCondition,
       AbortedSenseOfLinux6_12(), 0,
       {0x04, 0x01, 0x00, 0x00, 0x00, 0xE0, 0x41, 0x00}},
      {"ioctl refused", EPERM, 0, 0, kGood, {}, EPERM, kSentTaskFile},
      {"host timed out", 0, 0x03, 0, kGood, {}, ETIMEDOUT, kSentTaskFile},
      {"host error despite registers", 0, 0x07, kDriverSense, kCheckCondition,
       DescriptorSense(0x01, 0x00, 0x1D, 0x00, 0x50), EIO, kSentTaskFile},
      {"driver timed out", 0, 0, 0x06, kGood, {}, ETIMEDOUT, kSentTaskFile},
      {"driver error", 0, 0, 0x04, kGood, {}, EIO, kSentTaskFile},
      {"invalid operation code", 0, 0, kDriverSense, kCheckCondition,
       InvalidOpcodeSenseOfVirtioScsi(), EOPNOTSUPP, kSentTaskFile},
      {"busy status returned", 0, 0, kDriverSense, kCheckCondition,
       DescriptorSense(0x01, 0x00, 0x1D, 0x00, 0xD0), EIO, kSentTaskFile},
      {"busy SCSI status", 0, 0, 0, 0x08, {}, EIO, kSentTaskFile},
  };
  for (const Outcome& o : outcomes) {
    SCOPED_TRACE(o.name);
    std::vector<unsigned char> buffer;
    SatCommand command;
    ASSERT_TRUE(BuildIdentifyCommand(&buffer, &command));
    command.io.host_status = o.host_status;
    command.io.driver_status = o.driver_status;
    command.io.status = o.status;
    // An empty vector's data() may be null, which memcpy must not be given.
    if (!o.sense.empty()) memcpy(command.sense, o.sense.data(), o.sense.size());
    command.io.sb_len_wr = o.sense.size();

    EXPECT_EQ(o.expected_result,
              ReadSatOutcome(&command, o.ioctl_errno, buffer.data()));

    ATA_PASS_THROUGH_EX header = HeaderOf(buffer);
    EXPECT_EQ(o.expected_task_file, Bytes(header.CurrentTaskFile, 8));
    // Only the task files may change; the data area is the device's alone.
    ATA_PASS_THROUGH_EX sent = IdentifyHeader();
    memcpy(sent.CurrentTaskFile, header.CurrentTaskFile, 8);
    memcpy(sent.PreviousTaskFile, header.PreviousTaskFile, 8);
    EXPECT_EQ(0, memcmp(&sent, &header, sizeof header));
  }
}

TEST(SatDataTransferredTest, TransferLengthLessTheResidual) {
  std::vector<unsigned char> buffer;
  SatCommand command;
  ASSERT_TRUE(BuildIdentifyCommand(&buffer, &command));
  const struct {
    int resid;
    uint32_t transferred;
  } rows[] = {{0, 512}, {12, 500}, {512, 0}, {4096, 0}, {-1, 512}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.resid);
    command.io.resid = row.resid;
    EXPECT_EQ(row.transferred, SatDataTransferred(&command));
  }
}

TEST(ReadSatOutcomeTest, SenseIsReadOnlyAsFarAsTheKernelWroteIt) {
  std::vector<unsigned char> buffer;
  SatCommand command;
  ASSERT_TRUE(BuildIdentifyCommand(&buffer, &command));
  std::vector<unsigned char> sense =
      DescriptorSense(0x05, 0x24, 0x00, 0x04, 0x51);
  memcpy(command.sense, sense.data(), sense.size());
  command.io.sb_len_wr = sense.size() - 1;
  command.io.status = kCheckCondition;

  EXPECT_EQ(EOPNOTSUPP, ReadSatOutcome(&command, 0, buffer.data()));
  EXPECT_EQ(kSentTaskFile, Bytes(HeaderOf(buffer).CurrentTaskFile, 8));

  // A count past the buffer counts as the whole buffer: here the sense data
  // claims 252 bytes, and its first descriptor ends where the buffer does.
  const unsigned char long_sense[] = {0x72, 0x05, 0x24, 0x00, 0x00, 0x00,
                                      0x00, 0xF4, 0x00, 86};
  memset(command.sense, 0, sizeof command.sense);
  memcpy(command.sense, long_sense, sizeof long_sense);
  command.io.sb_len_wr = 255;
  EXPECT_EQ(EOPNOTSUPP, ReadSatOutcome(&command, 0, buffer.data()));
}

TEST(SendAtaPassThroughTest, IoctlErrorReachesTheCaller) {
  std::vector<unsigned char> buffer = BufferWith(IdentifyHeader());
  int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);

  uint32_t transferred = 1;
  EXPECT_EQ(ENOTTY, SendAtaPassThrough(fd, buffer.data(), buffer.size(), &transferred));
  EXPECT_EQ(transferred, 0u);
  EXPECT_EQ(EBADF, SendAtaPassThrough(-1, buffer.data(), buffer.size(), &transferred));

  close(fd);
}

TEST(SendAtaPassThroughTest, MalformedRequestStopsBeforeTheIoctl) {
  ATA_PASS_THROUGH_EX header = IdentifyHeader();
  header.Length = 40;
  std::vector<unsigned char> buffer = BufferWith(header);

  // A bad descriptor would give EBADF if the ioctl ran.
  uint32_t transferred = 1;
  EXPECT_EQ(EINVAL, SendAtaPassThrough(-1, buffer.data(), buffer.size(), &transferred));
  EXPECT_EQ(transferred, 0u);
}

}  // namespace
