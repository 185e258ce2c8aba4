/* Times, inside one process, the three calls of the program's drive step
   (open "\\.\PhysicalDrive0", one IDENTIFY pass-through request, close) ROUNDS
   times each, first with the program's buffer (header and a 128 KiB data
   area), then with a data area of just the 512 bytes IDENTIFY returns. It
   tells how much of the drive step is the moving of the large buffer.

     request_cost ROUNDS

   Prints, per buffer, the medians and then the first round's times, which
   also hold what a process pays for its first use of the drive (the one use a
   run of the program makes):
   "buffer BYTES open NS request NS close NS first NS NS NS". */
#include <windows.h>
#include <ntddscsi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MAX_ROUNDS 1000

static int CompareDoubles(const void *a, const void *b) {
  const double x = *(const double *)a, y = *(const double *)b;
  return x < y ? -1 : x > y;
}

static double Median(double *values, int count) {
  qsort(values, count, sizeof *values, CompareDoubles);
  return count % 2 ? values[count / 2] : (values[count / 2 - 1] + values[count / 2]) / 2;
}

static double Nanoseconds(LARGE_INTEGER from, LARGE_INTEGER to, LARGE_INTEGER frequency) {
  return (double)(to.QuadPart - from.QuadPart) * 1e9 / (double)frequency.QuadPart;
}

/* The IDENTIFY DEVICE request as the program sends it. */
static void BuildRequest(ATA_PASS_THROUGH_EX *header) {
  memset(header, 0, sizeof *header);
  header->Length = sizeof *header;
  header->AtaFlags = ATA_FLAGS_DRDY_REQUIRED | ATA_FLAGS_DATA_IN;
  header->DataTransferLength = 512;
  header->TimeOutValue = 8;
  header->DataBufferOffset = sizeof *header;
  header->CurrentTaskFile[5] = 0xE0;
  header->CurrentTaskFile[6] = 0xEC;
}

static int TimeSteps(DWORD buffer_size, int rounds, LARGE_INTEGER frequency) {
  static double open_times[MAX_ROUNDS], request_times[MAX_ROUNDS], close_times[MAX_ROUNDS];
  unsigned char *buffer = VirtualAlloc(NULL, buffer_size, MEM_COMMIT, PAGE_READWRITE);
  if (buffer == NULL) return 1;
  for (int round = 0; round < rounds; ++round) {
    ATA_PASS_THROUGH_EX header;
    LARGE_INTEGER before_open, opened, answered, closed;
    DWORD bytes_returned = 0;
    BuildRequest(&header);
    memset(buffer, 0, buffer_size);
    memcpy(buffer, &header, sizeof header);
    QueryPerformanceCounter(&before_open);
    HANDLE drive = CreateFileA("\\\\.\\PhysicalDrive0", GENERIC_READ | GENERIC_WRITE, 0,
                               NULL, OPEN_EXISTING, 0, NULL);
    QueryPerformanceCounter(&opened);
    if (drive == INVALID_HANDLE_VALUE) {
      fprintf(stderr, "request_cost: open failed: %lu\n", GetLastError());
      return 1;
    }
    const BOOL answered_ok = DeviceIoControl(drive, IOCTL_ATA_PASS_THROUGH, buffer,
                                             buffer_size, buffer, buffer_size,
                                             &bytes_returned, NULL);
    QueryPerformanceCounter(&answered);
    CloseHandle(drive);
    QueryPerformanceCounter(&closed);
    if (!answered_ok) {
      fprintf(stderr, "request_cost: request failed: %lu\n", GetLastError());
      return 1;
    }
    open_times[round] = Nanoseconds(before_open, opened, frequency);
    request_times[round] = Nanoseconds(opened, answered, frequency);
    close_times[round] = Nanoseconds(answered, closed, frequency);
  }
  const double first_open = open_times[0], first_request = request_times[0],
               first_close = close_times[0];
  printf("buffer %lu open %.0f request %.0f close %.0f first %.0f %.0f %.0f\n",
         buffer_size, Median(open_times, rounds), Median(request_times, rounds),
         Median(close_times, rounds), first_open, first_request, first_close);
  VirtualFree(buffer, 0, MEM_RELEASE);
  return 0;
}

int main(int argc, char **argv) {
  const int rounds = argc == 2 ? atoi(argv[1]) : 0;
  LARGE_INTEGER frequency;
  if (rounds <= 0 || rounds > MAX_ROUNDS) {
    fprintf(stderr, "usage: request_cost ROUNDS (at most %d)\n", MAX_ROUNDS);
    return 2;
  }
  QueryPerformanceFrequency(&frequency);
  if (TimeSteps(sizeof(ATA_PASS_THROUGH_EX) + 128 * 1024, rounds, frequency) != 0 ||
      TimeSteps(sizeof(ATA_PASS_THROUGH_EX) + 512, rounds, frequency) != 0) {
    return 1;
  }
  return fflush(stdout) == 0 ? 0 : 1;
}
