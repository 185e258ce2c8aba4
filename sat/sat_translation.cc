#include "sat/sat_translation.h"

#include <stdint.h>

namespace {

// Command block byte 1: PROTOCOL in bits 4:1, EXTEND in bit 0.
constexpr uint8_t kProtocolNonData = 3;
constexpr uint8_t kProtocolPioDataIn = 4;
constexpr uint8_t kProtocolPioDataOut = 5;
constexpr uint8_t kProtocolDma = 6;
constexpr uint8_t kExtend = 0x01;

// Command block byte 2.
constexpr uint8_t kTransferFromDevice = 0x08;   // T_DIR
constexpr uint8_t kTransferInBlocks = 0x04;     // BYT_BLOK, blocks of 512 bytes
constexpr uint8_t kLengthInSectorCount = 0x02;  // T_LENGTH

constexpr uint8_t kScsiStatusGood = 0x00;
constexpr uint8_t kScsiStatusCheckCondition = 0x02;

constexpr uint8_t kSenseKeyIllegalRequest = 0x05;
constexpr uint8_t kAtaStatusReturnDescriptor = 0x09;
constexpr int kAtaStatusReturnDescriptorSize = 14;
constexpr uint8_t kSenseInformationValid = 0x80;

// Fixed-format COMMAND-SPECIFIC INFORMATION flags of an ATA PASS-THROUGH.
constexpr uint8_t kFixedExtend = 0x80;
constexpr uint8_t kFixedCountUpperNonzero = 0x40;
constexpr uint8_t kFixedLbaUpperNonzero = 0x20;

constexpr uint8_t kAtaStatusBusy = 0x80;
constexpr uint8_t kAtaStatusDeviceFault = 0x20;
constexpr uint8_t kAtaStatusError = 0x01;

void CopyTaskFile(const uint8_t* from, uint8_t* to) {
  for (int i = 0; i < kTaskFileSize; ++i) to[i] = from[i];
}

// Copies sense byte `at` into `*target` when the transport returned it.
void TakeReturnedByte(const uint8_t* sense, int end, int at, uint8_t* target) {
  if (at < end) *target = sense[at];
}

// The ATA Status Return descriptor in descriptor-format sense data (`end`
// bytes of it count). Returns true and fills the task files when it is there.
bool ReadDescriptorSense(const uint8_t* sense, int end, uint8_t* previous,
                         uint8_t* current) {
  int at = 8;
  while (at + 2 <= end) {
    const uint8_t* descriptor = sense + at;
    const int length = 2 + descriptor[1];
    if (descriptor[0] == kAtaStatusReturnDescriptor &&
        length >= kAtaStatusReturnDescriptorSize &&
        at + kAtaStatusReturnDescriptorSize <= end) {
      current[kTaskFileFeaturesOrError] = descriptor[3];
      current[kTaskFileSectorCount] = descriptor[5];
      current[kTaskFileLbaLow] = descriptor[7];
      current[kTaskFileLbaMid] = descriptor[9];
      current[kTaskFileLbaHigh] = descriptor[11];
      current[kTaskFileDevice] = descriptor[12];
      current[kTaskFileCommandOrStatus] = descriptor[13];
      if ((descriptor[2] & 0x01) != 0) {
        previous[kTaskFileSectorCount] = descriptor[4];
        previous[kTaskFileLbaLow] = descriptor[6];
        previous[kTaskFileLbaMid] = descriptor[8];
        previous[kTaskFileLbaHigh] = descriptor[10];
      }
      return true;
    }
    at += length;
  }
  return false;
}

// Fixed-format sense data holds the registers in one of two layouts:
//   the standard's (Linux since 6.10): error, status, device and count in the
//   INFORMATION field (bytes 3 to 6) with VALID set; the COMMAND-SPECIFIC
//   INFORMATION field holds the EXTEND and upper-nonzero flags (byte 8) and
//   the LBA (bytes 9 to 11);
//   Linux before 6.10 (6.1 among them): VALID clear, error, status, device and
//   count in bytes 8 to 11, the flags in byte 16 and the LBA in bytes 17 to
//   19, mostly past the 18 bytes it returns.
// A translator that leaves VALID clear but fills INFORMATION follows the
// standard's layout; Linux before 6.10 never writes INFORMATION.
// The registers are there when the sense code says ATA PASS-THROUGH
// INFORMATION AVAILABLE, and also when the status shows that the drive ended
// the command in error: Linux then puts them under the translated sense code.
// Only flags survive of the 48-bit high-order bytes: those flagged as zero are
// returned as zero, the others keep what was sent.
bool ReadFixedSense(const uint8_t* sense, int end, uint8_t* previous,
                    uint8_t* current) {
  const bool standard_layout = (sense[0] & kSenseInformationValid) != 0 ||
                               (sense[3] | sense[4] | sense[5] | sense[6]) != 0;
  const int registers_at = standard_layout ? 3 : 8;
  const int flags_at = standard_layout ? 8 : 16;
  if (registers_at + 4 > end) return false;
  const uint8_t* registers = sense + registers_at;
  const bool information_available =
      end >= 14 && sense[12] == 0x00 && sense[13] == 0x1D;
  const bool ended_in_error =
      (registers[1] & (kAtaStatusError | kAtaStatusDeviceFault)) != 0;
  if (!information_available && !ended_in_error) return false;

  current[kTaskFileFeaturesOrError] = registers[0];
  current[kTaskFileCommandOrStatus] = registers[1];
  current[kTaskFileDevice] = registers[2];
  current[kTaskFileSectorCount] = registers[3];
  TakeReturnedByte(sense, end, flags_at + 1, &current[kTaskFileLbaLow]);
  TakeReturnedByte(sense, end, flags_at + 2, &current[kTaskFileLbaMid]);
  TakeReturnedByte(sense, end, flags_at + 3, &current[kTaskFileLbaHigh]);
  if (flags_at < end && (sense[flags_at] & kFixedExtend) != 0) {
    const uint8_t flags = sense[flags_at];
    if ((flags & kFixedCountUpperNonzero) == 0) {
      previous[kTaskFileSectorCount] = 0;
    }
    if ((flags & kFixedLbaUpperNonzero) == 0) {
      previous[kTaskFileLbaLow] = 0;
      previous[kTaskFileLbaMid] = 0;
      previous[kTaskFileLbaHigh] = 0;
    }
  }
  return true;
}

}  // namespace

