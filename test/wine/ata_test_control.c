/* Control helper for the simulated drive:
     ata_test_control setup FILE   sends FILE (an AtaTestSetup) to the drive
     ata_test_control record FILE  writes the drive's AtaTestRecord to FILE */
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "ata_test_drive.h"

static int SendSetup(HANDLE drive, const char *file_name) {
  AtaTestSetup setup;
  DWORD returned = 0;
  FILE *file = fopen(file_name, "rb");
  size_t got = 0;
  if (file) {
    got = fread(&setup, 1, sizeof setup, file);
    fclose(file);
  }
  if (got != sizeof setup) {
    fprintf(stderr, "cannot read %u bytes from %s\n", (unsigned)sizeof setup, file_name);
    return 1;
  }
  if (!DeviceIoControl(drive, IOCTL_ATA_TEST_SETUP, &setup, sizeof setup, NULL, 0,
                       &returned, NULL)) {
    fprintf(stderr, "setup failed: %lu\n", GetLastError());
    return 1;
  }
  return 0;
}

static int SaveRecord(HANDLE drive, const char *file_name) {
  AtaTestRecord record;
  DWORD returned = 0;
  FILE *file;
  if (!DeviceIoControl(drive, IOCTL_ATA_TEST_RECORD, NULL, 0, &record, sizeof record,
                       &returned, NULL) ||
      returned != sizeof record) {
    fprintf(stderr, "record failed: %lu\n", GetLastError());
    return 1;
  }
  file = fopen(file_name, "wb");
  if (!file || fwrite(&record, 1, sizeof record, file) != sizeof record || fclose(file) != 0) {
    fprintf(stderr, "cannot write %s\n", file_name);
    return 1;
  }
  return 0;
}

int main(int argc, char **argv) {
  HANDLE drive;
  int result;
  if (argc != 3 || (strcmp(argv[1], "setup") != 0 && strcmp(argv[1], "record") != 0)) {
    fprintf(stderr, "usage: ata_test_control setup|record FILE\n");
    return 2;
  }
  drive = CreateFileA(ATA_TEST_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                      OPEN_EXISTING, 0, NULL);
  if (drive == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "cannot open %s: %lu\n", ATA_TEST_CONTROL_PATH, GetLastError());
    return 1;
  }
  result = strcmp(argv[1], "setup") == 0 ? SendSetup(drive, argv[2]) : SaveRecord(drive, argv[2]);
  CloseHandle(drive);
  return result;
}
