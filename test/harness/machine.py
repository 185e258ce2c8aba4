"""The emulated x86-64 machine: QEMU with TCG boots Debian's own kernel
(harness.kernel) and runs one command. Its root is this machine's filesystem,
shared read-only over 9p with a tmpfs overlay on top, so whatever is installed
here (Wine, python3, hdparm, the project's builds) runs there too. Folders
named as shares are mounted writable at their own paths: files go in and out
through them. The kernel console goes to a file, for diagnosis."""

import dataclasses
import os
import shlex
import shutil
import subprocess
import tempfile
import time

from harness import kernel, wine
from harness.files import read, tree, write
from harness.kernel import GuestError

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DISKS = ("ahci", "ide", "virtio-scsi", "none")
DEFAULT_CACHE = os.path.join(ROOT, "build", "qemu")
DEFAULT_MODEL = "QEMU ATA DISK"
DEFAULT_FIRMWARE = "1.0"
DEFAULT_SERIAL = "QV0001"
DEFAULT_TIMEOUT_SECONDS = 600
MEMORY_MIB = 2048

# The disk controllers, the 9p root and its overlay; their dependencies come
# from modprobe and are loaded first.
WANTED_MODULES = ("ahci", "ata_piix", "sd_mod", "virtio_scsi",
                  "9p", "9pnet_virtio", "virtio_pci", "overlay")

# The initramfs's /init: builds the new root, mounts the shares, runs the
# command there and writes its output and status to the control share.
INIT_SCRIPT = r"""#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for module in $(cat /modules/order); do
  insmod /modules/$module.ko 2>/dev/null || echo "guest: insmod $module failed"
done
options=trans=virtio,version=9p2000.L,msize=512000
mkdir -p /control /lower /upper /newroot
mount -t 9p -o $options control /control || echo "guest: no control share"
mount -t 9p -o $options,ro,cache=loose hostroot /lower
mount -t tmpfs -o mode=0755 tmpfs /upper
mkdir /upper/data /upper/work
mount -t overlay overlay -o lowerdir=/lower,upperdir=/upper/data,workdir=/upper/work /newroot
mount -t proc proc /newroot/proc
mount -t sysfs sysfs /newroot/sys
mount -t devtmpfs devtmpfs /newroot/dev
mkdir -p /newroot/dev/shm /newroot/dev/pts
mount -t tmpfs -o mode=1777 tmpfs /newroot/dev/shm
mount -t devpts devpts /newroot/dev/pts
# /tmp stays the overlay's: the project may be checked out below it.
mount -t tmpfs -o mode=0755 tmpfs /newroot/run
while read tag path; do
  mkdir -p "/newroot$path" && mount -t 9p -o $options "$tag" "/newroot$path" ||
    echo "guest: share $tag not mounted at $path"
done </control/shares
cp /control/command.sh /newroot/run/command.sh
chroot /newroot /bin/sh /run/command.sh </dev/null >/control/output 2>&1
echo $? >/control/status
sync
poweroff -f
"""


@dataclasses.dataclass
class GuestRun:
    """What one boot handed back."""
    status: int        # the command's exit status, 0..255
    output: bytes      # its standard output and error, merged
    console: str       # the kernel console
    seconds: float     # from QEMU's start to its end


def prepare_kernel(cache=DEFAULT_CACHE, release=kernel.DEFAULT_KERNEL):
    """Debian's kernel of `release` with this machine's initramfs, made once
    and kept in `cache`."""
    return kernel.prepare(cache, release, INIT_SCRIPT, WANTED_MODULES)


def disk_arguments(disk, model=DEFAULT_MODEL, firmware=DEFAULT_FIRMWARE,
                   serial=DEFAULT_SERIAL):
    """QEMU's options for the machine's one disk: an ATA disk on AHCI or on
    the legacy IDE controller with the given identity, a SCSI disk on
    virtio-scsi, or none."""
    if disk == "none":
        return []
    # A disk of zeros that needs no image file.
    backing = ["-blockdev", "driver=null-co,node-name=disk0,size=%d,read-zeroes=on"
               % (64 << 20)]
    for name, value in (("model", model), ("firmware", firmware), ("serial", serial)):
        if "," in value:
            raise GuestError("QEMU cannot take a comma in the %s: %r" % (name, value))
    identity = "model=%s,ver=%s,serial=%s" % (model, firmware, serial)
    if disk == "ahci":
        return backing + ["-device", "ahci,id=ahci0",
                          "-device", "ide-hd,bus=ahci0.0,drive=disk0," + identity]
    if disk == "ide":
        return backing + ["-device", "ide-hd,bus=ide.0,unit=0,drive=disk0," + identity]
    if disk == "virtio-scsi":
        return backing + ["-device", "virtio-scsi-pci,id=scsi0",
                          "-device", "scsi-hd,bus=scsi0.0,drive=disk0"]
    raise GuestError("unknown disk %r; one of %s" % (disk, ", ".join(DISKS)))


