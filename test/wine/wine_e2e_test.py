"""End-to-end tests of qorvane.exe under Wine, 32- or 64-bit.

Each case runs the program in a fresh scratch folder and checks the exit code
and the exact bytes of qorvane.log and qorvane.err. A test kernel driver
(ata_test_drive.sys) plays physical drive 0 and records what it was sent.

The image decides the layout of the request the drive must see (the 40-byte
32-bit ATA_PASS_THROUGH_EX or the 48-byte 64-bit one); --wine names the Wine
loader that runs it (wine64 for a 64-bit image, wine for a 32-bit one, which
this machine runs only in the emulated machine: test/guest.py --wine32).

One Wine prefix per suite run: WINEPREFIX when it is set (a prefix made
beforehand, which the run may change), otherwise a private one made here and
removed at the end. One Wine session per test class:
  - SimulatedDriveTest: the test driver in place of Wine's PhysicalDrive0;
  - WineOwnDriveTest:   Wine's own PhysicalDrive0, which has no ATA pass-through;
  - NoDriveTest:        Wine's mount manager disabled, so no PhysicalDrive0 at all.
"""

import os
import shutil
import struct
import sys

import pefile
import pytest

from harness import drive, signing, wine
from harness.drive import (ABORTED, DATA_AND_REGISTERS, DATA_ONLY, NO_DATA,
                           REALISTIC_REPORT, STALE_ERROR, identify_block, realistic_block)

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
FILE_SHARE_READ_WRITE = 3


def expected_header(bits):
    size = struct.calcsize(HEADER_FORMATS[bits])
    return struct.pack(HEADER_FORMATS[bits], size, 3, 0, 0, 0, 0, 512, 8, 0, size,
                       bytes(8), bytes([0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0xEC, 0x00]))


def image_bits(path):
    """32 or 64, from the machine field of a PE image's file header."""
    machine = pefile.PE(path, fast_load=True).FILE_HEADER.Machine
    return {pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]: 32,
            pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]: 64}[machine]


def read_or_none(path):
    """The file's bytes, or None when there is no regular file of that name."""
    if not os.path.isfile(path) or os.path.islink(path):
        return None
    with open(path, "rb") as file:
        return file.read()


def snapshot(path):
    """Names, modes, sizes, times and contents of a file, or of a folder and
    everything below it."""
    if not os.path.isdir(path):
        info = os.lstat(path)
        return [(path, info.st_mode, info.st_size, info.st_mtime_ns, read_or_none(path))]
    entries = []
    for folder, _, files in os.walk(path):
        for name in [folder] + [os.path.join(folder, f) for f in files]:
            info = os.lstat(name)
            contents = read_or_none(name) if name != folder else None
            entries.append((name, info.st_mode, info.st_size, info.st_mtime_ns, contents))
    return sorted(entries, key=lambda entry: entry[0])


@pytest.fixture(scope="module")
def paths(built):
    return {name: built(name) for name in ("program", "driver", "launcher", "control")}


@pytest.fixture(scope="module")
def header(paths, pytestconfig):
    """The request header the image must send, byte for byte."""
    bits = image_bits(paths["program"])
    sys.stderr.write("%d-bit image under %s\n" % (bits, pytestconfig.getoption("wine")))
    return expected_header(bits)


@pytest.fixture(scope="module")
def prefix(tmp_path_factory, pytestconfig):
    given = os.environ.get("WINEPREFIX")
    found = given or str(tmp_path_factory.mktemp("wine") / "prefix")
    wine.make_prefix(found, pytestconfig.getoption("wine"))
    yield found
    wine.Wine(found, pytestconfig.getoption("wine")).stop_session()
    if not given:  # over a gigabyte: not one of the folders pytest keeps
        shutil.rmtree(found)


@pytest.fixture(scope="class")
def session(request, prefix, pytestconfig):
    """One Wine session for all tests of a class, with the class's DLL overrides."""
    found = wine.Wine(prefix, pytestconfig.getoption("wine"),
                      getattr(request.cls, "dll_overrides", None))
    found.start_session()
    yield found
    found.stop_session()


@pytest.fixture(scope="class")
def run_program(session, paths):
    def run(folder, arguments=(), hold=None, program=None):
        """Runs qorvane.exe, or another `program`, in folder, while another
        program holds the file `hold` open without sharing if one is named;
        returns (exit code, report, error file)."""
        code = session.run_program(paths["launcher"], program or paths["program"], folder,
                                   arguments, hold)
        return (code, read_or_none(os.path.join(folder, "qorvane.log")),
                read_or_none(os.path.join(folder, "qorvane.err")))
    return run


@pytest.fixture(scope="class")
def ata_drive(session, paths, tmp_path_factory):
    """The test driver started in the class's session as physical drive 0."""
    session.start_driver(drive.SERVICE, paths["driver"])
    return drive.Control(session, paths["control"], str(tmp_path_factory.mktemp("control")))


