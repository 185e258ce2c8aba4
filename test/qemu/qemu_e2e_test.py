#!/usr/bin/env python3
"""The program against a real ATA stack: Debian's kernel in QEMU.

    python3 test/qemu/qemu_e2e_test.py --program build/host/qorvane
        --probe build/host/test/qemu/ata_command_probe [--kernel bookworm|trixie]
    python3 test/qemu/qemu_e2e_test.py --program build/win32/qorvane.exe
        --launcher .../run_with_exit_code.exe --bridge .../ata_bridge.sys
    [--cache DIR] [unittest options]

The Linux program runs as it is; the 32-bit Windows program runs under 32-bit
Wine with the bridge driver as physical drive 0 in front of the machine's
first disk. One boot per disk: an ATA disk on AHCI, one on the legacy IDE
controller, a virtio-scsi disk (which does not speak ATA) and, for the Linux
program, no disk at all; for it the AHCI boot also runs the probe, which sends
READ LOG EXT through the Linux port's own DeviceIoControl. Exits 77 (skipped) when QEMU is
not installed, except under CI=true, where that is a failure.
"""

import argparse
import concurrent.futures
import os
import re
import shutil
import sys
import unittest

sys.dont_write_bytecode = True  # keep the source folder clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import guest  # noqa: E402

OPTIONS = None

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

# What each boot handed back, or the error that stopped it.
RUNS = {}


def bridged():
    return OPTIONS.bridge is not None


def setUpModule():
    kernel = guest.prepare_kernel(OPTIONS.cache, OPTIONS.kernel)
    disks = [d for d in DISK_IDENTITIES if not (bridged() and d == "none")]
    if bridged():
        guest.prepare_wine32_prefix(OPTIONS.cache, kernel)

    def boot(disk):
        probe = [OPTIONS.probe] if OPTIONS.probe and disk == "ahci" else None
        return guest.report(OPTIONS.program, disk, kernel, OPTIONS.cache,
                            launcher=OPTIONS.launcher, bridge=OPTIONS.bridge,
                            extra_command=probe, **DISK_IDENTITIES[disk])

    # Each emulated machine runs on one host thread; two at a time fill the
    # machine without slowing each other.
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        futures = {disk: pool.submit(boot, disk) for disk in disks}
    for disk, future in futures.items():
        try:
            RUNS[disk] = future.result()
            sys.stderr.write("%s, %s disk: %.1f s\n"
                             % (kernel.version, disk, RUNS[disk].run.seconds))
        except Exception as error:  # reported by each test of that disk
            RUNS[disk] = error


def run_of(test, disk):
    run = RUNS[disk]
    if isinstance(run, Exception):
        test.fail("the %s boot failed: %s" % (disk, run))
    return run


def hdparm_field(output, label):
    match = re.search(r"^\s*%s:\s*(.*?)\s*$" % re.escape(label),
                      output.decode(errors="replace"), re.MULTILINE)
    return match.group(1) if match else None


class AtaDiskTest(unittest.TestCase):

    def test_report_holds_model_and_firmware_as_qemu_was_told(self):
        for disk in ("ahci", "ide"):
            with self.subTest(disk=disk):
                run = run_of(self, disk)
                identity = DISK_IDENTITIES[disk]
                expected_report = (identity["model"].ljust(40).encode() + b"\r\n"
                                   + identity["firmware"].ljust(8).encode() + b"\r\n")
                self.assertEqual(0, run.result, run.files)
                # Exactly these two files, nothing else in the folder.
                self.assertEqual({"qorvane.log": expected_report, "qorvane.err": b""},
                                 run.files)

    def test_hdparm_names_the_same_model_and_firmware(self):
        for disk in ("ahci", "ide"):
            with self.subTest(disk=disk):
                run = run_of(self, disk)
                report = run.files.get("qorvane.log", b"").split(b"\r\n")
                self.assertEqual(3, len(report), run.files)
                self.assertIsNotNone(run.hdparm_output, "the guest had no /dev/sda")
                self.assertEqual(0, run.hdparm_status, run.hdparm_output)
                self.assertEqual(report[0].decode().strip(),
                                 hdparm_field(run.hdparm_output, "Model Number"))
                self.assertEqual(report[1].decode().strip(),
                                 hdparm_field(run.hdparm_output, "Firmware Revision"))


class NoAtaDiskTest(unittest.TestCase):

    def test_disk_that_does_not_speak_ata(self):
        run = run_of(self, "virtio-scsi")
        # The disk was there: the failure is the request's, not the open's.
        self.assertIsNotNone(run.hdparm_output, "the guest had no /dev/sda")
        # Linux says EOPNOTSUPP (95); the bridge ERROR_NOT_SUPPORTED (50), as
        # Wine's own disk device and a Windows disk without ATA pass-through do.
        number = 50 if bridged() else 95
        self.assertEqual(-2, run.result)
        self.assertEqual(
            {"qorvane.log": b"",
             "qorvane.err": b"Error getting drive information (%d), returning -2\r\n" % number},
            run.files)


class LinuxPortTest(unittest.TestCase):
    """The Linux program only: the bridge needs a disk to stand in front of
    (the Wine suite has the run without a drive), and the probe is the Linux
    port's."""

    def test_no_disk_at_all(self):
        run = run_of(self, "none")
        self.assertIsNone(run.hdparm_output, "the guest had a /dev/sda")
        self.assertEqual(-1, run.result)
        self.assertEqual(
            {"qorvane.log": b"",
             "qorvane.err": b"Error opening drive handle, returning -1\r\n"},
            run.files)

    def test_drive_abort_comes_back_as_a_completed_request(self):
        run = run_of(self, "ahci")
        # ERR and DRDY in the status register, ABRT in the error register.
        self.assertEqual(b"completed 1 last-error 0 status 0x41 error 0x04\n",
                         run.extra_output)


def main():
    global OPTIONS
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--program", required=True)
    parser.add_argument("--cache", default=guest.DEFAULT_CACHE)
    parser.add_argument("--kernel", choices=guest.KERNELS, default=guest.DEFAULT_KERNEL)
    parser.add_argument("--probe")
    parser.add_argument("--launcher")
    parser.add_argument("--bridge")
    OPTIONS, rest = parser.parse_known_args()
    for name in ("program", "cache", "probe", "launcher", "bridge"):
        if getattr(OPTIONS, name):
            setattr(OPTIONS, name, os.path.abspath(getattr(OPTIONS, name)))
    missing = [tool for tool in ("qemu-system-x86_64", "busybox", "hdparm", "apt-get",
                                 "dpkg-deb", "depmod", "cpio") if not shutil.which(tool)]
    if missing:
        message = "the QEMU suite needs %s (script/install)" % ", ".join(missing)
        if os.environ.get("CI") == "true":
            print("FAILED: " + message + "; CI must have them")
            return 1
        print("SKIPPED: " + message)
        return 77
    if bridged() == bool(OPTIONS.probe) or bridged() != bool(OPTIONS.launcher):
        print("FAILED: give --probe for a Linux program, --launcher and --bridge for "
              "a Windows one")
        return 1
    for path in (OPTIONS.program, OPTIONS.probe, OPTIONS.launcher, OPTIONS.bridge):
        if path and not os.path.isfile(path):
            print("FAILED: no file at %s" % path)
            return 1
    if bridged():
        del globals()["LinuxPortTest"]
    program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