def boot(command, disk="none", shares=(), cwd="/", env=None, kernel=None,
         cache=DEFAULT_CACHE, model=DEFAULT_MODEL, firmware=DEFAULT_FIRMWARE,
         serial=DEFAULT_SERIAL, timeout=DEFAULT_TIMEOUT_SECONDS):
    """Boots the machine once, runs `command` (a list) as root in `cwd` with
    `env` added to a plain environment, and returns its GuestRun. `shares`
    are host folders, mounted writable at the same paths."""
    if kernel is None:
        kernel = prepare_kernel(cache)
    qemu = shutil.which("qemu-system-x86_64")
    if not qemu:
        raise GuestError("qemu-system-x86_64 is not installed")
    arguments = disk_arguments(disk, model, firmware, serial)
    os.makedirs(cache, exist_ok=True)
    control = tempfile.mkdtemp(prefix="boot-%s-" % disk, dir=cache)
    try:
        variables = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
                     "HOME": "/root", "LANG": "C.UTF-8", "CI": os.environ.get("CI", "")}
        variables.update(env or {})
        write(os.path.join(control, "command.sh"), "".join(
            ["export %s=%s\n" % (k, shlex.quote(v)) for k, v in variables.items()]
            + ["cd %s || exit 125\n" % shlex.quote(cwd), "exec %s\n" % shlex.join(command)]))
        virtfs = ["-virtfs", "local,path=/,mount_tag=hostroot,security_model=none,"
                  "readonly=on,multidevs=remap",
                  "-virtfs", "local,path=%s,mount_tag=control,security_model=none,"
                  "multidevs=remap" % control]
        lines = []
        for i, share in enumerate(shares):
            share = os.path.abspath(share)
            if not os.path.isdir(share) or "," in share or " " in share:
                raise GuestError("cannot share %r" % share)
            virtfs += ["-virtfs", "local,path=%s,mount_tag=share%d,security_model=none,"
                       "multidevs=remap" % (share, i)]
            lines.append("share%d %s\n" % (i, share))
        write(os.path.join(control, "shares"), "".join(lines))
        console = os.path.join(control, "console.log")
        qemu_command = [
            qemu, "-machine", "pc,accel=tcg", "-m", str(MEMORY_MIB), "-nodefaults",
            "-display", "none", "-no-reboot",
            "-kernel", kernel.vmlinuz, "-initrd", kernel.initramfs,
            "-append", "console=ttyS0 loglevel=4 panic=-1 rdinit=/init",
            "-serial", "file:" + console] + virtfs + arguments
        started = time.monotonic()
        try:
            finished = subprocess.run(qemu_command, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                      timeout=timeout)
        except subprocess.TimeoutExpired:
            raise GuestError("the machine did not power off within %d s; output:\n%s\n"
                             "console:\n%s" % (timeout, read(os.path.join(control, "output"))
                                               [-3000:], read(console)[-4000:]))
        seconds = time.monotonic() - started
        if finished.returncode != 0:
            raise GuestError("qemu failed (%d): %s" % (
                finished.returncode, finished.stdout.decode(errors="replace")))
        status = read(os.path.join(control, "status")).strip()
        if not status.isdigit():
            raise GuestError("the command did not run in the machine; console:\n%s"
                             % read(console)[-4000:])
        return GuestRun(status=int(status), output=read(os.path.join(control, "output"), "rb"),
                        console=read(console), seconds=seconds)
    finally:
        shutil.rmtree(control, ignore_errors=True)


def checked(run, what):
    """`run`, unless its command failed: then a GuestError that says `what`
    failed, with the end of its output and of the console."""
    if run.status != 0:
        raise GuestError("%s failed (%d): %s\nconsole:\n%s" % (
            what, run.status, run.output.decode(errors="replace")[-3000:],
            run.console[-3000:]))
    return run


def run_in_share(script, what, disk="none", inputs=None, env=None, kernel=None,
                 cache=DEFAULT_CACHE, **identity):
    """Boots once and runs the shell script to its first failing command,
    with $SHARE a new writable folder of this machine that holds `inputs`
    (name: bytes). Raises GuestError unless it succeeds; returns its GuestRun
    and every file left below the folder, by path relative to it."""
    os.makedirs(cache, exist_ok=True)
    share = tempfile.mkdtemp(prefix="share-", dir=cache)
    try:
        for name, data in (inputs or {}).items():
            write(os.path.join(share, name), data)
        run = checked(boot(["sh", "-ec", script], disk, shares=[share],
                           env=dict(env or {}, SHARE=share), kernel=kernel, cache=cache,
                           **identity), what)
        return run, tree(share)
    finally:
        shutil.rmtree(share, ignore_errors=True)


def prepare_wine32_prefix(cache=DEFAULT_CACHE, kernel=None):
    """Makes a 32-bit Wine prefix in the machine, once, and returns its path
    in `cache`. Later boots see it through the read-only root under the tmpfs
    overlay, so each boot changes its own copy and the prefix stays as made."""
    folder = os.path.join(os.path.abspath(cache), "wine32")
    prefix = os.path.join(folder, "prefix")
    marker = os.path.join(folder, "complete")
    if os.path.exists(marker):
        return prefix
    if not os.path.exists(wine.WINE32):
        raise GuestError("32-bit Wine is not installed (package wine32:i386)")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    # Made on the machine's tmpfs, then copied out: writing it straight to
    # the share takes twice as long.
    made = "/tmp/wine32-prefix"
    script = ("%s wineboot --init && %s -w && cp -a %s %s"
              % (wine.WINE32, wine.WINE32_SERVER, made, shlex.quote(prefix)))
    checked(boot(["sh", "-c", script], shares=[folder], kernel=kernel, cache=cache,
                 env=wine.wine32_variables(made)), "making the 32-bit Wine prefix")
    write(marker, "")
    return prefix


def wine32_driver_start(name, driver):
    """Shell lines for the machine that start a 32-bit Wine session that stays
    up, and in it the kernel driver `driver` (a path here) as service `name`."""
    return "%s -p\n%s" % (shlex.quote(wine.WINE32_SERVER),
                          wine.driver_start_script(wine.WINE32, name, driver))