bool BuildAtaPassThrough16(uint16_t ata_flags, uint32_t data_transfer_length,
                           const uint8_t previous_task_file[kTaskFileSize],
                           const uint8_t current_task_file[kTaskFileSize],
                           uint8_t cdb[kAtaPassThrough16Size]) {
  for (int i = 0; i < kAtaPassThrough16Size; ++i) cdb[i] = 0;
  const bool data_in = (ata_flags & kAtaFlagDataIn) != 0;
  const bool data_out = (ata_flags & kAtaFlagDataOut) != 0;
  const bool has_data = data_in || data_out;
  const bool extend = (ata_flags & kAtaFlag48BitCommand) != 0;
  if (data_in && data_out) return false;
  if (has_data && (data_transfer_length == 0 ||
                   data_transfer_length % kAtaBlockSize != 0)) {
    return false;
  }

  uint8_t protocol = kProtocolNonData;
  if (has_data && (ata_flags & kAtaFlagUseDma) != 0) {
    protocol = kProtocolDma;
  } else if (data_in) {
    protocol = kProtocolPioDataIn;
  } else if (data_out) {
    protocol = kProtocolPioDataOut;
  }

  // kAtaFlagDrdyRequired has no field here: the translation layer issues the
  // command only to a ready device anyway.
  const uint8_t* current = current_task_file;
  const uint8_t* previous = previous_task_file;
  cdb[0] = kAtaPassThrough16;
  cdb[1] = static_cast<uint8_t>(protocol << 1) | (extend ? kExtend : 0);
  if (extend) {
    cdb[3] = previous[kTaskFileFeaturesOrError];
    cdb[5] = previous[kTaskFileSectorCount];
    cdb[7] = previous[kTaskFileLbaLow];
    cdb[9] = previous[kTaskFileLbaMid];
    cdb[11] = previous[kTaskFileLbaHigh];
  }
  cdb[4] = current[kTaskFileFeaturesOrError];
  cdb[6] = current[kTaskFileSectorCount];
  cdb[8] = current[kTaskFileLbaLow];
  cdb[10] = current[kTaskFileLbaMid];
  cdb[12] = current[kTaskFileLbaHigh];
  cdb[13] = current[kTaskFileDevice];
  cdb[14] = current[kTaskFileCommandOrStatus];

  if (has_data) {
    // The length goes in the count field, in 512-byte blocks, as hdparm sends
    // it: a translator that follows the standard literally works the transfer
    // length out of that field, so a count of 0 (what IDENTIFY sends; the
    // drive ignores it) would mean no data, or 256 blocks, to it. Such a count
    // becomes the request's length in blocks when the field can hold it;
    // every other count goes to the drive as the request set it.
    cdb[2] = kLengthInSectorCount | kTransferInBlocks |
             (data_in ? kTransferFromDevice : 0);
    const uint32_t blocks = data_transfer_length / kAtaBlockSize;
    const uint32_t count = extend ? (uint32_t{cdb[5]} << 8) | cdb[6] : cdb[6];
    const uint32_t count_limit = extend ? 0xFFFF : 0xFF;
    if (count == 0 && blocks <= count_limit) {
      cdb[5] = static_cast<uint8_t>(blocks >> 8);
      cdb[6] = static_cast<uint8_t>(blocks);
    }
  }
  return true;
}

