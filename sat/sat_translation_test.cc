#include "sat/sat_translation.h"

#include <stdint.h>

#include <iterator>
#include <vector>

#include <gtest/gtest.h>

#include "test/support/test_facts.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kNoTaskFile(kTaskFileSize, 0);
const Bytes kIdentify(std::begin(kIdentifyTaskFile), std::end(kIdentifyTaskFile));

Bytes Cdb(uint16_t flags, uint32_t length, const Bytes& previous,
          const Bytes& current, bool* built) {
  Bytes cdb(kAtaPassThrough16Size, 0xEE);
  *built = BuildAtaPassThrough16(flags, length, previous.data(),
                                 current.data(), cdb.data());
  return cdb;
}

TEST(BuildAtaPassThrough16Test, IdentifyGoesOutAsHdparmSendsIt) {
  bool built = false;
  const Bytes cdb = Cdb(kAtaFlagDrdyRequired | kAtaFlagDataIn, 512,
                        kNoTaskFile, kIdentify, &built);

  ASSERT_TRUE(built);
  const Bytes expected = {
      0x85,  // ATA PASS-THROUGH (16)
      0x08,  // PIO data-in, not extended
      0x0E,  // T_DIR from device, BYT_BLOK, T_LENGTH in count; no CK_COND
      0x00, 0x00,  // features
      0x00, 0x01,  // count: the length, one 512-byte block
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // LBA
      0xE0,  // device, as the request set it
      0xEC,  // IDENTIFY DEVICE
      0x00};
  EXPECT_EQ(expected, cdb);
}

TEST(BuildAtaPassThrough16Test, FlagsChooseProtocolAndTransferFields) {
  struct Case {
    const char* name;
    uint16_t flags;
    uint8_t cdb1;
    uint8_t cdb2;
  };
  const Case cases[] = {
      {"pio in", kAtaFlagDataIn, 0x08, 0x0E},
      {"pio out", kAtaFlagDataOut, 0x0A, 0x06},
      {"non-data", 0, 0x06, 0x00},
      {"non-data, dma flag", kAtaFlagUseDma, 0x06, 0x00},
      {"dma in", kAtaFlagDataIn | kAtaFlagUseDma, 0x0C, 0x0E},
      {"dma out", kAtaFlagDataOut | kAtaFlagUseDma, 0x0C, 0x06},
      {"48-bit pio in", kAtaFlagDataIn | kAtaFlag48BitCommand, 0x09, 0x0E},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool built = false;
    const Bytes cdb =
        Cdb(c.flags, 4096, kNoTaskFile, kIdentify, &built);

    ASSERT_TRUE(built);
    EXPECT_EQ(c.cdb1, cdb[1]);
    EXPECT_EQ(c.cdb2, cdb[2]);
  }
}

TEST(BuildAtaPassThrough16Test, TaskFilesFillTheirOwnBytes) {
  // READ SECTORS EXT at LBA 0x665544332211: every register has its own
  // value, so a byte in the wrong place shows. A count the request set goes
  // to the drive as written.
  const Bytes previous = {0xA1, 0x01, 0x44, 0x55, 0x66, 0xA5, 0xA6, 0xA7};
  const Bytes current = {0xB1, 0x02, 0x11, 0x22, 0x33, 0x40, 0x24, 0xB7};
  bool built = false;
  Bytes cdb = Cdb(kAtaFlagDataIn | kAtaFlag48BitCommand, 4096, previous,
                  current, &built);

  ASSERT_TRUE(built);
  const Bytes expected = {0x85, 0x09, 0x0E, 0xA1, 0xB1, 0x01, 0x02, 0x44,
                          0x11, 0x55, 0x22, 0x66, 0x33, 0x40, 0x24, 0x00};
  EXPECT_EQ(expected, cdb);

  // Without the 48-bit flag the previous task file is not sent.
  cdb = Cdb(kAtaFlagDataIn, 4096, previous, current, &built);
  ASSERT_TRUE(built);
  const Bytes expected_28bit = {0x85, 0x08, 0x0E, 0x00, 0xB1, 0x00, 0x02, 0x00,
                                0x11, 0x00, 0x22, 0x00, 0x33, 0x40, 0x24, 0x00};
  EXPECT_EQ(expected_28bit, cdb);
}

