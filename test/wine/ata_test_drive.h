/* What the test drive and its control helper exchange. Shared by the driver
   (kernel mode) and the helper (user mode), built for the same architecture
   as the program under test, 32- or 64-bit. */
#ifndef ATA_TEST_DRIVE_H
#define ATA_TEST_DRIVE_H

/* The helper reaches the drive through a control device of its own, so that
   its opens and requests never show in what the drive records. */
#define ATA_TEST_CONTROL_PATH "\\\\.\\AtaTestControl"

/* Private controls: device type FILE_DEVICE_UNKNOWN (0x22), functions 0x800
   and 0x801, buffered, any access. */
#define IOCTL_ATA_TEST_SETUP 0x00222000u  /* in: AtaTestSetup */
#define IOCTL_ATA_TEST_RECORD 0x00222004u /* out: AtaTestRecord */

/* ATA_PASS_THROUGH_EX: 40 bytes in the 32-bit layout, 48 in the 64-bit one,
   where DataBufferOffset (a ULONG_PTR) is 8 bytes and aligned to 8. */
#define ATA_TEST_HEADER_SIZE (sizeof(void *) == 8 ? 48 : 40)
#define ATA_TEST_DATA_BUFFER_OFFSET_POSITION (sizeof(void *) == 8 ? 24 : 20)
#define ATA_TEST_DATA_TRANSFER_LENGTH_POSITION 8
/* The record keeps this many first input bytes in either layout. */
#define ATA_TEST_RECORDED_BYTES 48
#define ATA_TEST_IDENTIFY_SIZE 512

/* How a request that is not failed completes, in the ways Windows' drivers
   complete one: the byte count (IoStatus.Information) is what is handed back,
   and DataTransferLength is updated to the data moved. */
enum AtaTestCompletion {
  /* the data, with the registers written back: status 0x50 (DRDY, DSC) */
  ATA_TEST_DATA_AND_REGISTERS = 0,
  /* the data, the registers left as sent (status byte still 0xEC) */
  ATA_TEST_DATA_ONLY = 1,
  /* the drive aborted: status 0x51, error 0x04 (ABRT), no data; completed as a
     success, as Windows' AHCI driver completes it */
  ATA_TEST_ABORTED = 2,
  /* success, nothing handed back but the header as sent */
  ATA_TEST_NO_DATA = 3,
  /* the data and the count as with ATA_TEST_DATA_AND_REGISTERS, but status
     0x51 and error 0x04 left from an earlier command, as an AHCI driver that
     reads the registers from the last D2H register FIS hands them back after
     a successful PIO data-in command */
  ATA_TEST_STALE_ERROR = 4
};

/* How the drive answers the next pass-through requests. */
typedef struct AtaTestSetup {
  long completion_status;   /* 0 completes; any other NTSTATUS fails the request */
  unsigned long completion; /* an AtaTestCompletion */
  unsigned char identify[ATA_TEST_IDENTIFY_SIZE];
} AtaTestSetup;

/* What the drive was sent since the last setup. */
typedef struct AtaTestRecord {
  unsigned long open_count;    /* opens of the drive */
  unsigned long request_count; /* device controls sent to the drive */
  unsigned long control_code;  /* of the last one */
  unsigned long input_length;
  unsigned long output_length;
  unsigned long data_area_zero; /* 1 when every input byte behind the header was 0 */
  unsigned long share_access;   /* of the last open of the drive */
  unsigned char header[ATA_TEST_RECORDED_BYTES]; /* first input bytes, zero-padded */
} AtaTestRecord;

#endif
