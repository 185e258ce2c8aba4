"""The simulated drive (test/wine/ata_test_drive.c): how it is told to answer,
what it records, and IDENTIFY data for it to answer with. The formats mirror
the structs of test/wine/ata_test_drive.h; a change there is a change here."""

import os
import struct

from harness import files
from harness.wine import windows_path

SERVICE = "ata_test_drive"
SETUP_FORMAT = "<II512s"     # AtaTestSetup (the status as its unsigned bits)
RECORD_FORMAT = "<7I48s"     # AtaTestRecord
RECORD_FIELDS = ("open_count", "request_count", "control_code", "input_length",
                 "output_length", "data_area_zero", "share_access", "header")
# AtaTestCompletion: how the drive completes a request it does not fail.
DATA_AND_REGISTERS, DATA_ONLY, ABORTED, NO_DATA, STALE_ERROR = range(5)


def ata_string(text, width):
    """Text as an IDENTIFY string field: padded with NULs, bytes swapped per word."""
    field = text.ljust(width, b"\0")[:width]
    swapped = bytearray(width)
    swapped[0::2] = field[1::2]
    swapped[1::2] = field[0::2]
    return bytes(swapped)


def identify_block(model, firmware, rest=b"\0"):
    """512 bytes of IDENTIFY data: firmware at words 23-26, model at 27-46, and
    `rest` repeated everywhere else."""
    block = bytearray((rest * 512)[:512])
    block[46:54] = ata_string(firmware, 8)
    block[54:94] = ata_string(model, 40)
    return bytes(block)


# What the report holds for realistic_block(): the model keeps its padding.
REALISTIC_REPORT = b"WDC WD10EZEX-08WN4A0                    \r\n01.01A01\r\n"


def realistic_block():
    """A drive's answer with the usual space padding and plausible words around
    the two fields (serial number, capabilities, sizes)."""
    block = bytearray(identify_block(b"WDC WD10EZEX-08WN4A0".ljust(40),
                                     b"01.01A01"))
    struct.pack_into("<H", block, 0, 0x427A)
    block[20:40] = ata_string(b"     WD-WCC6Y3KXJ5H1", 20)  # serial, words 10-19
    struct.pack_into("<HH", block, 98, 0x2F00, 0x4000)       # capabilities
    struct.pack_into("<Q", block, 200, 1953525168)            # sectors, 48-bit
    # Integrity word 255: signature A5h, and a checksum that makes all 512
    # bytes sum to zero.
    block[510] = 0xA5
    block[511] = -sum(block[:511]) & 0xFF
    return bytes(block)


def setup_bytes(identify, completion_status=0, completion=DATA_AND_REGISTERS):
    """An AtaTestSetup: the drive answers with `identify`, completing as
    `completion`, unless `completion_status` (an NTSTATUS) fails the request."""
    return struct.pack(SETUP_FORMAT, completion_status, completion, identify)


def parse_record(data):
    """An AtaTestRecord, by field name."""
    return dict(zip(RECORD_FIELDS, struct.unpack(RECORD_FORMAT, data)))


class Control:
    """The drive's control helper (ata_test_control.exe) run in a Wine session
    where the drive is started, with its files in `folder`."""

    def __init__(self, wine, control, folder):
        self.wine, self.control, self.folder = wine, windows_path(control), folder

    def set(self, identify=bytes(512), completion_status=0, completion=DATA_AND_REGISTERS):
        """How the drive answers from now on; its record starts again."""
        files.write(os.path.join(self.folder, "setup.bin"),
                    setup_bytes(identify, completion_status, completion))
        self.wine.run([self.control, "setup", "setup.bin"], self.folder)

    def record(self):
        """What the drive was sent since it was last set."""
        self.wine.run([self.control, "record", "record.bin"], self.folder)
        return parse_record(files.read(os.path.join(self.folder, "record.bin"), "rb"))
