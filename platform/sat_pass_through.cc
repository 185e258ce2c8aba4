#include "platform/sat_pass_through.h"

#include <errno.h>
#include <limits.h>
#include <string.h>
#include <sys/ioctl.h>

namespace {

// Task file bytes of ATA_PASS_THROUGH_EX, in the order of Windows' IDEREGS.
constexpr int kFeaturesOrError = 0;
constexpr int kSectorCount = 1;
constexpr int kLbaLow = 2;
constexpr int kLbaMid = 3;
constexpr int kLbaHigh = 4;
constexpr int kDevice = 5;
constexpr int kCommandOrStatus = 6;

// Command block byte 1, bits 4:1.
constexpr unsigned char kProtocolNonData = 3;
constexpr unsigned char kProtocolPioDataIn = 4;
constexpr unsigned char kProtocolPioDataOut = 5;
constexpr unsigned char kProtocolDma = 6;
constexpr unsigned char kExtend = 0x01;

// Command block byte 2. The task file goes to the drive as the caller wrote
// it, so the count register cannot be made to carry a byte count: the length
// is given as 512-byte blocks "in the sector count field", and the translation
// layer moves the SG_IO transfer length, as it does for any PIO command whose
// count the drive itself decides (IDENTIFY sends count 0).
constexpr unsigned char kTransferFromDevice = 0x08;   // T_DIR
constexpr unsigned char kTransferInBlocks = 0x04;     // BYT_BLOK
constexpr unsigned char kLengthInSectorCount = 0x02;  // T_LENGTH

constexpr unsigned char kScsiStatusGood = 0x00;
constexpr unsigned char kScsiStatusCheckCondition = 0x02;
constexpr unsigned short kHostTimeOut = 0x03;    // DID_TIME_OUT
constexpr unsigned short kDriverTimeOut = 0x06;  // DRIVER_TIMEOUT
constexpr unsigned short kDriverSense = 0x08;    // DRIVER_SENSE

constexpr unsigned char kSenseKeyIllegalRequest = 0x05;
constexpr unsigned char kAtaStatusReturnDescriptor = 0x09;
constexpr unsigned char kSenseInformationValid = 0x80;
constexpr unsigned char kAtaStatusBusy = 0x80;
constexpr unsigned char kAtaStatusDeviceFault = 0x20;
constexpr unsigned char kAtaStatusError = 0x01;

struct AtaRegisters {
  bool extend;
  bool lba_known;
  unsigned char error;
  unsigned char count;
  unsigned char lba_low;
  unsigned char lba_mid;
  unsigned char lba_high;
  unsigned char device;
  unsigned char status;
  // The high-order bytes of a 48-bit command.
  unsigned char previous_count;
  unsigned char previous_lba_low;
  unsigned char previous_lba_mid;
  unsigned char previous_lba_high;
};

// Finds the ATA Status Return descriptor in descriptor-format sense data.
// Returns 1 and fills `registers` when it is there.
int ReadDescriptorSense(const unsigned char* sense, int sense_length,
                        AtaRegisters* registers) {
  int end = 8 + sense[7];
  if (end > sense_length) end = sense_length;
  int at = 8;
  while (at + 2 <= end) {
    const unsigned char* descriptor = sense + at;
    int length = 2 + descriptor[1];
    if (descriptor[0] == kAtaStatusReturnDescriptor && length >= 14 &&
        at + 14 <= end) {
      registers->extend = (descriptor[2] & 0x01) != 0;
      registers->lba_known = true;
      registers->error = descriptor[3];
      registers->previous_count = descriptor[4];
      registers->count = descriptor[5];
      registers->previous_lba_low = descriptor[6];
      registers->lba_low = descriptor[7];
      registers->previous_lba_mid = descriptor[8];
      registers->lba_mid = descriptor[9];
      registers->previous_lba_high = descriptor[10];
      registers->lba_high = descriptor[11];
      registers->device = descriptor[12];
      registers->status = descriptor[13];
      return 1;
    }
    at += length;
  }
  return 0;
}

// Fixed-format sense data holds ATA registers when it says ATA PASS-THROUGH
// INFORMATION AVAILABLE, and also when it reports a command that the drive
// ended in error: Linux's translation layer then puts the drive's error and
// status there under the translated sense code. The standard places error,
// status, device and count in the INFORMATION field (bytes 3 to 6) and the
// LBA in bytes 9 to 11 of the COMMAND-SPECIFIC INFORMATION field; older
// Linux releases (6.1 among them) leave INFORMATION zero, put error, status,
// device and count in bytes 8 to 11 and the LBA in bytes 17 to 19, past the
// 18 bytes they return. An INFORMATION field marked VALID holds an address instead.
// Returns 1 and fills `registers` when the registers are there. Only flags
// survive of the 48-bit high-order bytes, so they are not read.
int ReadFixedSense(const unsigned char* sense, int sense_length,
                   AtaRegisters* registers) {
  if (sense_length < 14 || (sense[0] & kSenseInformationValid) != 0) return 0;
  bool standard_layout =
      (sense[3] | sense[4] | sense[5] | sense[6]) != 0;
  const unsigned char* first = standard_layout ? sense + 3 : sense + 8;
  unsigned char status = first[1];
  bool information_available = sense[12] == 0x00 && sense[13] == 0x1D;
  bool ended_in_error =
      (status & kAtaStatusBusy) == 0 &&
      (status & (kAtaStatusError | kAtaStatusDeviceFault)) != 0;
  if (!information_available && !ended_in_error) return 0;
  registers->error = first[0];
  registers->status = status;
  registers->device = first[2];
  registers->count = first[3];
  const unsigned char* lba = standard_layout ? sense + 9 : sense + 17;
  registers->lba_known = lba + 3 <= sense + sense_length;
  if (registers->lba_known) {
    registers->lba_low = lba[0];
    registers->lba_mid = lba[1];
    registers->lba_high = lba[2];
  }
  return 1;
}

void WriteRegisters(const AtaRegisters& registers, unsigned char* buffer) {
  ATA_PASS_THROUGH_EX header;
  memcpy(&header, buffer, sizeof header);
  UCHAR* current = header.CurrentTaskFile;
  current[kFeaturesOrError] = registers.error;
  current[kSectorCount] = registers.count;
  if (registers.lba_known) {
    current[kLbaLow] = registers.lba_low;
    current[kLbaMid] = registers.lba_mid;
    current[kLbaHigh] = registers.lba_high;
  }
  current[kDevice] = registers.device;
  current[kCommandOrStatus] = registers.status;
  if (registers.extend) {
    UCHAR* previous = header.PreviousTaskFile;
    previous[kSectorCount] = registers.previous_count;
    previous[kLbaLow] = registers.previous_lba_low;
    previous[kLbaMid] = registers.previous_lba_mid;
    previous[kLbaHigh] = registers.previous_lba_high;
  }
  memcpy(buffer, &header, sizeof header);
}

}  // namespace

