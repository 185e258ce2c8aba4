#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus (fuzz/corpus/): drives as they answer
IDENTIFY DEVICE, each in a run that succeeds, and the same drives in runs where
one step fails. Every seed is one input of identity_report_fuzzer: a settings
byte, four little-endian 32-bit last-error numbers (CreateFileA, VirtualAlloc,
DeviceIoControl, CloseHandle), the 512 bytes of IDENTIFY data, the status
register the drive writes back and how far the returned count falls short.

Run it again after changing it; the files are kept in the repository."""

import os
import struct

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")

# Places of the two files, in the settings byte.
NOTHING, OLD_CONTENTS, DIRECTORY, FULL_DEVICE = range(4)
NO_DATA = 0x10
REGISTERS = 0x20


def ata_string(text, length):
    """The field as a drive stores it: padded with spaces, the first character
    of each word in its high-order byte."""
    raw = text.encode("latin-1").ljust(length, b" ")[:length]
    return bytes(raw[i ^ 1] for i in range(length))


def identify(model, firmware, serial, sectors, rotation, wwn):
    words = [0] * 256
    words[0] = 0x0040                       # fixed device, ATA
    words[1], words[3], words[6] = 16383, 16, 63
    words[2] = 0xC837
    words[47] = 0x8010                      # 16 sectors per DRQ block
    words[49] = 0x2F00                      # LBA, DMA, IORDY
    words[50] = 0x4000
    words[53] = 0x0007
    words[54], words[55], words[56] = 16383, 16, 63
    words[57], words[58] = 0xFC10, 0x00FB
    words[59] = 0x0110
    lba28 = min(sectors, 0x0FFFFFFF)
    words[60], words[61] = lba28 & 0xFFFF, lba28 >> 16
    words[63], words[64] = 0x0007, 0x0003
    words[65:69] = [120, 120, 120, 120]
    words[75] = 31                          # queue depth 32
    words[76] = 0x850E                      # SATA 1.5, 3 and 6 Gb/s, NCQ
    words[80], words[81] = 0x03F8, 0x0000   # ATA8-ACS and later
    words[82], words[83], words[84] = 0x746B, 0x7F61, 0x6163
    words[85], words[86], words[87] = 0x7469, 0xBC41, 0x6163
    words[88] = 0x407F                      # UDMA 6 selected
    words[93] = 0
    for i in range(4):
        words[100 + i] = (sectors >> (16 * i)) & 0xFFFF
    words[106] = 0x6003 if rotation > 1 else 0x4000
    for i in range(4):
        words[108 + i] = (wwn >> (16 * (3 - i))) & 0xFFFF
    words[217] = rotation                   # 1: no rotation (solid state)
    data = bytearray(struct.pack("<256H", *words))
    data[20:40] = ata_string(serial.rjust(20), 20)
    data[46:54] = ata_string(firmware, 8)
    data[54:94] = ata_string(model, 40)
    # Integrity word: signature A5h, and a checksum that makes all 512 bytes
    # sum to zero.
    data[510] = 0xA5
    data[511] = (-sum(data[:511])) & 0xFF
    return bytes(data)


DRIVES = {
    "wd_blue_1tb": identify("WDC WD10EZEX-08WN4A0", "01.01A01", "WD-WCC6Y0ZKT4X7",
                            1953525168, 7200, 0x50014EE2B6D5C1A3),
    "samsung_870_evo": identify("Samsung SSD 870 EVO 1TB", "SVT01B6Q", "S626NF0R312345W",
                                1953525168, 1, 0x5002538F31234567),
    "seagate_barracuda": identify("ST1000DM003-1CH162", "CC47", "Z1D5K2XY",
                                  1953525168, 7200, 0x5000C5006A1B2C3D),
    "toshiba_dt01": identify("TOSHIBA DT01ACA100", "MS2OA750", "Y3KHA1BNS",
                             1953525168, 7200, 0x5000039FF4D1E2F3),
    "crucial_mx500": identify("CT500MX500SSD1", "M3CR023", "1904E1E5A6B7",
                              976773168, 1, 0x500A0751E1E5A6B7),
    "kingston_a400": identify("KINGSTON SA400S37240G", "S3E00100", "50026B7782A1B2C3",
                              468862128, 1, 0x50026B7782A1B2C3),
    "qemu_harddisk": identify("QEMU HARDDISK", "2.5+", "QM00001",
                              16777216, 0, 0),
    "virtualbox_harddisk": identify("VBOX HARDDISK", "1.0", "VB5d3b2a1c-9f8e7d6c",
                                    67108864, 0, 0),
}


def field(data, offset, text):
    """`data` with the raw bytes `text` (no padding) stored as an ATA field."""
    data = bytearray(data)
    raw = text.encode("latin-1")
    for i, byte in enumerate(raw):
        data[offset + (i ^ 1)] = byte
    return bytes(data)


def odd_drives():
    wd = DRIVES["wd_blue_1tb"]
    model_with_nul = bytearray(wd)
    model_with_nul[54:94] = bytes(40)
    return {
        "all_zero": bytes(512),
        "all_ff": bytes([0xFF]) * 512,
        "model_cut_by_nul": field(bytes(model_with_nul), 54, "SAMSUNG\0SSD 870"),
        "line_feed_in_model": field(wd, 54, "WDC\nWD10EZEX"),
        "format_directives": field(field(wd, 54, "%s%n%d%x%%%p%c%999999d"), 46, "%n%s%d%%"),
        "leading_spaces": field(wd, 46, "  1.0   "),
        "control_bytes": field(wd, 54, "\r\n\t\x1b\x7f\x80\xff\x01 ends"),
    }


def seed(settings, drive, open_error=0, allocation_error=0, request_error=0,
         close_error=0, status=0, short_by=0):
    return struct.pack("<BIIII", settings, open_error, allocation_error,
                       request_error, close_error) + drive + bytes([status, short_by])


def places(error_place, report_place):
    return error_place | report_place << 2


def write_seeds(folder, seeds):
    """Makes `folder` hold exactly `seeds`, a file per name."""
    os.makedirs(folder, exist_ok=True)
    for name in os.listdir(folder):
        os.unlink(os.path.join(folder, name))
    for name, data in sorted(seeds.items()):
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)
    print(f"{len(seeds)} seeds in {folder}")


def main():
    seeds = {}
    for name, drive in DRIVES.items():
        seeds["ok_" + name] = seed(places(NOTHING, NOTHING), drive)
    for name, drive in odd_drives().items():
        # No drive answers IDENTIFY with nothing but zeros.
        outcome = "completed_" if drive == bytes(512) else "ok_"
        seeds[outcome + name] = seed(places(NOTHING, NOTHING), drive)
    wd = DRIVES["wd_blue_1tb"]
    ssd = DRIVES["samsung_870_evo"]
    seeds.update({
        "ok_over_old_files": seed(places(OLD_CONTENTS, OLD_CONTENTS), ssd),
        "completed_without_data": seed(places(NOTHING, NOTHING) | NO_DATA, wd),
        "ok_registers_written_back": seed(places(NOTHING, NOTHING) | REGISTERS, wd,
                                          status=0x50),
        # ERR and ABRT left from an earlier command over a whole block: the
        # block decides.
        "ok_stale_error_status": seed(places(NOTHING, NOTHING) | REGISTERS, wd,
                                      status=0x51),
        "completed_drive_aborted": seed(places(NOTHING, NOTHING) | NO_DATA | REGISTERS, wd,
                                        status=0x51),
        "completed_count_short": seed(places(OLD_CONTENTS, OLD_CONTENTS), ssd,
                                      short_by=1),
        "open_access_denied": seed(places(NOTHING, NOTHING), wd, open_error=5),
        "open_no_drive_over_old_files": seed(places(OLD_CONTENTS, OLD_CONTENTS), wd,
                                             open_error=2),
        "allocation_no_memory": seed(places(NOTHING, NOTHING), wd, allocation_error=8),
        "request_not_supported": seed(places(NOTHING, NOTHING), ssd, request_error=50),
        "request_io_error_close_leaves_6": seed(places(NOTHING, NOTHING), wd,
                                                request_error=1117, close_error=6),
        "request_status_above_2_31": seed(places(NOTHING, NOTHING), wd,
                                          request_error=0xC0000010),
        "report_is_directory": seed(places(NOTHING, DIRECTORY), wd),
        "report_on_full_device": seed(places(NOTHING, FULL_DEVICE), wd),
        "error_file_is_directory": seed(places(DIRECTORY, NOTHING), wd),
        "error_file_is_directory_request_fails": seed(places(DIRECTORY, NOTHING), wd,
                                                      request_error=31),
        "error_file_on_full_device_open_fails": seed(places(FULL_DEVICE, NOTHING), wd,
                                                     open_error=5),
        "both_directories": seed(places(DIRECTORY, DIRECTORY), wd),
    })
    write_seeds(CORPUS, seeds)


if __name__ == "__main__":
    main()
