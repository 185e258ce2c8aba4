#include "port/linux/sat_pass_through.h"

#include <errno.h>
#include <limits.h>
#include <string.h>
#include <sys/ioctl.h>

// The translation core keeps its own copy of the flag bits, since it builds
// without any Windows header.
static_assert(ATA_FLAGS_DRDY_REQUIRED == kAtaFlagDrdyRequired, "AtaFlags bit");
static_assert(ATA_FLAGS_DATA_IN == kAtaFlagDataIn, "AtaFlags bit");
static_assert(ATA_FLAGS_DATA_OUT == kAtaFlagDataOut, "AtaFlags bit");
static_assert(ATA_FLAGS_48BIT_COMMAND == kAtaFlag48BitCommand, "AtaFlags bit");
static_assert(ATA_FLAGS_USE_DMA == kAtaFlagUseDma, "AtaFlags bit");

namespace {

constexpr unsigned short kHostTimeOut = 0x03;    // DID_TIME_OUT
constexpr unsigned short kDriverTimeOut = 0x06;  // DRIVER_TIMEOUT
constexpr unsigned short kDriverSense = 0x08;    // DRIVER_SENSE

}  // namespace

int BuildSatCommand(unsigned char* buffer, uint32_t buffer_length,
                    SatCommand* command) {
  memset(command, 0, sizeof *command);
  ATA_PASS_THROUGH_EX header;
  if (buffer == nullptr || buffer_length < sizeof header) return EINVAL;
  memcpy(&header, buffer, sizeof header);
  if (header.Length != sizeof header) return EINVAL;

  const bool data_in = (header.AtaFlags & ATA_FLAGS_DATA_IN) != 0;
  const bool data_out = (header.AtaFlags & ATA_FLAGS_DATA_OUT) != 0;
  const bool has_data = data_in || data_out;
  if (has_data && (header.DataBufferOffset < sizeof header ||
                   header.DataBufferOffset > buffer_length ||
                   header.DataTransferLength >
                       buffer_length - header.DataBufferOffset)) {
    return EINVAL;
  }
  if (!BuildAtaPassThrough16(header.AtaFlags, header.DataTransferLength,
                             header.PreviousTaskFile, header.CurrentTaskFile,
                             command->cdb)) {
    return EINVAL;
  }

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

  int sense_length = io.sb_len_wr;
  if (sense_length > static_cast<int>(sizeof command->sense)) {
    sense_length = sizeof command->sense;
  }
  ATA_PASS_THROUGH_EX header;
  memcpy(&header, buffer, sizeof header);
  switch (ReadSatCompletion(io.status, command->sense, sense_length,
                            header.PreviousTaskFile, header.CurrentTaskFile)) {
    case kSatCompleted:
      memcpy(buffer, &header, sizeof header);
      return 0;
    case kSatNotAtaPassThrough:
      return EOPNOTSUPP;
    case kSatFailed:
      break;
  }
  return EIO;
}

uint32_t SatDataTransferred(const SatCommand* command) {
  const sg_io_hdr_t& io = command->io;
  if (io.resid <= 0) return io.dxfer_len;
  const unsigned int residual = static_cast<unsigned int>(io.resid);
  return residual >= io.dxfer_len ? 0 : io.dxfer_len - residual;
}

int SendAtaPassThrough(int fd, unsigned char* buffer, uint32_t buffer_length,
                       uint32_t* data_transferred) {
  *data_transferred = 0;
  SatCommand command;
  int result = BuildSatCommand(buffer, buffer_length, &command);
  if (result != 0) return result;
  int ioctl_errno = ioctl(fd, SG_IO, &command.io) == 0 ? 0 : errno;
  result = ReadSatOutcome(&command, ioctl_errno, buffer);
  if (result == 0) *data_transferred = SatDataTransferred(&command);
  return result;
}
