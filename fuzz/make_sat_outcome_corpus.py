#!/usr/bin/env python3
"""Writes the seed corpus of sat_outcome_fuzzer (fuzz/sat_outcome_corpus/):
answers of SG_IO to the IDENTIFY request, among them the sense data Linux 6.1
and 6.12 returned for a command the drive aborted. Every seed is one input: the
ioctl's errno, host_status and driver_status (little-endian 16 bits each), the
SCSI status, sb_len_wr, the two task files sent, then the sense bytes.

Run it again after changing it; the files are kept in the repository."""

import os
import struct

from make_corpus import write_seeds

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sat_outcome_corpus")

GOOD, CHECK_CONDITION, BUSY = 0x00, 0x02, 0x08
DRIVER_SENSE = 0x08
IDENTIFY = bytes(8) + bytes([0, 0, 0, 0, 0, 0xE0, 0xEC, 0])


def seed(sense=b"", status=CHECK_CONDITION, ioctl_errno=0, host=0,
         driver=DRIVER_SENSE, task_files=IDENTIFY):
    return (struct.pack("<BHHBB", ioctl_errno, host, driver, status, len(sense))
            + task_files + sense)


def descriptor(key, asc, ascq, error, status, extend=0):
    return bytes([0x72, key, asc, ascq, 0, 0, 0, 14,
                  0x09, 12, extend, error, 0, 1, 0, 2, 0, 3, 0, 4, 0xE0, status])


SEEDS = {
    "clean_completion": seed(status=GOOD, driver=0),
    # Captured in the emulated machine: READ LOG EXT aborted by the drive.
    "aborted_linux_6_1": seed(bytes.fromhex("70000b000000000a0441e00100000000 8000")),
    "aborted_linux_6_12": seed(bytes.fromhex("f0000b0441e0010a8000000000000000 0000")),
    "registers_in_descriptor": seed(descriptor(0x01, 0x00, 0x1D, 0x00, 0x50)),
    "registers_48bit_in_descriptor": seed(descriptor(0x01, 0x00, 0x1D, 0x00, 0x50, 1)),
    "descriptor_behind_information": seed(
        bytes([0x72, 0x0B, 0, 0, 0, 0, 0, 26, 0x00, 10, 0x80, 0, 9, 12, 0, 0, 0, 0, 0, 0])
        + descriptor(0x0B, 0, 0, 0x04, 0x51)[8:]),
    "busy_in_descriptor": seed(descriptor(0x01, 0x00, 0x1D, 0x00, 0xD0)),
    "unrecoverable_fixed_standard": seed(
        bytes.fromhex("f0000340 51e0000a 000a0b0c 11000000 0000")),
    "invalid_opcode_virtio_scsi": seed(
        bytes.fromhex("70000500000000 0a00000000 2000000000 00")),
    "not_ready": seed(bytes.fromhex("70000200000000 0a00000000 0400000000 00")),
    "host_timed_out": seed(status=GOOD, host=0x03, driver=0),
    "driver_timed_out": seed(status=GOOD, driver=0x06),
    "ioctl_not_permitted": seed(status=GOOD, ioctl_errno=1, driver=0),
    "scsi_busy": seed(status=BUSY, driver=0),
}


def main():
    write_seeds(CORPUS, SEEDS)


if __name__ == "__main__":
    main()
