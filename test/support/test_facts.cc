#include "test/support/test_facts.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <iterator>
#include <system_error>

namespace {

const char kOldContentsText[] = "left over from an earlier run\r\n";

void PutLittleEndian(std::vector<uint8_t>* bytes, size_t offset, uint64_t value,
                     size_t width) {
  for (size_t i = 0; i < width; ++i) {
    (*bytes)[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

// The fuzz target prepares the places millions of times: plain system calls.
bool RemovePlace(const char* name) {
  struct stat status;
  if (lstat(name, &status) != 0) return errno == ENOENT;
  if (S_ISDIR(status.st_mode)) {
    const std::string inside = std::string(name) + "/inside";
    (void)unlink(inside.c_str());
    return rmdir(name) == 0;
  }
  return unlink(name) == 0;
}

bool WriteWholeFile(const char* name, const char* text) {
  const int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const size_t size = strlen(text);
  const bool written = write(fd, text, size) == static_cast<ssize_t>(size);
  return close(fd) == 0 && written;
}

std::string ReadWholeFile(const char* name) {
  std::string bytes;
  const int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "<unreadable>";
  char chunk[4096];
  ssize_t got;
  while ((got = read(fd, chunk, sizeof chunk)) > 0) {
    bytes.append(chunk, static_cast<size_t>(got));
  }
  close(fd);
  return bytes;
}

}  // namespace

std::vector<uint8_t> IdentifyRequestHeader(size_t header_size) {
  // The layouts differ in DataBufferOffset alone, a ULONG_PTR.
  size_t offset_at = 0;
  size_t offset_width = 0;
  if (header_size == 40) {
    offset_at = 20;
    offset_width = 4;
  } else if (header_size == 48) {
    offset_at = 24;
    offset_width = 8;
  } else {
    return {};
  }
  std::vector<uint8_t> header(header_size, 0);
  PutLittleEndian(&header, 0, header_size, 2);  // Length
  PutLittleEndian(&header, 2, 3, 2);            // AtaFlags: DRDY_REQUIRED | DATA_IN
  PutLittleEndian(&header, 8, 512, 4);          // DataTransferLength
  PutLittleEndian(&header, 12, 8, 4);           // TimeOutValue, seconds
  PutLittleEndian(&header, offset_at, header_size, offset_width);  // DataBufferOffset
  // PreviousTaskFile stays zero; CurrentTaskFile is the last 8 bytes.
  memcpy(&header[header_size - 8], kIdentifyTaskFile, sizeof kIdentifyTaskFile);
  return header;
}

void PutAtaString(unsigned char* identify_data, int offset,
                  const std::string& text) {
  for (size_t i = 0; i < text.size(); i += 2) {
    identify_data[offset + i + 1] = static_cast<unsigned char>(text[i]);
    identify_data[offset + i] = static_cast<unsigned char>(text[i + 1]);
  }
}

std::vector<uint8_t> DescriptorSense(uint8_t key, uint8_t asc, uint8_t ascq,
                                     uint8_t error, uint8_t status) {
  return {0x72, key,  asc,  ascq,  0x00, 0x00, 0x00, 0x0E,
          0x09, 0x0C, 0x00, error, 0x00, 0x01, 0x00, 0x02,
          0x00, 0x03, 0x00, 0x04,  0xA0, status};
}

std::vector<uint8_t> FixedSense(uint8_t valid, uint8_t key, uint8_t asc,
                                uint8_t ascq,
                                const std::vector<uint8_t>& information,
                                const std::vector<uint8_t>& specific) {
  std::vector<uint8_t> sense = {static_cast<uint8_t>(0x70 | valid),
                                0x00, key, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0,
                                asc, ascq, 0, 0, 0, 0};
  for (int i = 0; i < 4; ++i) {
    sense[3 + i] = information[i];
    sense[8 + i] = specific[i];
  }
  return sense;
}

std::vector<uint8_t> AbortedSenseOfLinux6_12() {
  return {0xF0, 0x00, 0x0B, 0x04, 0x41, 0xE0, 0x01, 0x0A, 0x80,
          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
}

std::vector<uint8_t> InvalidOpcodeSenseOfVirtioScsi() {
  return {0x70, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x00,
          0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00};
}

bool PreparePlace(const char* name, Place place) {
  if (!RemovePlace(name)) return false;
  switch (place) {
    case kNothing:
      return true;
    case kOldContents:
      return WriteWholeFile(name, kOldContentsText);
    case kDirectory:
      return mkdir(name, 0755) == 0 &&
             WriteWholeFile((std::string(name) + "/inside").c_str(), "keep");
    case kFullDevice:
      return symlink("/dev/full", name) == 0;
  }
  return false;
}

std::string ShowPlace(const char* name) {
  struct stat status;
  if (lstat(name, &status) != 0) return "<absent>";
  if (S_ISLNK(status.st_mode)) {
    char target[64] = {};
    const ssize_t length = readlink(name, target, sizeof target - 1);
    return length > 0 && strcmp(target, "/dev/full") == 0 ? kShowsLink
                                                          : "<changed link>";
  }
  if (S_ISDIR(status.st_mode)) {
    const std::string inside = std::string(name) + "/inside";
    std::error_code error;
    const auto entries =
        std::distance(std::filesystem::directory_iterator(name, error),
                      std::filesystem::directory_iterator());
    return entries == 1 && ReadWholeFile(inside.c_str()) == "keep"
               ? kShowsDirectory
               : "<changed directory>";
  }
  if (!S_ISREG(status.st_mode)) return "<not a file>";
  return ReadWholeFile(name);
}

std::string MakeScratchFolder(const std::string& prefix) {
  std::string pattern = prefix + "XXXXXX";
  if (mkdtemp(&pattern[0]) == NULL) return "";
  return pattern;
}

void RemoveScratchFolder(const std::string& folder) {
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}
