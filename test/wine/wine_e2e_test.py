#!/usr/bin/env python3
"""End-to-end tests of qorvane.exe under Wine, 32- or 64-bit.

Each case runs the program in a fresh scratch folder and checks the exit code
and the exact bytes of qorvane.log and qorvane.err. A test kernel driver
(ata_test_drive.sys) plays physical drive 0 and records what it was sent.

The image decides the layout of the request the drive must see (the 40-byte
32-bit ATA_PASS_THROUGH_EX or the 48-byte 64-bit one); --wine names the Wine
loader that runs it (wine64 for a 64-bit image, wine for a 32-bit one, which
this machine runs only in the emulated machine: test/qemu/guest.py --wine32).

One Wine prefix per suite run: WINEPREFIX when it is set (a prefix made
beforehand, which the run may change), otherwise a private one made here. One
Wine session per test class:
  - SimulatedDriveTest: the test driver in place of Wine's PhysicalDrive0;
  - WineOwnDriveTest:   Wine's own PhysicalDrive0, which has no ATA pass-through;
  - NoDriveTest:        Wine's mount manager disabled, so no PhysicalDrive0 at all.

usage: wine_e2e_test.py --program qorvane.exe --driver ata_test_drive.sys
                        --launcher run_with_exit_code.exe
                        --control ata_test_control.exe [--wine LOADER]
                        [unittest options]
Environment: WINEPREFIX, WINESERVER, QORVANE_WINE_KEEP=1 keeps the temporary
folder.
"""

import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest

import pefile

WINE = "/usr/lib/wine/wine64"  # the loader; --wine
WINESERVER = os.environ.get("WINESERVER") or (
    "/usr/lib/wine/wineserver" if os.path.exists("/usr/lib/wine/wineserver")
    else shutil.which("wineserver") or "wineserver")
TIMEOUT_SECONDS = 120

PATHS = {}  # program, driver, launcher, control: absolute Linux paths
PREFIX = None
suite_root = None
suite_start = None

# Exit codes as GetExitCodeProcess gives them.
EXIT_OK = 0x00000000
EXIT_NO_DRIVE = 0xFFFFFFFF
EXIT_REQUEST_FAILED = 0xFFFFFFFE
EXIT_NO_REPORT_FILE = 0xFFFFFFFD
EXIT_REPORT_NOT_WRITTEN = 0xFFFFFFFC

LINE_NO_REPORT_FILE = b"Error opening file handle, returning -3\r\n"
LINE_NO_DRIVE = b"Error opening drive handle, returning -1\r\n"
LINE_REPORT_NOT_WRITTEN = b"Error writing report file, returning -4\r\n"


def request_failed_line(error_number):
    return b"Error getting drive information (%d), returning -2\r\n" % error_number


IOCTL_ATA_PASS_THROUGH = 0x0004D02C
DATA_AREA_SIZE = 131072
# ATA_PASS_THROUGH_EX in each layout: Length, AtaFlags, PathId, TargetId, Lun,
# ReservedAsUchar, DataTransferLength, TimeOutValue, ReservedAsUlong,
# DataBufferOffset (a ULONG_PTR: 4 bytes, or 8 aligned to 8), PreviousTaskFile,
# CurrentTaskFile.
HEADER_FORMATS = {32: "<HHBBBBIIII8s8s", 64: "<HHBBBBIII4xQ8s8s"}
HEADER_SIZE = None      # of the image under test, set in main()
EXPECTED_HEADER = None


def expected_header(bits):
    size = struct.calcsize(HEADER_FORMATS[bits])
    return struct.pack(HEADER_FORMATS[bits], size, 3, 0, 0, 0, 0, 512, 8, 0, size,
                       bytes(8), bytes([0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0xEC, 0x00]))


def image_bits(path):
    """32 or 64, from the machine field of a PE image's file header."""
    machine = pefile.PE(path, fast_load=True).FILE_HEADER.Machine
    return {pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]: 32,
            pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]: 64}[machine]