int BuildSatCommand(unsigned char* buffer, uint32_t buffer_length,
                    SatCommand* command) {
  memset(command, 0, sizeof *command);
  ATA_PASS_THROUGH_EX header;
  if (buffer == nullptr || buffer_length < sizeof header) return EINVAL;
  memcpy(&header, buffer, sizeof header);
  if (header.Length != sizeof header) return EINVAL;

  bool data_in = (header.AtaFlags & ATA_FLAGS_DATA_IN) != 0;
  bool data_out = (header.AtaFlags & ATA_FLAGS_DATA_OUT) != 0;
  bool has_data = data_in || data_out;
  bool extend = (header.AtaFlags & ATA_FLAGS_48BIT_COMMAND) != 0;
  if (data_in && data_out) return EINVAL;
  if (has_data) {
    if (header.DataTransferLength == 0) return EINVAL;
    if (header.DataBufferOffset < sizeof header ||
        header.DataBufferOffset > buffer_length ||
        header.DataTransferLength > buffer_length - header.DataBufferOffset) {
      return EINVAL;
    }
  }

  unsigned char protocol = kProtocolNonData;
  if (has_data && (header.AtaFlags & ATA_FLAGS_USE_DMA) != 0) {
    protocol = kProtocolDma;
  } else if (data_in) {
    protocol = kProtocolPioDataIn;
  } else if (data_out) {
    protocol = kProtocolPioDataOut;
  }

  // ATA_FLAGS_DRDY_REQUIRED has no field here: the translation layer issues
  // the command only to a ready device anyway.
  unsigned char* cdb = command->cdb;
  const UCHAR* current = header.CurrentTaskFile;
  const UCHAR* previous = header.PreviousTaskFile;
  cdb[0] = kAtaPassThrough16;
  cdb[1] = static_cast<unsigned char>(protocol << 1) | (extend ? kExtend : 0);
  if (has_data) {
    cdb[2] = kLengthInSectorCount | kTransferInBlocks |
             (data_in ? kTransferFromDevice : 0);
  }
  if (extend) {
    cdb[3] = previous[kFeaturesOrError];
    cdb[5] = previous[kSectorCount];
    cdb[7] = previous[kLbaLow];
    cdb[9] = previous[kLbaMid];
    cdb[11] = previous[kLbaHigh];
  }
  cdb[4] = current[kFeaturesOrError];
  cdb[6] = current[kSectorCount];
  cdb[8] = current[kLbaLow];
  cdb[10] = current[kLbaMid];
  cdb[12] = current[kLbaHigh];
  cdb[13] = current[kDevice];
  cdb[14] = current[kCommandOrStatus];

  sg_io_hdr_t* io = &command->io;
  io->interface_id = 'S';
  io->dxfer_direction = data_in    ? SG_DXFER_FROM_DEV
                        : data_out ? SG_DXFER_TO_DEV
                                   : SG_DXFER_NONE;
  io->cmd_len = sizeof command->cdb;
  io->mx_sb_len = sizeof command->sense;
  if (has_data) {
    io->dxfer_len = header.DataTransferLength;
    io->dxferp = buffer + header.DataBufferOffset;
  }
  io->cmdp = command->cdb;
  io->sbp = command->sense;
  // A zero time-out leaves the kernel's default in force.
  uint64_t timeout_ms = header.TimeOutValue * uint64_t{1000};
  io->timeout = timeout_ms > UINT_MAX ? UINT_MAX
                                      : static_cast<unsigned int>(timeout_ms);
  return 0;
}