SatCompletion ReadSatCompletion(uint8_t scsi_status, const uint8_t* sense,
                                int sense_length,
                                uint8_t previous_task_file[kTaskFileSize],
                                uint8_t current_task_file[kTaskFileSize]) {
  if (scsi_status == kScsiStatusGood) {
    current_task_file[kTaskFileFeaturesOrError] = 0;
    current_task_file[kTaskFileCommandOrStatus] = kAtaStatusCleanCompletion;
    return kSatCompleted;
  }
  if (scsi_status != kScsiStatusCheckCondition) return kSatFailed;
  if (sense == nullptr || sense_length < 8) return kSatFailed;

  // Only what the transport wrote and the sense data counts as its own.
  int end = 8 + sense[7];
  if (end > sense_length) end = sense_length;

  // The registers are gathered in copies, so that the task files change only
  // when the command completed.
  uint8_t previous[kTaskFileSize];
  uint8_t current[kTaskFileSize];
  CopyTaskFile(previous_task_file, previous);
  CopyTaskFile(current_task_file, current);
  const uint8_t response_code = sense[0] & 0x7F;
  uint8_t sense_key = 0;
  bool found = false;
  if (response_code == 0x72 || response_code == 0x73) {
    sense_key = sense[1] & 0x0F;
    found = ReadDescriptorSense(sense, end, previous, current);
  } else if (response_code == 0x70 || response_code == 0x71) {
    sense_key = sense[2] & 0x0F;
    found = ReadFixedSense(sense, end, previous, current);
  } else {
    return kSatFailed;
  }
  if (!found) {
    return sense_key == kSenseKeyIllegalRequest ? kSatNotAtaPassThrough
                                                : kSatFailed;
  }
  // With BSY set the other status bits mean nothing: the command is still
  // running at the drive, or the translator gave up on it.
  if ((current[kTaskFileCommandOrStatus] & kAtaStatusBusy) != 0) {
    return kSatFailed;
  }
  CopyTaskFile(previous, previous_task_file);
  CopyTaskFile(current, current_task_file);
  return kSatCompleted;
}
