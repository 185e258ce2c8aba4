#include "port/linux/crlf_text_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <unistd.h>

namespace {

int CookieToFd(void* cookie) {
  return static_cast<int>(reinterpret_cast<intptr_t>(cookie));
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t written = write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// The stream's buffer arrives here when it is flushed. Returning 0 marks the
// stream as failed.
ssize_t WriteTranslated(void* cookie, const char* data, size_t size) {
  const int fd = CookieToFd(cookie);
  char translated[1024];
  size_t used = 0;
  for (size_t i = 0; i < size; ++i) {
    if (used + 2 > sizeof translated) {
      if (!WriteAll(fd, translated, used)) return 0;
      used = 0;
    }
    if (data[i] == '\n') translated[used++] = '\r';
    translated[used++] = data[i];
  }
  if (used > 0 && !WriteAll(fd, translated, used)) return 0;
  return static_cast<ssize_t>(size);
}

int CloseFd(void* cookie) { return close(CookieToFd(cookie)); }

}  // namespace

FILE* OpenCrLfTextFile(const char* name) {
  const int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return NULL;
  cookie_io_functions_t functions = {};
  functions.write = WriteTranslated;
  functions.close = CloseFd;
  FILE* stream = fopencookie(reinterpret_cast<void*>(static_cast<intptr_t>(fd)),
                             "w", functions);
  if (stream == NULL) {
    const int saved = errno;
    close(fd);
    errno = saved;
  }
  return stream;
}