int ReadSatOutcome(const SatCommand* command, int ioctl_errno,
                   unsigned char* buffer) {
  if (ioctl_errno != 0) return ioctl_errno;
  const sg_io_hdr_t& io = command->io;
  if (io.host_status == kHostTimeOut) return ETIMEDOUT;
  if (io.host_status != 0) return EIO;
  unsigned short driver_error = io.driver_status & 0x0f;
  if (driver_error == kDriverTimeOut) return ETIMEDOUT;
  if (driver_error != 0 && driver_error != kDriverSense) return EIO;

  AtaRegisters registers = {};
  if (io.status == kScsiStatusGood) {
    ATA_PASS_THROUGH_EX header;
    memcpy(&header, buffer, sizeof header);
    header.CurrentTaskFile[kFeaturesOrError] = 0;
    header.CurrentTaskFile[kCommandOrStatus] = kAtaStatusCleanCompletion;
    memcpy(buffer, &header, sizeof header);
    return 0;
  }
  if (io.status != kScsiStatusCheckCondition) return EIO;

  int sense_length = io.sb_len_wr;
  if (sense_length > static_cast<int>(sizeof command->sense)) {
    sense_length = sizeof command->sense;
  }
  if (sense_length < 8) return EIO;
  const unsigned char* sense = command->sense;
  unsigned char response_code = sense[0] & 0x7f;
  unsigned char sense_key = 0;
  int found = 0;
  if (response_code == 0x72 || response_code == 0x73) {
    sense_key = sense[1] & 0x0f;
    found = ReadDescriptorSense(sense, sense_length, &registers);
  } else if (response_code == 0x70 || response_code == 0x71) {
    sense_key = sense[2] & 0x0f;
    found = ReadFixedSense(sense, sense_length, &registers);
  } else {
    return EIO;
  }
  if (found) {
    WriteRegisters(registers, buffer);
    return 0;
  }
  return sense_key == kSenseKeyIllegalRequest ? EOPNOTSUPP : EIO;
}

int SendAtaPassThrough(int fd, unsigned char* buffer, uint32_t buffer_length) {
  SatCommand command;
  int result = BuildSatCommand(buffer, buffer_length, &command);
  if (result != 0) return result;
  int ioctl_errno = ioctl(fd, SG_IO, &command.io) == 0 ? 0 : errno;
  return ReadSatOutcome(&command, ioctl_errno, buffer);
}
