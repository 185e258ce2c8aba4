"""The built Linux program, run whole: exit status and the exact bytes of both
files. Each run gets a private /dev (a mount namespace with a tmpfs over
/dev), so that what stands at /dev/sda is the test's choice on any machine."""

import os
import subprocess
import tempfile

import pytest

DRIVE_LINE = b"Error opening drive handle, returning -1\r\n"
FILE_LINE = b"Error opening file handle, returning -3\r\n"
ENOTTY_LINE = b"Error getting drive information (25), returning -2\r\n"
DIRECTORY = "<directory>"


def run(program, sda=None, report_place=None, error_place=None, arguments=()):
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
        ["unshare", "--mount", "sh", "-c", script, "sh", folder, program, *arguments],
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


@pytest.mark.parametrize("sda, report_place, error_place, status, error, report", [
    pytest.param(None, None, None, 255, DRIVE_LINE, b"", id="no-disk"),
    pytest.param("file", None, None, 254, ENOTTY_LINE, b"", id="no-scsi-device-behind-the-name"),
    pytest.param(None, "directory", None, 253, FILE_LINE, DIRECTORY, id="report-file-unopenable"),
    pytest.param(None, None, "directory", 255, DIRECTORY, b"", id="no-error-file"),
    pytest.param(None, "directory", "directory", 253, DIRECTORY, DIRECTORY,
                 id="both-unopenable"),
])
def test_outcomes(program, sda, report_place, error_place, status, error, report):
    completed, files = run(program, sda, report_place, error_place)
    assert completed.returncode == status, completed.stderr
    assert files["qorvane.err"] == error
    assert files["qorvane.log"] == report
    assert completed.stdout + completed.stderr == b"", "the program is silent"


def test_command_line_changes_nothing(program):
    plain = run(program, sda="file")
    with_arguments = run(program, sda="file",
                         arguments=("/?", "--help", "\\\\.\\PhysicalDrive1"))
    assert with_arguments[0].returncode == plain[0].returncode
    assert with_arguments[1] == plain[1]
