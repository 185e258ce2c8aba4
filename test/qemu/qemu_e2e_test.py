#!/usr/bin/env python3
"""The native program against a real ATA stack: Debian's kernel in QEMU.

    python3 test/qemu/qemu_e2e_test.py --program build/host/qorvane [--cache DIR]
        [unittest options]

One boot per disk: an ATA disk on AHCI, one on the legacy IDE controller, a
virtio-scsi disk (which does not speak ATA) and no disk at all. Exits 77
(skipped) when QEMU, busybox or hdparm is not installed, except under CI=true,
where that is a failure.
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

PROGRAM = None
CACHE = guest.DEFAULT_CACHE

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


def setUpModule():
    kernel = guest.prepare_kernel(CACHE)

    def boot(disk):
        return guest.boot(PROGRAM, disk, CACHE, kernel=kernel,
                          **DISK_IDENTITIES[disk])

    # Each emulated machine runs on one host thread; two at a time fill the
    # machine without slowing each other.
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        futures = {disk: pool.submit(boot, disk) for disk in DISK_IDENTITIES}
    for disk, future in futures.items():
        try:
            RUNS[disk] = future.result()
            sys.stderr.write("boot with %s disk: %.1f s\n"
                             % (disk, RUNS[disk].boot_seconds))
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
                self.assertEqual(0, run.exit_status, run.files)
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
        self.assertEqual(254, run.exit_status, run.files)
        self.assertEqual(-2, run.result)
        # 95 is EOPNOTSUPP: the disk does not take ATA pass-through.
        self.assertEqual(
            {"qorvane.log": b"",
             "qorvane.err": b"Error getting drive information (95), returning -2\r\n"},
            run.files)

    def test_no_disk_at_all(self):
        run = run_of(self, "none")
        self.assertIsNone(run.hdparm_output, "the guest had a /dev/sda")
        self.assertEqual(255, run.exit_status, run.files)
        self.assertEqual(-1, run.result)
        self.assertEqual(
            {"qorvane.log": b"",
             "qorvane.err": b"Error opening drive handle, returning -1\r\n"},
            run.files)


def missing_tools():
    return [tool for tool in ("qemu-system-x86_64", "busybox", "hdparm",
                              "apt-get", "dpkg-deb")
            if not shutil.which(tool)]


def main():
    global PROGRAM, CACHE
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--program", required=True)
    parser.add_argument("--cache", default=guest.DEFAULT_CACHE)
    arguments, rest = parser.parse_known_args()
    PROGRAM = os.path.abspath(arguments.program)
    CACHE = os.path.abspath(arguments.cache)
    missing = missing_tools()
    if missing:
        message = ("the QEMU suite needs %s (packages qemu-system-x86, "
                   "busybox-static, hdparm)" % ", ".join(missing))
        if os.environ.get("CI") == "true":
            print("FAILED: " + message + "; CI must have them")
            return 1
        print("SKIPPED: " + message)
        return 77
    if not os.path.isfile(PROGRAM):
        print("FAILED: no program at %s" % PROGRAM)
        return 1
    program = unittest.main(argv=[sys.argv[0]] + rest, exit=False)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
