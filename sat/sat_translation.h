#ifndef QORVANE_SAT_SAT_TRANSLATION_H_
#define QORVANE_SAT_SAT_TRANSLATION_H_

// The part of IOCTL_ATA_PASS_THROUGH that does not depend on an operating
// system: an ATA_PASS_THROUGH_EX request (its AtaFlags, DataTransferLength and
// task files) becomes a SCSI ATA PASS-THROUGH (16) command block, and what a
// SCSI/ATA translation layer answers becomes the returned task files. It works
// on plain bytes and calls no library function, so that it also builds where
// there is no C runtime (a Windows kernel-mode driver).

#include <stdint.h>

// AtaFlags bits of ATA_PASS_THROUGH_EX.
constexpr uint16_t kAtaFlagDrdyRequired = 0x01;
constexpr uint16_t kAtaFlagDataIn = 0x02;
constexpr uint16_t kAtaFlagDataOut = 0x04;
constexpr uint16_t kAtaFlag48BitCommand = 0x08;
constexpr uint16_t kAtaFlagUseDma = 0x10;

// A task file is 8 bytes in the order of IDEREGS, as in ATA_PASS_THROUGH_EX.
constexpr int kTaskFileSize = 8;
constexpr int kTaskFileFeaturesOrError = 0;
constexpr int kTaskFileSectorCount = 1;
constexpr int kTaskFileLbaLow = 2;
constexpr int kTaskFileLbaMid = 3;
constexpr int kTaskFileLbaHigh = 4;
constexpr int kTaskFileDevice = 5;
constexpr int kTaskFileCommandOrStatus = 6;

constexpr int kAtaPassThrough16Size = 16;
constexpr uint8_t kAtaPassThrough16 = 0x85;

// Data moves in blocks of this many bytes as far as the command block says.
constexpr uint32_t kAtaBlockSize = 512;

// Status register written back for a clean completion: a translator reports
// one as GOOD without registers (the check condition that would carry them is
// not asked for), and a clean ATA completion shows DRDY and DSC.
constexpr uint8_t kAtaStatusCleanCompletion = 0x50;

// Fills `cdb` with the ATA PASS-THROUGH (16) command block for a request with
// these AtaFlags, DataTransferLength and task files. Returns false, with `cdb`
// all zero, when the request cannot be put in a command block: both data
// directions, or a data transfer whose length is zero or not a whole number of
// 512-byte blocks.
bool BuildAtaPassThrough16(uint16_t ata_flags, uint32_t data_transfer_length,
                           const uint8_t previous_task_file[kTaskFileSize],
                           const uint8_t current_task_file[kTaskFileSize],
                           uint8_t cdb[kAtaPassThrough16Size]);

enum SatCompletion {
  // The command reached the ATA device and completed, even if the drive
  // aborted it: the returned status register then has ERR set.
  kSatCompleted,
  // CHECK CONDITION, ILLEGAL REQUEST, and no ATA registers: the device did not
  // take the command block itself (a disk that does not speak ATA).
  kSatNotAtaPassThrough,
  // Anything else: another SCSI status, sense data without ATA registers, or
  // registers whose status still shows BSY.
  kSatFailed,
};

// What a completed SCSI command says of the ATA command: its SCSI status byte
// and the `sense_length` sense bytes the transport wrote. On kSatCompleted
// writes the returned registers into the task files; registers that are not
// returned keep what was sent. Otherwise the task files are left alone.
SatCompletion ReadSatCompletion(uint8_t scsi_status, const uint8_t* sense,
                                int sense_length,
                                uint8_t previous_task_file[kTaskFileSize],
                                uint8_t current_task_file[kTaskFileSize]);

#endif  // QORVANE_SAT_SAT_TRANSLATION_H_