SETUP_FORMAT = "<II512s"     # AtaTestSetup (the status as its unsigned bits)
RECORD_FORMAT = "<7I48s"     # AtaTestRecord
RECORD_FIELDS = ("open_count", "request_count", "control_code", "input_length",
                 "output_length", "data_area_zero", "share_access", "header")
# AtaTestCompletion: how the drive completes a request it does not fail.
DATA_AND_REGISTERS, DATA_ONLY, ABORTED, NO_DATA = range(4)
FILE_SHARE_READ_WRITE = 3


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
    block[510:512] = b"\xa5\x3c"                               # checksum word
    return bytes(block)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine_environment(dll_overrides):
    env = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "WINEDLLOVERRIDES"):
        env.pop(name, None)
    env["WINEPREFIX"] = PREFIX
    env["WINEDEBUG"] = "-all"
    if dll_overrides:
        env["WINEDLLOVERRIDES"] = dll_overrides
    return env


def run_checked(command, env, cwd=None):
    """Runs a command to its end and returns its standard output. Output goes
    through files, not pipes: Wine's session processes inherit the handles and
    would hold a pipe open long after the command has ended."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        result = subprocess.run(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                                stdout=out, stderr=err, timeout=TIMEOUT_SECONDS)
        out.seek(0)
        err.seek(0)
        output = out.read()
        if result.returncode != 0:
            raise RuntimeError("%s failed (%d): %s %s" % (
                " ".join(command), result.returncode, output.decode(errors="replace"),
                err.read().decode(errors="replace")))
    return output


def stop_session(env):
    for option in ("-k", "-w"):
        subprocess.run([WINESERVER, option], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=TIMEOUT_SECONDS)


def setUpModule():
    global suite_root, suite_start, PREFIX
    suite_start = time.monotonic()
    for name in ("program", "driver", "launcher", "control"):
        if not os.path.isfile(PATHS[name]):
            raise RuntimeError("missing %s: %s" % (name, PATHS[name]))
    suite_root = tempfile.mkdtemp(prefix="qorvane-wine-")
    unittest.addModuleCleanup(remove_suite_folder)
    PREFIX = PREFIX or os.path.join(suite_root, "prefix")
    # No Mono or Gecko: their installers would be looked for at prefix creation.
    env = wine_environment("mscoree,mshtml=")
    if not os.path.isdir(PREFIX):
        run_checked([WINE, "wineboot", "--init"], env)
    # The prefix's first session must end before a driver can be started in a
    # new one (otherwise its start fails with 1053 or 1055).
    stop_session(env)


def remove_suite_folder():
    stop_session(wine_environment(None))
    if os.environ.get("QORVANE_WINE_KEEP") == "1":
        sys.stderr.write("kept %s\n" % suite_root)
    else:
        shutil.rmtree(suite_root, ignore_errors=True)
    sys.stderr.write("Wine suite wall time: %.1f s\n" % (time.monotonic() - suite_start))


def read_or_none(path):
    """The file's bytes, or None when there is no regular file of that name."""
    if not os.path.isfile(path) or os.path.islink(path):
        return None
    with open(path, "rb") as file:
        return file.read()


def snapshot(path):
    """Names, modes, sizes, times and contents of everything below a folder."""
    entries = []
    for folder, _, files in os.walk(path):
        for name in [folder] + [os.path.join(folder, f) for f in files]:
            info = os.lstat(name)
            contents = read_or_none(name) if name != folder else None
            entries.append((name, info.st_mode, info.st_size, info.st_mtime_ns, contents))
    return sorted(entries, key=lambda entry: entry[0])


