"""The program against a real ATA stack: Debian's kernel in QEMU.

The Linux program (--program, --probe, --kernel) runs as it is; the 32-bit
Windows program (--program, --launcher, --bridge) runs under 32-bit Wine with
the bridge driver as physical drive 0 in front of the machine's first disk.
One boot per disk: an ATA disk on AHCI, one on the legacy IDE controller, a
virtio-scsi disk (which does not speak ATA) and, for the Linux program, no
disk at all; for it the AHCI boot also runs the probe, which sends READ LOG
EXT through the Linux port's own DeviceIoControl. Exits 77 (skipped) when QEMU
is not installed, except under CI=true, where that is a failure.
"""

import concurrent.futures
import os
import re
import shutil
import sys
import types

import pytest

from harness import machine, report

# Each disk its own identity, so that a report cannot come from another boot.
# The IDE one fills both fields to the last character.
DISK_IDENTITIES = {
    "ahci": {"model": "QORVANE AHCI TEST DISK", "firmware": "AH1.0",
             "serial": "QV-AHCI-0001"},
    "ide": {"model": "QORVANE LEGACY IDE DISK OF FORTY LETTERS",
            "firmware": "IDE-2.50", "serial": "QV-IDE-0002"},
    "virtio-scsi": {},
    "none": {},
}
TOOLS = ("qemu-system-x86_64", "busybox", "hdparm", "apt-get", "dpkg-deb", "depmod", "cpio")

# The bridge needs a disk to stand in front of (the Wine suite has the run
# without a drive), and the probe is the Linux port's.
linux_program_only = pytest.mark.skipif("config.getoption('bridge')",
                                        reason="the Linux program's cases")


@pytest.fixture(scope="module")
def under_test(built, pytestconfig):
    """The program and how it runs: a Linux one with the probe, or a Windows
    one with the launcher and the bridge."""
    missing = [tool for tool in TOOLS if not shutil.which(tool)]
    if missing:
        message = "the QEMU suite needs %s (script/install)" % ", ".join(missing)
        if os.environ.get("CI") == "true":
            pytest.fail(message + "; CI must have them")
        pytest.exit("SKIPPED: " + message, returncode=77)
    found = types.SimpleNamespace(
        **{name: built(name, required=name == "program")
           for name in ("program", "probe", "launcher", "bridge")})
    if (found.bridge is None) != (found.probe is not None) or \
            (found.bridge is None) != (found.launcher is None):
        pytest.fail("give --probe for a Linux program, --launcher and --bridge for a "
                    "Windows one")
    return found


@pytest.fixture(scope="module")
def runs(under_test, pytestconfig):
    """What each disk's boot handed back, or the error that stopped it."""
    cache = os.path.abspath(pytestconfig.getoption("cache"))
    kernel = machine.prepare_kernel(cache, pytestconfig.getoption("kernel"))
    disks = [d for d in DISK_IDENTITIES if not (under_test.bridge and d == "none")]
    if under_test.bridge:
        machine.prepare_wine32_prefix(cache, kernel)

    def boot(disk):
        probe = [under_test.probe] if under_test.probe and disk == "ahci" else None
        return report.in_machine(under_test.program, disk, kernel, cache,
                                 launcher=under_test.launcher, bridge=under_test.bridge,
                                 extra_command=probe, **DISK_IDENTITIES[disk])

    # Each emulated machine runs on one host thread; two at a time fill the
    # machine without slowing each other.
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        futures = {disk: pool.submit(boot, disk) for disk in disks}
    found = {}
    for disk, future in futures.items():
        try:
            found[disk] = future.result()
            sys.stderr.write("%s, %s disk: %.1f s\n"
                             % (kernel.version, disk, found[disk].run.seconds))
        except Exception as error:  # reported by each test of that disk
            found[disk] = error
    return found


def run_of(runs, disk):
    run = runs[disk]
    if isinstance(run, Exception):
        pytest.fail("the %s boot failed: %s" % (disk, run))
    return run


def hdparm_field(output, label):
    match = re.search(r"^\s*%s:\s*(.*?)\s*$" % re.escape(label),
                      output.decode(errors="replace"), re.MULTILINE)
    return match.group(1) if match else None


@pytest.mark.parametrize("disk", ("ahci", "ide"))
class AtaDiskTest:

    def test_report_holds_model_and_firmware_as_qemu_was_told(self, runs, disk):
        run = run_of(runs, disk)
        identity = DISK_IDENTITIES[disk]
        expected_report = (identity["model"].ljust(40).encode() + b"\r\n"
                           + identity["firmware"].ljust(8).encode() + b"\r\n")
        assert run.result == 0, run.files
        # Exactly these two files, nothing else in the folder.
        assert run.files == {"qorvane.log": expected_report, "qorvane.err": b""}

    def test_hdparm_names_the_same_model_and_firmware(self, runs, disk):
        run = run_of(runs, disk)
        lines = run.files.get("qorvane.log", b"").split(b"\r\n")
        assert len(lines) == 3, run.files
        assert run.hdparm_output is not None, "the guest had no /dev/sda"
        assert run.hdparm_status == 0, run.hdparm_output
        assert hdparm_field(run.hdparm_output, "Model Number") == lines[0].decode().strip()
        assert hdparm_field(run.hdparm_output, "Firmware Revision") == lines[1].decode().strip()


class NoAtaDiskTest:

    def test_disk_that_does_not_speak_ata(self, runs, under_test):
        run = run_of(runs, "virtio-scsi")
        # The disk was there: the failure is the request's, not the open's.
        assert run.hdparm_output is not None, "the guest had no /dev/sda"
        # Linux says EOPNOTSUPP (95); the bridge ERROR_NOT_SUPPORTED (50), as
        # Wine's own disk device and a Windows disk without ATA pass-through do.
        number = 50 if under_test.bridge else 95
        assert run.result == -2
        assert run.files == {
            "qorvane.log": b"",
            "qorvane.err": b"Error getting drive information (%d), returning -2\r\n" % number}


@linux_program_only
class LinuxPortTest:

    def test_no_disk_at_all(self, runs):
        run = run_of(runs, "none")
        assert run.hdparm_output is None, "the guest had a /dev/sda"
        assert run.result == -1
        assert run.files == {"qorvane.log": b"",
                             "qorvane.err": b"Error opening drive handle, returning -1\r\n"}

    def test_drive_abort_comes_back_as_a_completed_request(self, runs):
        run = run_of(runs, "ahci")
        # ERR and DRDY in the status register, ABRT in the error register. The
        # kernel reports no residual for it, so the count is the header and the
        # 512 bytes asked for (48 + 512): the untouched, all-zero data area is
        # what shows that nothing came back.
        assert run.extra_output == (b"completed 1 last-error 0 status 0x41 error 0x04"
                                    b" returned 560 data zero\n")