def assert_one_request(ata_drive):
    """The drive was opened once and asked once: nothing is retried."""
    record = ata_drive.record()
    assert (record["open_count"], record["request_count"]) == (1, 1)
    return record


class SimulatedDriveTest:
    """The test driver is physical drive 0."""

    def test_realistic_drive_reported_and_request_sent_byte_for_byte(
            self, ata_drive, run_program, tmp_path, header):
        ata_drive.set(realistic_block())
        assert run_program(tmp_path) == (EXIT_OK, REALISTIC_REPORT, b"")
        record = assert_one_request(ata_drive)
        assert record["control_code"] == IOCTL_ATA_PASS_THROUGH
        assert record["input_length"] == len(header) + DATA_AREA_SIZE
        assert record["output_length"] == len(header) + DATA_AREA_SIZE
        # The header byte for byte, and the data area's first bytes behind it.
        assert record["header"].hex(" ") == (header + bytes(48 - len(header))).hex(" ")
        assert record["data_area_zero"] == 1
        # Opened shared for reading and writing, so that others' opens do not
        # keep it out.
        assert record["share_access"] == FILE_SHARE_READ_WRITE

    @pytest.mark.parametrize("identify, completion, report", [
        pytest.param(realistic_block(), DATA_ONLY, REALISTIC_REPORT,
                     id="registers left as sent: status byte still 0xEC"),
        # The whole block decides, not an earlier command's status.
        pytest.param(realistic_block(), STALE_ERROR, REALISTIC_REPORT,
                     id="status 0x51 and error 0x04 left from an earlier command"),
        pytest.param(identify_block(b"SAMSUNG\0SSD 870".ljust(40), b"SVT02B6Q", b"\xff"),
                     DATA_AND_REGISTERS, b"SAMSUNG\r\nSVT02B6Q\r\n",
                     id="NUL inside the model cuts it"),
        pytest.param(identify_block(b"TOSHIBA\nDT01ACA100".ljust(40), b"MS2OA750"),
                     DATA_AND_REGISTERS,
                     b"TOSHIBA\r\nDT01ACA100" + b" " * 22 + b"\r\nMS2OA750\r\n",
                     id="line feed inside the model"),
        pytest.param(identify_block(b"   ST1000DM003-1CH162".ljust(40), b"  CC47  "),
                     DATA_AND_REGISTERS,
                     b"   ST1000DM003-1CH162" + b" " * 19 + b"\r\n  CC47  \r\n",
                     id="leading and trailing spaces kept"),
        pytest.param(identify_block(b"\xc4\xd6\xdc\xe9 Drive\r", b"\x80\xfe1.0"),
                     DATA_AND_REGISTERS, b"\xc4\xd6\xdc\xe9 Drive\r\r\n\x80\xfe1.0\r\n",
                     id="bytes above 0x7F and CR unchanged"),
    ])
    def test_identify_contents_written_unchanged(self, ata_drive, run_program, tmp_path,
                                                 identify, completion, report):
        ata_drive.set(identify, completion=completion)
        assert run_program(tmp_path) == (EXIT_OK, report, b"")
        assert_one_request(ata_drive)

    @pytest.mark.parametrize("status, completion, identify, error_number", [
        pytest.param(0xC0000010, 0, realistic_block(), 1, id="0xC0000010"),  # ERROR_INVALID_FUNCTION
        pytest.param(0xC0000185, 0, realistic_block(), 1117, id="0xC0000185"),  # ERROR_IO_DEVICE
        pytest.param(0xC00000A3, 0, realistic_block(), 21, id="0xC00000A3"),  # ERROR_NOT_READY
        pytest.param(0xC0000022, 0, realistic_block(), 5, id="0xC0000022"),  # ERROR_ACCESS_DENIED
        # A customer status passes through unmapped; above 2^31 it is
        # written as a negative number.
        pytest.param(0xE0000001, 0, realistic_block(), -536870911, id="0xE0000001"),
        # Completed as a success, but without the IDENTIFY data: the
        # program's own ERROR_IO_DEVICE.
        pytest.param(0, ABORTED, realistic_block(), 1117, id="drive aborted"),
        pytest.param(0, NO_DATA, realistic_block(), 1117, id="completed without data"),
        pytest.param(0, DATA_AND_REGISTERS, bytes(512), 1117, id="all-zero data"),
    ])
    def test_refused_request_reports_the_mapped_error_number(
            self, ata_drive, run_program, tmp_path, status, completion, identify, error_number):
        ata_drive.set(identify, completion_status=status, completion=completion)
        assert run_program(tmp_path) == (EXIT_REQUEST_FAILED, b"",
                                       request_failed_line(error_number))
        assert_one_request(ata_drive)

    @pytest.mark.parametrize("status, exit_code, report", [
        pytest.param(0, EXIT_OK, REALISTIC_REPORT, id="success"),
        pytest.param(0xC0000185, EXIT_REQUEST_FAILED, b"", id="request refused"),
    ])
    def test_error_file_unopenable_run_goes_on(self, ata_drive, run_program, tmp_path,
                                               status, exit_code, report):
        ata_drive.set(realistic_block(), completion_status=status)
        error_folder = os.path.join(tmp_path, "qorvane.err")
        os.mkdir(error_folder)
        before = snapshot(error_folder)
        assert run_program(tmp_path) == (exit_code, report, None)
        assert snapshot(error_folder) == before
        assert_one_request(ata_drive)

    # Wine run as root overwrites a file whose read-only attribute is set,
    # which Windows refuses even to administrators: an open held without
    # sharing stands for the file that cannot be written.
    @pytest.mark.parametrize("held", [False, True],
                             ids=["a folder in its place", "held open without sharing"])
    def test_report_file_unopenable_keeps_it_and_leaves_drive_alone(
            self, ata_drive, run_program, tmp_path, held):
        ata_drive.set(realistic_block())
        report = os.path.join(tmp_path, "qorvane.log")
        earlier = b"an earlier run's report\r\nkept byte for byte\r\n"
        if held:
            with open(report, "wb") as file:
                file.write(earlier)
        else:
            os.mkdir(report)
            with open(os.path.join(report, "kept.txt"), "wb") as file:
                file.write(earlier)
        before = snapshot(report)
        assert run_program(tmp_path, hold="qorvane.log" if held else None) == (
            EXIT_NO_REPORT_FILE, earlier if held else None, LINE_NO_REPORT_FILE)
        assert snapshot(report) == before
        record = ata_drive.record()
        assert (record["open_count"], record["request_count"]) == (0, 0)

    # Wine checks no signature: this shows that a signature leaves the
    # program working, not that Windows would trust it.
    def test_signed_copy_works_as_the_original(self, ata_drive, run_program, tmp_path,
                                               paths):
        signer = tmp_path / "signer"
        signer.mkdir()
        signed, _ = signing.signed_copy(paths["program"], str(signer))
        ata_drive.set(realistic_block())
        assert run_program(tmp_path, program=signed) == (EXIT_OK, REALISTIC_REPORT, b"")
        assert_one_request(ata_drive)

    def test_second_run_truncates_both_files(self, ata_drive, run_program, tmp_path):
        # Steps of one case: each run finds the files the one before left.
        failed = (EXIT_REQUEST_FAILED, b"", request_failed_line(1117))
        for what, status, expected in [("fails", 0xC0000185, failed),
                                       ("succeeds", 0, (EXIT_OK, REALISTIC_REPORT, b"")),
                                       ("fails again", 0xC0000185, failed)]:
            ata_drive.set(realistic_block(), completion_status=status)
            assert run_program(tmp_path) == expected, what

    @pytest.mark.parametrize("arguments", [
        ["/?"], ["-v", "--help", "qorvane.err", "two words", "\\\\.\\PhysicalDrive1"]],
        ids=["help switch", "five arguments"])
    def test_command_line_arguments_change_nothing(self, ata_drive, run_program, tmp_path,
                                                   arguments):
        ata_drive.set(realistic_block())
        assert run_program(tmp_path, arguments) == (EXIT_OK, REALISTIC_REPORT, b"")
        assert_one_request(ata_drive)

    # Wine passes the device's write failure (ENOSPC) through, but Wine 8's
    # msvcrt fclose() returns 0 even when its own final flush failed: it tests
    # the stream's error flag as it was before that flush. fflush() does return
    # EOF there, and Microsoft's runtimes return EOF from fclose() as well. So
    # under Wine this failure shows only to a program that flushes before it
    # closes.
    def test_report_on_full_device(self, ata_drive, run_program, tmp_path):
        ata_drive.set(realistic_block())
        os.symlink("/dev/full", os.path.join(tmp_path, "qorvane.log"))
        assert run_program(tmp_path) == (
            EXIT_REPORT_NOT_WRITTEN, None, LINE_REPORT_NOT_WRITTEN), (
            "report on /dev/full not seen as failed; under Wine only fflush() shows it, "
            "fclose() does not (see the comment above)")
        assert os.readlink(os.path.join(tmp_path, "qorvane.log")) == "/dev/full"
        assert_one_request(ata_drive)


class WineOwnDriveTest:
    """Wine's mount manager provides PhysicalDrive0, without ATA pass-through:
    refused as real Windows refuses a drive without it."""

    def test_refused_with_not_supported(self, run_program, tmp_path):
        assert run_program(tmp_path) == (EXIT_REQUEST_FAILED, b"", request_failed_line(50)), (
            "Wine's mount manager made a PhysicalDrive0 (\\Device\\Harddisk0) "
            "where this was written; a -1 here means it made none")


class NoDriveTest:
    """Without the mount manager there is no PhysicalDrive0."""
    dll_overrides = "mountmgr.sys=d"

    def test_drive_not_opened(self, run_program, tmp_path):
        assert run_program(tmp_path) == (EXIT_NO_DRIVE, b"", LINE_NO_DRIVE)
