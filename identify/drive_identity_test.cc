#include "identify/drive_identity.h"

#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "gtest/gtest.h"
#include "test/support/test_facts.h"

namespace {

struct DecodeCase {
  const char* name;
  std::string field_bytes;  // as stored in the IDENTIFY data
  int count;
  std::string expected;     // the characters written before the final NUL
};

void PrintTo(const DecodeCase& test_case, std::ostream* out) { *out << test_case.name; }

class DecodeAtaStringTest : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeAtaStringTest, SwapsEachWordAndEndsWithNul) {
  const DecodeCase& test_case = GetParam();
  unsigned char data[kIdentifyDataSize];
  memset(data, 0x5A, sizeof data);
  memcpy(data + kModelOffset, test_case.field_bytes.data(),
         test_case.field_bytes.size());
  char destination[64];
  memset(destination, '#', sizeof destination);

  DecodeAtaString(data, kModelOffset, test_case.count, destination);

  EXPECT_EQ(std::string(destination, test_case.count), test_case.expected);
  EXPECT_EQ(destination[test_case.count], '\0');
  EXPECT_EQ(destination[test_case.count + 1], '#') << "wrote past the NUL";
}

INSTANTIATE_TEST_SUITE_P(
    Fields, DecodeAtaStringTest,
    testing::Values(
        DecodeCase{"ByteSwap", std::string("\x42\x41\x32\x31", 4), 4, "AB12"},
        DecodeCase{"AllZero", std::string(8, '\0'), 8, std::string(8, '\0')},
        DecodeCase{"NulStaysInPlace", std::string("\x42\x41\x43\x00", 4), 4,
                   std::string("AB\0C", 4)},
        DecodeCase{"LineFeedKept", std::string("\x0a\x41", 2), 2, "A\n"},
        DecodeCase{"HighBytesUnchanged", std::string("\xff\x80", 2), 2,
                   "\x80\xff"}),
    [](const testing::TestParamInfo<DecodeCase>& info) {
      return std::string(info.param.name);
    });

TEST(DecodeAtaStringTest, PaddedModelKeepsEveryTrailingSpace) {
  unsigned char data[kIdentifyDataSize] = {};
  const std::string model = "QEMU HARDDISK" + std::string(27, ' ');
  PutAtaString(data, kModelOffset, model);
  DriveIdentity identity;
  DecodeAtaString(data, kModelOffset, kModelLength, identity.model);
  EXPECT_EQ(std::string(identity.model), model);
  EXPECT_EQ(strlen(identity.model), 40u);
}

// The two fields end at byte 93: put them at the very end of a readable page
// so that reading one byte further faults.
TEST(DecodeAtaStringTest, ReadsNothingPastTheModelField) {
  const long page = sysconf(_SC_PAGESIZE);
  unsigned char* pages = static_cast<unsigned char*>(
      mmap(NULL, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
           -1, 0));
  ASSERT_NE(pages, MAP_FAILED);
  ASSERT_EQ(mprotect(pages + page, page, PROT_NONE), 0);
  const int readable = kModelOffset + kModelLength;  // bytes 0 to 93
  unsigned char* data = pages + page - readable;
  memset(data, 0, readable);
  PutAtaString(data, kFirmwareOffset, "FW 1.0  ");
  PutAtaString(data, kModelOffset, std::string(40, 'M'));

  DriveIdentity identity;
  DecodeAtaString(data, kModelOffset, kModelLength, identity.model);
  DecodeAtaString(data, kFirmwareOffset, kFirmwareLength, identity.firmware);

  EXPECT_EQ(std::string(identity.model), std::string(40, 'M'));
  EXPECT_EQ(std::string(identity.firmware), "FW 1.0  ");
  munmap(pages, 2 * page);
}

}  // namespace
