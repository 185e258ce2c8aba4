/* The cheapest program that ends where qorvane ends on a machine without a
   drive: it creates the two files, fails to open the drive, writes the same
   error line and returns -1. Its instruction count is the start-up floor. */
#include <fcntl.h>
#include <stdio.h>

int main(void) {
  FILE* error_file = fopen("qorvane.err", "w");
  FILE* report_file = fopen("qorvane.log", "w");
  if (report_file == NULL) return -3;
  if (open("/dev/sda", O_RDWR | O_CLOEXEC) < 0) {
    if (error_file != NULL) {
      fprintf(error_file, "Error opening drive handle, returning %d\r\n", -1);
    }
    return -1;
  }
  return 0;
}
