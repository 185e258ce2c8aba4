"""The built Linux program, run whole: exit status and the exact bytes of both
files. Each run gets a private /dev (a mount namespace with a tmpfs over
/dev), so that what stands at /dev/sda is the test's choice on any machine."""

import argparse
import os
import subprocess
import sys
import tempfile
import unittest

PROGRAM = None

DRIVE_LINE = b"Error opening drive handle, returning -1\r\n"
FILE_LINE = b"Error opening file handle, returning -3\r\n"
WRITE_LINE = b"Error writing report file, returning -4\r\n"
DIRECTORY = "<directory>"


def run(sda=None, report_place=None, error_place=None, arguments=()):
    """Runs the program in a fresh folder. `sda` is None (no disk) or "file"
    (a plain file where the disk should be); a place is None, "directory" or
    "full" (a link to the full device)."""
    folder = tempfile.mkdtemp(prefix="qorvane_linux_")
    for name, place in (("qorvane.log", report_place), ("qorvane.err", error_place)):
        path = os.path.join(folder, name)
        if place == "directory":
            os.mkdir(path)
        elif place == "full":
            os.symlink("/dev/full", path)
    setup = "mount -t tmpfs none /dev && mknod /dev/full c 1 7 && mknod /dev/null c 1 3"
    if sda == "file":
        setup += " && echo not-a-disk > /dev/sda"
    script = setup + ' && cd "$1" && shift && exec "$@"'
    completed = subprocess.run(
        ["unshare", "--mount", "sh", "-c", script, "sh", folder, PROGRAM, *arguments],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    files = {}
    for name in ("qorvane.log", "qorvane.err"):
        path = os.path.join(folder, name)
        if os.path.isdir(path):
            files[name] = DIRECTORY if os.listdir(path) == [] else "<changed>"
        elif os.path.lexists(path) and not os.path.islink(path):
            with open(path, "rb") as handle:
                files[name] = handle.read()
        else:
            files[name] = "<link>" if os.path.islink(path) else "<absent>"
    subprocess.run(["rm", "-rf", folder], check=True)
    return completed, files


class LinuxProgramTest(unittest.TestCase):
    def test_outcomes(self):
        enotty = b"Error getting drive information (25), returning -2\r\n"
        cases = [
            # name, disk, report place, error place, exit status, error file, report
            ("no disk", None, None, None, 255, DRIVE_LINE, b""),
            ("no SCSI device behind the name", "file", None, None, 254, enotty, b""),
            ("report file unopenable", None, "directory", None, 253, FILE_LINE, DIRECTORY),
            ("no error file", None, None, "directory", 255, DIRECTORY, b""),
            ("both unopenable", None, "directory", "directory", 253, DIRECTORY, DIRECTORY),
        ]
        for name, sda, report_place, error_place, status, error, report in cases:
            with self.subTest(name):
                completed, files = run(sda, report_place, error_place)
                self.assertEqual(completed.returncode, status, completed.stderr)
                self.assertEqual(files["qorvane.err"], error)
                self.assertEqual(files["qorvane.log"], report)
                self.assertEqual(completed.stdout + completed.stderr, b"", "the program is silent")

    def test_command_line_changes_nothing(self):
        plain = run(sda="file")
        with_arguments = run(sda="file", arguments=("/?", "--help", "\\\\.\\PhysicalDrive1"))
        self.assertEqual(with_arguments[0].returncode, plain[0].returncode)
        self.assertEqual(with_arguments[1], plain[1])


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    options, rest = parser.parse_known_args()
    PROGRAM = os.path.abspath(options.program)
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