TEST(BuildAtaPassThrough16Test, CountFieldCarriesTheTransferLength) {
  struct Case {
    const char* name;
    uint16_t flags;
    uint32_t length;
    uint8_t previous_count;
    uint8_t current_count;
    bool built;
    uint8_t cdb5;  // count (15:8)
    uint8_t cdb6;  // count (7:0)
  };
  const uint16_t in = kAtaFlagDataIn;
  const uint16_t in48 = kAtaFlagDataIn | kAtaFlag48BitCommand;
  const Case cases[] = {
      {"eight blocks out", kAtaFlagDataOut, 4096, 0, 0, true, 0x00, 0x08},
      {"the request's own count", in, 4096, 0, 0x02, true, 0x00, 0x02},
      {"255 blocks, all 28 bits hold", in, 255 * 512, 0, 0, true, 0x00, 0xFF},
      {"256 blocks: count 0 as sent", in, 256 * 512, 0, 0, true, 0x00, 0x00},
      {"48-bit, 256 blocks", in48, 256 * 512, 0, 0, true, 0x01, 0x00},
      {"48-bit, 65535 blocks", in48, 65535 * 512, 0, 0, true, 0xFF, 0xFF},
      {"48-bit, 65536 blocks: count 0 as sent", in48, 65536 * 512, 0, 0, true,
       0x00, 0x00},
      {"48-bit, the request's own count", in48, 4096, 0x01, 0, true, 0x01,
       0x00},
      {"non-data: no length", 0, 512, 0, 0, true, 0x00, 0x00},
      {"both directions", kAtaFlagDataIn | kAtaFlagDataOut, 512, 0, 0, false,
       0x00, 0x00},
      {"direction without length", in, 0, 0, 0, false, 0x00, 0x00},
      {"length not whole blocks", in, 513, 0, 0, false, 0x00, 0x00},
      {"length under one block", kAtaFlagDataOut, 256, 0, 0, false, 0x00,
       0x00},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes previous = kNoTaskFile;
    Bytes current = kIdentify;
    previous[kTaskFileSectorCount] = c.previous_count;
    current[kTaskFileSectorCount] = c.current_count;
    bool built = false;
    const Bytes cdb = Cdb(c.flags, c.length, previous, current, &built);

    EXPECT_EQ(c.built, built);
    EXPECT_EQ(c.cdb5, cdb[5]);
    EXPECT_EQ(c.cdb6, cdb[6]);
    // A refused request leaves nothing of itself in the command block.
    if (!built) {
      EXPECT_EQ(Bytes(kAtaPassThrough16Size, 0), cdb);
    }
  }
}

// Sent task files in which every register has its own value, so that a
// register read from the wrong byte, or one that should have been kept, shows.
const Bytes kSentPrevious = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
const Bytes kSentCurrent = {0xB0, 0xB1, 0x11, 0x22, 0x33, 0xE0, 0xEC, 0xB7};

constexpr uint8_t kGood = 0x00;
constexpr uint8_t kCheckCondition = 0x02;

Bytes WithoutLastByte(Bytes bytes) {
  bytes.pop_back();
  return bytes;
}

