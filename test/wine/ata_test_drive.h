/* What the test drive and its control helper exchange. Shared by the driver
   (kernel mode) and the helper (user mode); both are 64-bit builds. */
#ifndef ATA_TEST_DRIVE_H
#define ATA_TEST_DRIVE_H

/* The helper reaches the drive through a control device of its own, so that
   its opens and requests never show in what the drive records. */
#define ATA_TEST_CONTROL_PATH "\\\\.\\AtaTestControl"

/* Private controls: device type FILE_DEVICE_UNKNOWN (0x22), functions 0x800
   and 0x801, buffered, any access. */
#define IOCTL_ATA_TEST_SETUP 0x00222000u  /* in: AtaTestSetup */
#define IOCTL_ATA_TEST_RECORD 0x00222004u /* out: AtaTestRecord */

#define ATA_TEST_HEADER_SIZE 48   /* ATA_PASS_THROUGH_EX, 64-bit layout */
#define ATA_TEST_IDENTIFY_SIZE 512

/* How the drive answers the next pass-through requests. */
typedef struct AtaTestSetup {
  long completion_status;   /* 0 answers; any other NTSTATUS fails the request */
  unsigned long write_data; /* 0: complete with success but hand back no data */
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
  unsigned char header[ATA_TEST_HEADER_SIZE]; /* first input bytes, zero-padded */
} AtaTestRecord;

#endif
