#ifndef QORVANE_PORT_LINUX_SAT_PASS_THROUGH_H_
#define QORVANE_PORT_LINUX_SAT_PASS_THROUGH_H_

// IOCTL_ATA_PASS_THROUGH on Linux: the ATA_PASS_THROUGH_EX request goes to the
// disk through the kernel's SCSI generic interface (SG_IO) as an
// ATA PASS-THROUGH (16) command block, which the kernel's SCSI/ATA translation
// layer (or a bridge that speaks it) turns back into the ATA command. The
// command block and the reading of the answer are sat_translation's; this is
// the Linux half around them.
//
// Results, as the errno value that becomes the last-error number:
//   0           the command reached the ATA device and completed. A command
//               that the drive aborted is complete too: the status register
//               written back into CurrentTaskFile then has its ERR bit set.
//   EINVAL      (22) the request is malformed: the header's Length is not the
//               size of ATA_PASS_THROUGH_EX, both data directions are asked
//               for, a data direction comes with a transfer length that is
//               zero or not a whole number of 512-byte blocks, or the data
//               area (DataBufferOffset, DataTransferLength) does not lie
//               behind the header inside the buffer.
//   EOPNOTSUPP  (95) the device refused the command block itself: CHECK
//               CONDITION with sense key ILLEGAL REQUEST and no ATA registers.
//               This is what a disk that does not speak ATA (a plain SCSI or
//               virtio disk) answers.
//   ETIMEDOUT   (110) the SCSI layer ended the command as timed out (host
//               status DID_TIME_OUT or driver status DRIVER_TIMEOUT): it got
//               no answer within TimeOutValue.
//   EIO         (5) the command never completed at an ATA device for any other
//               reason: a host or driver error on the way, a SCSI status other
//               than GOOD or CHECK CONDITION, a CHECK CONDITION that carries
//               no ATA registers and is no ILLEGAL REQUEST (NOT READY, UNIT
//               ATTENTION, HARDWARE ERROR, ...), or returned registers whose
//               status still shows BSY.
//   any other   the errno of the SG_IO ioctl itself (for instance ENOTTY when
//               the file is no SCSI device, EPERM without the rights to send
//               raw commands).

#include <scsi/sg.h>
#include <stdint.h>

#include "port/linux/windows_api-posix.h"
#include "sat/sat_translation.h"

// One SG_IO request. `io` points into `cdb` and `sense`, so the record is
// filled and used where it lies, never copied.
struct SatCommand {
  sg_io_hdr_t io;
  unsigned char cdb[kAtaPassThrough16Size];
  unsigned char sense[96];
};

// Fills `command` for the ATA_PASS_THROUGH_EX request at the start of `buffer`
// (`buffer_length` bytes in all): the command block from the task files and
// AtaFlags, the data direction and pointer, the time-out in milliseconds.
// Returns 0, or EINVAL for a malformed request.
int BuildSatCommand(unsigned char* buffer, uint32_t buffer_length,
                    SatCommand* command);

// Reads the outcome of `command` after the SG_IO ioctl returned with
// `ioctl_errno` (0 when it succeeded). When the command completed at the ATA
// device, writes the returned registers into the CurrentTaskFile (and, for a
// 48-bit command, the PreviousTaskFile) of the header at the start of `buffer`
// and returns 0; registers that the translation layer does not return keep
// the values that were sent. Otherwise returns the errno value of the failure
// class and leaves the header alone. Of the sense buffer only the `sb_len_wr`
// bytes the kernel wrote are read.
int ReadSatOutcome(const SatCommand* command, int ioctl_errno,
                   unsigned char* buffer);

// The data bytes `command` actually moved: its transfer length less the
// residual count the kernel reported (a negative or oversized residual counts
// as nothing moved or everything moved, never more).
uint32_t SatDataTransferred(const SatCommand* command);

// Sends the ATA_PASS_THROUGH_EX request that begins `buffer` (data area at the
// header's DataBufferOffset; `buffer_length` bytes in all) to the SCSI generic
// device open as `fd` as ATA PASS-THROUGH (16), and writes the registers the
// device returns into the header's CurrentTaskFile as Windows does.
// Returns 0 when the command reached the ATA device and completed (even if the
// drive aborted it: the status register then shows the error), with the data
// bytes it moved in `data_transferred`; otherwise the errno value the caller
// reports as the last-error number.
int SendAtaPassThrough(int fd, unsigned char* buffer, uint32_t buffer_length,
                       uint32_t* data_transferred);

#endif  // QORVANE_PORT_LINUX_SAT_PASS_THROUGH_H_