class WineSessionTest(unittest.TestCase):
    """One Wine session for all tests of a class."""
    dll_overrides = None

    @classmethod
    def setUpClass(cls):
        cls.env = wine_environment(cls.dll_overrides)
        run_checked([WINESERVER, "-p"], cls.env)
        cls.addClassCleanup(stop_session, cls.env)
        cls.scratch_parent = tempfile.mkdtemp(prefix=cls.__name__ + "-", dir=suite_root)

    def new_scratch_folder(self):
        return tempfile.mkdtemp(dir=self.scratch_parent)

    def wine(self, arguments, cwd):
        return run_checked([WINE] + arguments, self.env, cwd)

    def run_program(self, folder, arguments=()):
        """Runs qorvane.exe in folder; returns (exit code, report, error file)."""
        output = self.wine([windows_path(PATHS["launcher"]),
                            windows_path(PATHS["program"])] + list(arguments), folder)
        exit_code = int(output.decode().strip().splitlines()[-1], 16)
        return (exit_code, read_or_none(os.path.join(folder, "qorvane.log")),
                read_or_none(os.path.join(folder, "qorvane.err")))


class SimulatedDriveTest(WineSessionTest):
    """The test driver is physical drive 0."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.control_folder = tempfile.mkdtemp(prefix="control-", dir=suite_root)
        run_checked([WINE, "sc", "create", "ata_test_drive", "type=", "kernel",
                     "start=", "demand", "binPath=", windows_path(PATHS["driver"])],
                    cls.env)
        run_checked([WINE, "sc", "start", "ata_test_drive"], cls.env)

    def set_drive(self, identify=bytes(512), completion_status=0,
                  completion=DATA_AND_REGISTERS):
        with open(os.path.join(self.control_folder, "setup.bin"), "wb") as file:
            file.write(struct.pack(SETUP_FORMAT, completion_status, completion, identify))
        self.wine([windows_path(PATHS["control"]), "setup", "setup.bin"], self.control_folder)

    def drive_record(self):
        self.wine([windows_path(PATHS["control"]), "record", "record.bin"], self.control_folder)
        with open(os.path.join(self.control_folder, "record.bin"), "rb") as file:
            values = struct.unpack(RECORD_FORMAT, file.read())
        return dict(zip(RECORD_FIELDS, values))

    def assert_one_request(self):
        """The drive was opened once and asked once: nothing is retried."""
        record = self.drive_record()
        self.assertEqual((record["open_count"], record["request_count"]), (1, 1))
        return record

    def test_realistic_drive_reported_and_request_sent_byte_for_byte(self):
        self.set_drive(realistic_block())
        self.assertEqual(self.run_program(self.new_scratch_folder()),
                         (EXIT_OK, REALISTIC_REPORT, b""))
        record = self.assert_one_request()
        self.assertEqual(record["control_code"], IOCTL_ATA_PASS_THROUGH)
        self.assertEqual(record["input_length"], HEADER_SIZE + DATA_AREA_SIZE)
        self.assertEqual(record["output_length"], HEADER_SIZE + DATA_AREA_SIZE)
        # The header byte for byte, and the data area's first bytes behind it.
        self.assertEqual(record["header"].hex(" "),
                         (EXPECTED_HEADER + bytes(48 - HEADER_SIZE)).hex(" "))
        self.assertEqual(record["data_area_zero"], 1)
        # Opened shared for reading and writing, so that others' opens do not
        # keep it out.
        self.assertEqual(record["share_access"], FILE_SHARE_READ_WRITE)

    def test_identify_contents_written_unchanged(self):
        cases = [
            # (what, IDENTIFY data, how the drive completes, expected report)
            ("registers left as sent: status byte still 0xEC", realistic_block(),
             DATA_ONLY, REALISTIC_REPORT),
            ("NUL inside the model cuts it",
             identify_block(b"SAMSUNG\0SSD 870".ljust(40), b"SVT02B6Q", b"\xff"),
             DATA_AND_REGISTERS, b"SAMSUNG\r\nSVT02B6Q\r\n"),
            ("line feed inside the model",
             identify_block(b"TOSHIBA\nDT01ACA100".ljust(40), b"MS2OA750"),
             DATA_AND_REGISTERS, b"TOSHIBA\r\nDT01ACA100" + b" " * 22 + b"\r\nMS2OA750\r\n"),
            ("leading and trailing spaces kept",
             identify_block(b"   ST1000DM003-1CH162".ljust(40), b"  CC47  "),
             DATA_AND_REGISTERS, b"   ST1000DM003-1CH162" + b" " * 19 + b"\r\n  CC47  \r\n"),
            ("bytes above 0x7F and CR unchanged",
             identify_block(b"\xc4\xd6\xdc\xe9 Drive\r", b"\x80\xfe1.0"),
             DATA_AND_REGISTERS, b"\xc4\xd6\xdc\xe9 Drive\r\r\n\x80\xfe1.0\r\n"),
        ]
        for what, identify, completion, report in cases:
            with self.subTest(what):
                self.set_drive(identify, completion=completion)
                self.assertEqual(self.run_program(self.new_scratch_folder()),
                                 (EXIT_OK, report, b""))
                self.assert_one_request()

    def test_refused_request_reports_the_mapped_error_number(self):
        cases = [
            # (what, NTSTATUS the driver completes with, how it completes,
            #  IDENTIFY data, Windows error number)
            ("0xC0000010", 0xC0000010, 0, realistic_block(), 1),     # ERROR_INVALID_FUNCTION
            ("0xC0000185", 0xC0000185, 0, realistic_block(), 1117),  # ERROR_IO_DEVICE
            ("0xC00000A3", 0xC00000A3, 0, realistic_block(), 21),    # ERROR_NOT_READY
            ("0xC0000022", 0xC0000022, 0, realistic_block(), 5),     # ERROR_ACCESS_DENIED
            # A customer status passes through unmapped; above 2^31 it is
            # written as a negative number.
            ("0xE0000001", 0xE0000001, 0, realistic_block(), -536870911),
            # Completed as a success, but without the IDENTIFY data: the
            # program's own ERROR_IO_DEVICE.
            ("drive aborted", 0, ABORTED, realistic_block(), 1117),
            ("completed without data", 0, NO_DATA, realistic_block(), 1117),
            ("all-zero data", 0, DATA_AND_REGISTERS, bytes(512), 1117),
        ]
        for what, status, completion, identify, error_number in cases:
            with self.subTest(what):
                self.set_drive(identify, completion_status=status, completion=completion)
                self.assertEqual(self.run_program(self.new_scratch_folder()),
                                 (EXIT_REQUEST_FAILED, b"", request_failed_line(error_number)))
                self.assert_one_request()

    def test_error_file_unopenable_run_goes_on(self):
        cases = [
            # (what, NTSTATUS, exit code, report)
            ("success", 0, EXIT_OK, REALISTIC_REPORT),
            ("request refused", 0xC0000185, EXIT_REQUEST_FAILED, b""),
        ]
        for what, status, exit_code, report in cases:
            with self.subTest(what):
                self.set_drive(realistic_block(), completion_status=status)
                folder = self.new_scratch_folder()
                error_folder = os.path.join(folder, "qorvane.err")
                os.mkdir(error_folder)
                before = snapshot(error_folder)
                self.assertEqual(self.run_program(folder), (exit_code, report, None))
                self.assertEqual(snapshot(error_folder), before)
                self.assert_one_request()

    def test_report_file_unopenable_keeps_it_and_leaves_drive_alone(self):
        self.set_drive(realistic_block())
        folder = self.new_scratch_folder()
        report_folder = os.path.join(folder, "qorvane.log")
        os.mkdir(report_folder)
        with open(os.path.join(report_folder, "kept.txt"), "wb") as file:
            file.write(b"earlier contents\n")
        before = snapshot(report_folder)
        self.assertEqual(self.run_program(folder), (EXIT_NO_REPORT_FILE, None, LINE_NO_REPORT_FILE))
        self.assertEqual(snapshot(report_folder), before)
        record = self.drive_record()
        self.assertEqual((record["open_count"], record["request_count"]), (0, 0))

    def test_second_run_truncates_both_files(self):
        failed = (EXIT_REQUEST_FAILED, b"", request_failed_line(1117))
        folder = self.new_scratch_folder()
        for what, status, expected in [("fails", 0xC0000185, failed),
                                       ("succeeds", 0, (EXIT_OK, REALISTIC_REPORT, b"")),
                                       ("fails again", 0xC0000185, failed)]:
            with self.subTest(what):
                self.set_drive(realistic_block(), completion_status=status)
                self.assertEqual(self.run_program(folder), expected)

    def test_command_line_arguments_change_nothing(self):
        expected = (EXIT_OK, REALISTIC_REPORT, b"")
        for arguments in (["/?"], ["-v", "--help", "qorvane.err", "two words", "\\\\.\\PhysicalDrive1"]):
            with self.subTest(arguments=arguments):
                self.set_drive(realistic_block())
                self.assertEqual(self.run_program(self.new_scratch_folder(), arguments), expected)
                self.assert_one_request()

    # Wine passes the device's write failure (ENOSPC) through, but Wine 8's
    # msvcrt fclose() returns 0 even when its own final flush failed: it tests
    # the stream's error flag as it was before that flush. fflush() does return
    # EOF there, and Microsoft's runtimes return EOF from fclose() as well. So
    # under Wine this failure shows only to a program that flushes before it
    # closes.
    def test_report_on_full_device(self):
        self.set_drive(realistic_block())
        folder = self.new_scratch_folder()
        os.symlink("/dev/full", os.path.join(folder, "qorvane.log"))
        self.assertEqual(self.run_program(folder),
                         (EXIT_REPORT_NOT_WRITTEN, None, LINE_REPORT_NOT_WRITTEN),
                         "report on /dev/full not seen as failed; under Wine only "
                         "fflush() shows it, fclose() does not (see the comment above)")
        self.assertEqual(os.readlink(os.path.join(folder, "qorvane.log")), "/dev/full")
        self.assert_one_request()


class WineOwnDriveTest(WineSessionTest):
    """Wine's mount manager provides PhysicalDrive0, without ATA pass-through:
    refused as real Windows refuses a drive without it."""

    def test_refused_with_not_supported(self):
        self.assertEqual(self.run_program(self.new_scratch_folder()),
                         (EXIT_REQUEST_FAILED, b"", request_failed_line(50)),
                         "Wine's mount manager made a PhysicalDrive0 (\\Device\\Harddisk0) "
                         "where this was written; a -1 here means it made none")


class NoDriveTest(WineSessionTest):
    """Without the mount manager there is no PhysicalDrive0."""
    dll_overrides = "mountmgr.sys=d"

    def test_drive_not_opened(self):
        self.assertEqual(self.run_program(self.new_scratch_folder()),
                         (EXIT_NO_DRIVE, b"", LINE_NO_DRIVE))


def main():
    global WINE, HEADER_SIZE, EXPECTED_HEADER, PREFIX
    parser = argparse.ArgumentParser(add_help=False)
    for name in ("program", "driver", "launcher", "control"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--wine", default=WINE)
    known, rest = parser.parse_known_args()
    WINE = known.wine
    for name in ("program", "driver", "launcher", "control"):
        PATHS[name] = os.path.abspath(getattr(known, name))
    bits = image_bits(PATHS["program"])
    EXPECTED_HEADER = expected_header(bits)
    HEADER_SIZE = len(EXPECTED_HEADER)
    PREFIX = os.environ.get("WINEPREFIX") or None
    sys.stderr.write("%d-bit image %s under %s\n" % (bits, PATHS["program"], WINE))
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