TEST(ReadSatCompletionTest, EachAnswerGivesItsCompletionAndRegisters) {
  struct Case {
    const char* name;
    uint8_t scsi_status;
    Bytes sense;
    SatCompletion expected;
    // The task files afterwards; empty: as sent.
    Bytes current = {};
    Bytes previous = {};
  };
  const Case cases[] = {
      {"clean completion", kGood, {}, kSatCompleted,
       {0x00, 0xB1, 0x11, 0x22, 0x33, 0xE0, 0x50, 0xB7}},

      // Descriptor format: the ATA Status Return descriptor.
      {"registers returned in a descriptor", kCheckCondition,
       DescriptorSense(0x01, 0x00, 0x1D, 0x00, 0x50), kSatCompleted,
       {0x00, 0x01, 0x02, 0x03, 0x04, 0xA0, 0x50, 0xB7}},
      {"drive aborted, descriptor", kCheckCondition,
       DescriptorSense(0x0B, 0x00, 0x00, 0x04, 0x51), kSatCompleted,
       {0x04, 0x01, 0x02, 0x03, 0x04, 0xA0, 0x51, 0xB7}},
      {"48-bit registers in a descriptor", kCheckCondition,
       {0x72, 0x01, 0x00, 0x1D, 0x00, 0x00, 0x00, 0x0E, 0x09, 0x0C, 0x01,
        0x00, 0x0A, 0x01, 0x0B, 0x02, 0x0C, 0x03, 0x0D, 0x04, 0x40, 0x50},
       kSatCompleted, {0x00, 0x01, 0x02, 0x03, 0x04, 0x40, 0x50, 0xB7},
       {0xA0, 0x0A, 0x0B, 0x0C, 0x0D, 0xA5, 0xA6, 0xA7}},
      // An INFORMATION descriptor (12 bytes), then the ATA Status Return one.
      {"descriptor behind another", kCheckCondition,
       {0x72, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1A, 0x00, 0x0A, 0x80, 0x00,
        0x09, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x09, 0x0C, 0x00, 0x04,
        0x00, 0x11, 0x00, 0x22, 0x00, 0x33, 0x00, 0x44, 0xE0, 0x51},
       kSatCompleted, {0x04, 0x11, 0x22, 0x33, 0x44, 0xE0, 0x51, 0xB7}},
      {"descriptor cut short", kCheckCondition,
       WithoutLastByte(DescriptorSense(0x05, 0x24, 0x00, 0x04, 0x51)),
       kSatNotAtaPassThrough},
      {"descriptor past the additional sense length", kCheckCondition,
       [] {
         Bytes sense = DescriptorSense(0x05, 0x24, 0x00, 0x04, 0x51);
         sense[7] = 0x0D;
         return sense;
       }(),
       kSatNotAtaPassThrough},
      {"invalid field, descriptor", kCheckCondition,
       {0x72, 0x05, 0x24, 0x00, 0x00, 0x00, 0x00, 0x00}, kSatNotAtaPassThrough},

      // Fixed format, the standard's layout.
      {"unrecoverable read error", kCheckCondition,
       FixedSense(0x80, 0x03, 0x11, 0x00, {0x40, 0x51, 0xE0, 0x00}, {0x00, 0x0A, 0x0B, 0x0C}),
       kSatCompleted, {0x40, 0x00, 0x0A, 0x0B, 0x0C, 0xE0, 0x51, 0xB7}},
      {"drive aborted, fixed format of Linux 6.12 (captured)", kCheckCondition,
       AbortedSenseOfLinux6_12(), kSatCompleted,
       {0x04, 0x01, 0x00, 0x00, 0x00, 0xE0, 0x41, 0xB7},
       {0xA0, 0x00, 0x00, 0x00, 0x00, 0xA5, 0xA6, 0xA7}},
      // Upper count nonzero: kept as sent; upper LBA zero: returned as zero.
      {"48-bit registers, only the count's upper byte nonzero", kCheckCondition,
       FixedSense(0x80, 0x01, 0x00, 0x1D, {0x00, 0x50, 0x40, 0x02}, {0xC0, 0x0A, 0x0B, 0x0C}),
       kSatCompleted, {0x00, 0x02, 0x0A, 0x0B, 0x0C, 0x40, 0x50, 0xB7},
       {0xA0, 0xA1, 0x00, 0x00, 0x00, 0xA5, 0xA6, 0xA7}},
      // VALID clear, but INFORMATION filled as the standard lays it out.
      {"registers returned in fixed format", kCheckCondition,
       FixedSense(0, 0x01, 0x00, 0x1D, {0x00, 0x50, 0xA0, 0x01}, {0x00, 0x02, 0x03, 0x04}),
       kSatCompleted, {0x00, 0x01, 0x02, 0x03, 0x04, 0xA0, 0x50, 0xB7}},
      {"drive aborted, fixed format", kCheckCondition,
       FixedSense(0, 0x0B, 0x00, 0x00, {0x04, 0x51, 0xA0, 0x01}, {0x00, 0x02, 0x03, 0x04}),
       kSatCompleted, {0x04, 0x01, 0x02, 0x03, 0x04, 0xA0, 0x51, 0xB7}},
      {"drive fault, fixed format", kCheckCondition,
       FixedSense(0, 0x04, 0x44, 0x00, {0x00, 0x60, 0xA0, 0x00}, {0x00, 0x00, 0x00, 0x00}),
       kSatCompleted, {0x00, 0x00, 0x00, 0x00, 0x00, 0xA0, 0x60, 0xB7}},

      // Fixed format, Linux before 6.10: registers in bytes 8 to 11, flags in
      // 16, the LBA in 17 to 19 of which 18 bytes keep only the low byte.
      {"drive aborted, fixed format of Linux 6.1 (captured)", kCheckCondition,
       {0x70, 0x00, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x04, 0x41, 0xE0, 0x01,
        0x00, 0x00, 0x00, 0x00, 0x80, 0x00},
       kSatCompleted, {0x04, 0x01, 0x00, 0x22, 0x33, 0xE0, 0x41, 0xB7},
       {0xA0, 0x00, 0x00, 0x00, 0x00, 0xA5, 0xA6, 0xA7}},
      {"Linux 6.1 layout with all LBA bytes", kCheckCondition,
       {0x70, 0x00, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x04, 0x51, 0xE0, 0x05,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x0B, 0x0C},
       kSatCompleted, {0x04, 0x05, 0x0A, 0x0B, 0x0C, 0xE0, 0x51, 0xB7}},
      // An aborted command whose status shows no error did not fail at the
      // drive (a clean IDENTIFY with CK_COND on AHCI looks like this).
      {"aborted command without an ATA error", kCheckCondition,
       {0x70, 0x00, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x58, 0xE0, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
       kSatFailed},

      // With BSY set the command has not completed.
      {"busy status in a descriptor", kCheckCondition,
       DescriptorSense(0x01, 0x00, 0x1D, 0x00, 0xD0), kSatFailed},
      {"busy status in fixed format", kCheckCondition,
       FixedSense(0x80, 0x0B, 0x47, 0x00, {0x04, 0x81, 0xE0, 0x00}, {0x00, 0x00, 0x00, 0x00}),
       kSatFailed},

      // No ATA registers.
      {"invalid operation code, fixed", kCheckCondition,
       InvalidOpcodeSenseOfVirtioScsi(), kSatNotAtaPassThrough},
      {"not ready", kCheckCondition,
       FixedSense(0, 0x02, 0x04, 0x00, {0, 0, 0, 0}, {0, 0, 0, 0}), kSatFailed},
      {"check condition without sense", kCheckCondition, {}, kSatFailed},
      {"unknown sense format", kCheckCondition,
       {0x7F, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00}, kSatFailed},
      {"busy SCSI status", 0x08, {}, kSatFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes previous = kSentPrevious;
    Bytes current = kSentCurrent;
    // Exactly the sense bytes written, on the heap: a read past them is
    // caught in the sanitized build.
    std::vector<uint8_t> sense(c.sense);

    EXPECT_EQ(c.expected,
              ReadSatCompletion(c.scsi_status,
                                sense.empty() ? nullptr : sense.data(),
                                static_cast<int>(sense.size()),
                                previous.data(), current.data()));

    EXPECT_EQ(c.previous.empty() ? kSentPrevious : c.previous, previous);
    EXPECT_EQ(c.current.empty() ? kSentCurrent : c.current, current);
  }
}

}  // namespace
