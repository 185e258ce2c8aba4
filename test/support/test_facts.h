#ifndef QORVANE_TEST_SUPPORT_TEST_FACTS_H_
#define QORVANE_TEST_SUPPORT_TEST_FACTS_H_

// What several tests and the fuzz targets state about the world around the
// program, written once from the published layouts rather than from the
// program's own code: the IDENTIFY request as it must leave, IDENTIFY texts as
// a drive lays them out, sense data as a SCSI/ATA translation layer returns
// it, and what may stand where the two output files go.

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// ---- The request ----

// The task file of IDENTIFY DEVICE: device register 0xE0 (LBA mode, device 0),
// command 0xEC, every other register zero.
constexpr uint8_t kIdentifyTaskFile[8] = {0x00, 0x00, 0x00, 0x00,
                                          0x00, 0xE0, 0xEC, 0x00};

// The ATA_PASS_THROUGH_EX header of the IDENTIFY request, byte by byte, in the
// layout whose header is `header_size` bytes: 40 on 32-bit Windows (the
// product; DataBufferOffset 4 bytes at byte 20) or 48 on 64-bit Windows and
// behind the Linux stand-in (8 bytes at byte 24, after 4 bytes of padding).
// Any other size gives no bytes at all, which matches no header.
std::vector<uint8_t> IdentifyRequestHeader(size_t header_size);

// ---- IDENTIFY data ----

// Lays `text` into `identify_data` from byte `offset` as a drive does: the
// first character of each 16-bit word in its high-order byte, which comes
// second in memory. A text of odd length ends in a NUL.
void PutAtaString(unsigned char* identify_data, int offset,
                  const std::string& text);

// ---- Sense data ----

// Descriptor-format sense data with one ATA Status Return descriptor holding
// `error` and `status`; the count and LBA registers are 0x01 to 0x04 and the
// device register 0xA0, so that a register read from the wrong byte shows.
std::vector<uint8_t> DescriptorSense(uint8_t key, uint8_t asc, uint8_t ascq,
                                     uint8_t error, uint8_t status);

// Fixed-format sense data, 18 bytes, VALID as `valid` (0x80 or 0) in the
// response code; `information` is bytes 3 to 6 and `specific` (COMMAND-SPECIFIC
// INFORMATION) bytes 8 to 11, four bytes each.
std::vector<uint8_t> FixedSense(uint8_t valid, uint8_t key, uint8_t asc,
                                uint8_t ascq,
                                const std::vector<uint8_t>& information,
                                const std::vector<uint8_t>& specific);

// Captured from Linux 6.12 in the emulated machine: the fixed-format sense
// data of a command the drive aborted (status 0x41, error 0x04).
std::vector<uint8_t> AbortedSenseOfLinux6_12();

// What a virtio-scsi disk answers an ATA PASS-THROUGH (16), as Linux hands it
// back: ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE, no ATA registers.
std::vector<uint8_t> InvalidOpcodeSenseOfVirtioScsi();

// ---- The output files' places ----

// What stands where an output file goes before a run. The fuzz target's
// inputs give them by these numbers.
enum Place { kNothing = 0, kOldContents = 1, kDirectory = 2, kFullDevice = 3 };

// Makes `name` in the current directory what `place` says, after removing
// what PreparePlace left there before: nothing, a file with an earlier run's
// contents, a directory holding one file, or a symbolic link to /dev/full,
// where every write fails. Returns false when it cannot.
bool PreparePlace(const char* name, Place place);

// What `name` shows: its bytes when it is a regular file; kShowsDirectory or
// kShowsLink when the directory or link PreparePlace made is there unchanged;
// "<absent>", or what changed, otherwise.
std::string ShowPlace(const char* name);
constexpr char kShowsDirectory[] = "<directory>";
constexpr char kShowsLink[] = "<link>";

// Makes a new, empty folder whose path is `prefix` and six more characters,
// and returns that path; "" when it cannot be made.
std::string MakeScratchFolder(const std::string& prefix);

// Removes `folder` and everything in it.
void RemoveScratchFolder(const std::string& folder);

#endif  // QORVANE_TEST_SUPPORT_TEST_FACTS_H_
