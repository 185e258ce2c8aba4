#!/usr/bin/env python3
"""Runs a program in an emulated x86-64 machine against an emulated disk.

The machine boots Debian's own kernel (the linux-image package, fetched with
apt-get download and unpacked, never installed) with a small initramfs:
busybox-static, the kernel's ATA and SCSI-disk modules, hdparm with its shared
libraries, and the program. The guest runs the program as root in an empty
folder, then hands the exit status, the files the program left there and the
output of `hdparm -I /dev/sda` back over a second serial port, base64-encoded.

    python3 test/qemu/guest.py run --program PATH [--disk ahci|ide|virtio-scsi|none]
        [--cache DIR] [--model TEXT] [--firmware TEXT] [--serial TEXT] [--hdparm]

The kernel, its modules and the fixed part of the initramfs stay in the cache
folder between boots; only the program is packed anew for each boot.
"""

import argparse
import base64
import dataclasses
import gzip
import hashlib
import lzma
import os
import re
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import time

DISKS = ("ahci", "ide", "virtio-scsi", "none")
DEFAULT_CACHE = os.path.join(
    os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
    "build", "host", "qemu")
DEFAULT_MODEL = "QEMU ATA DISK"
DEFAULT_FIRMWARE = "1.0"
DEFAULT_SERIAL = "QV0001"

KERNEL_METAPACKAGE = "linux-image-amd64"
# The drivers the guest needs; their dependencies are added from the modules'
# own "depends" records and everything is loaded in dependency order.
WANTED_MODULES = ("ahci", "ata_piix", "sd_mod", "virtio_pci", "virtio_scsi")
# The program, inside the guest.
GUEST_PROGRAM = "/qorvane"
BOOT_TIMEOUT_SECONDS = 180

# The guest's /init. Results go to the second serial port so that kernel
# messages on the console cannot mix with them.
INIT_SCRIPT = r"""#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin:/usr/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for module in $(cat /modules/order); do
  insmod /modules/$module.ko || echo "guest: insmod $module failed"
done
mkdir /scratch
cd /scratch
/qorvane
status=$?
cd /
[ -b /dev/sda ] && hdparm -I /dev/sda >/tmp/hdparm.out 2>&1
hdparm_status=$?
stty -F /dev/ttyS1 raw -echo
{
  echo "@@status $status"
  for name in $(ls -A /scratch); do
    echo "@@file $name"
    base64 "/scratch/$name"
    echo "@@end"
  done
  if [ -e /tmp/hdparm.out ]; then
    echo "@@hdparm $hdparm_status"
    base64 /tmp/hdparm.out
    echo "@@end"
  fi
  echo "@@done"
} >/dev/ttyS1
sync
poweroff -f
"""


@dataclasses.dataclass
class GuestRun:
    """What one boot handed back."""
    exit_status: int            # 0..255, as the guest's shell saw it
    files: dict                 # name -> bytes, every file left in the folder
    hdparm_output: bytes        # None when the guest had no /dev/sda
    hdparm_status: int
    console: str                # the kernel console, for diagnosis
    boot_seconds: float

    @property
    def result(self):
        """The program's result as a signed number (255 -> -1)."""
        return self.exit_status - 256 if self.exit_status >= 128 else self.exit_status


@dataclasses.dataclass
class Kernel:
    vmlinuz: str
    base_initramfs: str


class GuestError(Exception):
    pass


# ---------------------------------------------------------------------------
# Kernel and initramfs pieces


def _run(command, **kwargs):
    return subprocess.run(command, check=True, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, **kwargs)


def _apt_download(package, folder):
    try:
        _run(["apt-get", "download", package], cwd=folder)
    except subprocess.CalledProcessError:
        # A machine whose package lists were never fetched knows no package.
        _run(["apt-get", "update"])
        _run(["apt-get", "download", package], cwd=folder)
    found = [n for n in os.listdir(folder)
             if n.startswith(package + "_") and n.endswith(".deb")]
    if not found:
        raise GuestError("apt-get download %s left no package" % package)
    return os.path.join(folder, sorted(found)[-1])


def fetch_kernel(cache):
    """Fetches Debian's kernel package and keeps, in `cache`/kernel, only what
    the guest needs: "vmlinuz", and in "modules" the wanted modules with their
    dependencies (decompressed) and their load order in "order". Returns that
    folder; a later call finds it ready."""
    folder = os.path.join(cache, "kernel")
    marker = os.path.join(folder, "complete")
    wanted = " ".join(WANTED_MODULES)
    if os.path.exists(marker) and _read(marker) == wanted:
        return folder
    shutil.rmtree(folder, ignore_errors=True)
    downloads = tempfile.mkdtemp(prefix="kernel-", dir=cache)
    try:
        meta = _apt_download(KERNEL_METAPACKAGE, downloads)
        depends = _run(["dpkg-deb", "-f", meta, "Depends"]).stdout
        match = re.search(r"(linux-image-[0-9][^\s,(|]*)", depends)
        if not match:
            raise GuestError("%s names no kernel: %r" % (KERNEL_METAPACKAGE, depends))
        package = _apt_download(match.group(1), downloads)
        root = os.path.join(downloads, "root")
        _run(["dpkg-deb", "-x", package, root])
        vmlinuz = _only(os.path.join(root, "boot"), r"vmlinuz-.+")
        modules = resolve_modules(
            _only(os.path.join(root, "lib", "modules"), r".+"), WANTED_MODULES)
        os.makedirs(os.path.join(folder, "modules"))
        shutil.copyfile(vmlinuz, os.path.join(folder, "vmlinuz"))
        for name, elf in modules:
            with open(os.path.join(folder, "modules", name + ".ko"), "wb") as out:
                out.write(elf)
        with open(os.path.join(folder, "modules", "order"), "w") as out:
            out.write("".join(name + "\n" for name, _ in modules))
        with open(os.path.join(folder, "release"), "w") as out:
            out.write(os.path.basename(vmlinuz)[len("vmlinuz-"):])
        with open(marker, "w") as out:
            out.write(wanted)
    finally:
        shutil.rmtree(downloads, ignore_errors=True)
    return folder


def _only(folder, pattern):
    names = sorted(n for n in os.listdir(folder) if re.fullmatch(pattern, n))
    if not names:
        raise GuestError("nothing matches %s in %s" % (pattern, folder))
    return os.path.join(folder, names[-1])


def _module_name(file_name):
    return re.sub(r"\.ko(\.(xz|gz|zst))?$", "", file_name).replace("-", "_")


def _module_bytes(path):
    """The module's ELF bytes; compressed modules are unpacked on the host."""
    if path.endswith(".xz"):
        return lzma.decompress(_read_bytes(path))
    if path.endswith(".gz"):
        return gzip.decompress(_read_bytes(path))
    if path.endswith(".zst"):
        return subprocess.run(["zstd", "-dc", path], check=True,
                              stdout=subprocess.PIPE).stdout
    return _read_bytes(path)


def _module_depends(elf):
    match = re.search(rb"(?:^|\x00)depends=([^\x00]*)\x00", elf)
    if not match or not match.group(1):
        return []
    return [_module_name(n.decode()) for n in match.group(1).split(b",")]


def resolve_modules(module_folder, wanted):
    """Returns [(name, elf bytes)] for `wanted` and their dependencies, each
    after everything it depends on."""
    paths = {}
    for folder, _, names in os.walk(module_folder):
        for name in names:
            if re.search(r"\.ko(\.(xz|gz|zst))?$", name):
                paths[_module_name(name)] = os.path.join(folder, name)
    ordered = []
    done = set()

    def visit(name, chain):
        if name in done:
            return
        if name in chain:
            raise GuestError("module dependency loop: %s" % " > ".join(chain))
        if name not in paths:
            raise GuestError("module %s is not in %s" % (name, module_folder))
        elf = _module_bytes(paths[name])
        for dependency in _module_depends(elf):
            visit(dependency, chain + [name])
        done.add(name)
        ordered.append((name, elf))

    for name in wanted:
        visit(name.replace("-", "_"), [])
    return ordered


def _shared_libraries(program):
    """The files the dynamic loader needs to start `program`, per ldd."""
    output = _run(["ldd", program]).stdout
    paths = []
    for line in output.splitlines():
        match = re.search(r"(?:=>\s*)?(/\S+)\s+\(0x", line)
        if match:
            paths.append(match.group(1))
    return paths


class Cpio:
    """An initramfs archive in the kernel's "newc" cpio format."""

    def __init__(self):
        self.data = bytearray()
        self.inode = 1
        self.folders = set()

    def _entry(self, name, mode, content=b"", rdev=(0, 0)):
        name_bytes = name.lstrip("/").encode() + b"\x00"
        fields = [self.inode, mode, 0, 0, 1, 0, len(content), 0, 0,
                  rdev[0], rdev[1], len(name_bytes), 0]
        self.inode += 1
        self.data += b"070701" + b"".join(b"%08X" % f for f in fields)
        self.data += name_bytes
        self.data += b"\x00" * (-len(self.data) % 4)
        self.data += content
        self.data += b"\x00" * (-len(self.data) % 4)

    def folder(self, name):
        parts = [part for part in name.strip("/").split("/") if part]
        for i in range(1, len(parts) + 1):
            path = "/".join(parts[:i])
            if path not in self.folders:
                self.folders.add(path)
                self._entry(path, stat.S_IFDIR | 0o755)

    def file(self, name, content, executable=False):
        self.folder(os.path.dirname(name))
        self._entry(name, stat.S_IFREG | (0o755 if executable else 0o644), content)

    def character_device(self, name, major, minor):
        self.folder(os.path.dirname(name))
        self._entry(name, stat.S_IFCHR | 0o600, rdev=(major, minor))

    def finish(self):
        self._entry("TRAILER!!!", 0)
        return bytes(self.data)


def _base_initramfs(cache, kernel_folder):
    busybox = shutil.which("busybox")
    hdparm = shutil.which("hdparm") or "/usr/sbin/hdparm"
    if not busybox or not os.path.exists(hdparm):
        raise GuestError("busybox-static and hdparm must be installed")
    libraries = _shared_libraries(hdparm)
    order = _read(os.path.join(kernel_folder, "modules", "order")).split()
    # The archive is rebuilt whenever any of its inputs changes.
    key = hashlib.sha256()
    for part in [INIT_SCRIPT, _read(os.path.join(kernel_folder, "release")),
                 busybox, hdparm] + order + libraries:
        key.update(part.encode() + b"\x00")
    for path in [busybox, hdparm] + libraries:
        info = os.stat(path)
        key.update(b"%d %d" % (info.st_size, info.st_mtime_ns))
    path = os.path.join(cache, "base-%s.cpio" % key.hexdigest()[:16])
    if os.path.exists(path):
        return path

    archive = Cpio()
    for folder in ("bin", "dev", "proc", "sys", "tmp", "modules"):
        archive.folder(folder)
    archive.character_device("dev/console", 5, 1)
    archive.file("init", INIT_SCRIPT.encode(), executable=True)
    archive.file("bin/busybox", _read_bytes(busybox), executable=True)
    archive.file("usr/sbin/hdparm", _read_bytes(hdparm), executable=True)
    for library in libraries:
        archive.file(library, _read_bytes(library), executable=True)
    for name in order:
        archive.file("modules/%s.ko" % name,
                     _read_bytes(os.path.join(kernel_folder, "modules", name + ".ko")))
    archive.file("modules/order", "".join(name + "\n" for name in order).encode())
    partial = path + ".partial-%d" % os.getpid()
    with open(partial, "wb") as out:
        out.write(archive.finish())
    os.replace(partial, path)
    return path


def prepare_kernel(cache=DEFAULT_CACHE):
    """Fetches the kernel and builds the fixed part of the initramfs, once."""
    cache = os.path.abspath(cache)
    os.makedirs(cache, exist_ok=True)
    folder = fetch_kernel(cache)
    return Kernel(vmlinuz=os.path.join(folder, "vmlinuz"),
                  base_initramfs=_base_initramfs(cache, folder))


# ---------------------------------------------------------------------------
# Booting


def _disk_arguments(disk, model, firmware, serial):
    if disk == "none":
        return []
    # A disk of zeros that needs no image file.
    backing = ["-blockdev", "driver=null-co,node-name=disk0,size=%d,read-zeroes=on"
               % (64 << 20)]

    def identity():
        for name, value in (("model", model), ("ver", firmware), ("serial", serial)):
            if "," in value:
                raise GuestError("QEMU cannot take a comma in %s: %r" % (name, value))
        return "model=%s,ver=%s,serial=%s" % (model, firmware, serial)

    if disk == "ahci":
        return backing + ["-device", "ahci,id=ahci0",
                          "-device", "ide-hd,bus=ahci0.0,drive=disk0," + identity()]
    if disk == "ide":
        return backing + ["-device", "ide-hd,bus=ide.0,unit=0,drive=disk0," + identity()]
    if disk == "virtio-scsi":
        return backing + ["-device", "virtio-scsi-pci,id=scsi0",
                          "-device", "scsi-hd,bus=scsi0.0,drive=disk0"]
    raise GuestError("unknown disk %r; one of %s" % (disk, ", ".join(DISKS)))


def parse_results(text):
    """Reads what the guest wrote to the result port: (status, files,
    hdparm output, hdparm status)."""
    lines = text.replace("\r", "").split("\n")
    status = None
    files = {}
    hdparm_output = None
    hdparm_status = None
    done = False
    i = 0
    while i < len(lines):
        line = lines[i]
        i += 1
        if line.startswith("@@status "):
            status = int(line.split()[1])
        elif line.startswith("@@file ") or line.startswith("@@hdparm "):
            encoded = []
            while i < len(lines) and lines[i] != "@@end":
                encoded.append(lines[i])
                i += 1
            if i == len(lines):
                raise GuestError("result cut short in %r" % line)
            i += 1
            content = base64.b64decode("".join(encoded))
            if line.startswith("@@file "):
                files[line[len("@@file "):]] = content
            else:
                hdparm_status = int(line.split()[1])
                hdparm_output = content
        elif line == "@@done":
            done = True
    if status is None or not done:
        raise GuestError("the guest handed back no complete result")
    return status, files, hdparm_output, hdparm_status


def boot(program, disk="ahci", cache=DEFAULT_CACHE, model=DEFAULT_MODEL,
         firmware=DEFAULT_FIRMWARE, serial=DEFAULT_SERIAL, kernel=None,
         extra_programs=(), extra_files=()):
    """Boots the guest once with `program` and the chosen disk.

    `extra_programs` (host paths of programs) go into the guest at the same
    paths, each with the shared libraries it needs; `extra_files` (host paths)
    go in at the same paths as they are. `program` may also be a script for the
    guest's busybox shell ("#!/bin/sh") that runs them."""
    if kernel is None:
        kernel = prepare_kernel(cache)
    qemu = shutil.which("qemu-system-x86_64")
    if not qemu:
        raise GuestError("qemu-system-x86_64 is not installed")
    disk_arguments = _disk_arguments(disk, model, firmware, serial)
    os.makedirs(cache, exist_ok=True)
    work = tempfile.mkdtemp(prefix="boot-%s-" % disk, dir=cache)
    try:
        archive = Cpio()
        archive.file(GUEST_PROGRAM, _read_bytes(program), executable=True)
        for path in _with_shared_libraries(extra_programs):
            archive.file(path, _read_bytes(path), executable=True)
        for path in extra_files:
            if not os.path.isabs(path):
                raise GuestError("extra file %r is not an absolute path" % path)
            archive.file(path, _read_bytes(path))
        initramfs = os.path.join(work, "initramfs.cpio")
        with open(initramfs, "wb") as out:
            # The kernel unpacks concatenated archives one after the other.
            out.write(_read_bytes(kernel.base_initramfs))
            out.write(archive.finish())
        console = os.path.join(work, "console.log")
        results = os.path.join(work, "results.txt")
        command = [
            qemu, "-machine", "pc,accel=tcg", "-m", "256", "-nodefaults",
            "-display", "none", "-no-reboot",
            "-kernel", kernel.vmlinuz, "-initrd", initramfs,
            "-append", "console=ttyS0 loglevel=4 panic=-1 rdinit=/init",
            "-serial", "file:" + console, "-serial", "file:" + results,
        ] + disk_arguments
        started = time.monotonic()
        try:
            finished = subprocess.run(command, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.PIPE,
                                      stderr=subprocess.STDOUT,
                                      timeout=BOOT_TIMEOUT_SECONDS)
        except subprocess.TimeoutExpired:
            raise GuestError("the guest did not power off within %d s; console:\n%s"
                             % (BOOT_TIMEOUT_SECONDS, _read(console)[-4000:]))
        seconds = time.monotonic() - started
        console_text = _read(console)
        if finished.returncode != 0:
            raise GuestError("qemu failed (%d): %s" % (
                finished.returncode, finished.stdout.decode(errors="replace")))
        try:
            status, files, hdparm_output, hdparm_status = parse_results(_read(results))
        except GuestError as error:
            raise GuestError("%s; console:\n%s" % (error, console_text[-4000:]))
        return GuestRun(exit_status=status, files=files, hdparm_output=hdparm_output,
                        hdparm_status=hdparm_status, console=console_text,
                        boot_seconds=seconds)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def _with_shared_libraries(programs):
    """`programs` (absolute paths) and the libraries they load, each once."""
    paths = []
    for program in programs:
        if not os.path.isabs(program):
            raise GuestError("extra program %r is not an absolute path" % program)
        needed = [program]
        # ldd refuses a static program, which needs nothing.
        if _has_interpreter(_read_bytes(program)):
            needed += _shared_libraries(program)
        paths += [path for path in needed if path not in paths]
    return paths


def _has_interpreter(elf):
    """True when a 64-bit little-endian ELF image names a dynamic loader (has
    a PT_INTERP program header)."""
    if elf[:6] != b"\x7fELF\x02\x01":
        raise GuestError("not a 64-bit little-endian ELF program")
    table, = struct.unpack_from("<Q", elf, 0x20)
    entry_size, count = struct.unpack_from("<HH", elf, 0x36)
    return any(struct.unpack_from("<I", elf, table + i * entry_size)[0] == 3
               for i in range(count))


def _read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def _read(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode(errors="replace")
    except FileNotFoundError:
        return ""


# ---------------------------------------------------------------------------
# Command line


def _show(run, show_hdparm, out):
    out.write(b"exit status %d (%d)\n" % (run.exit_status, run.result))
    for name in ("qorvane.log", "qorvane.err"):
        if name not in run.files:
            out.write(b"--- %s: not created\n" % name.encode())
            continue
        content = run.files[name]
        out.write(b"--- %s (%d bytes)\n" % (name.encode(), len(content)))
        out.write(content)
    for name in sorted(set(run.files) - {"qorvane.log", "qorvane.err"}):
        out.write(b"--- also left: %s\n" % name.encode())
    if show_hdparm and run.hdparm_output is not None:
        out.write(b"--- hdparm -I /dev/sda (status %d)\n" % run.hdparm_status)
        out.write(run.hdparm_output)
    out.write(b"--- boot took %.1f s\n" % run.boot_seconds)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    run = commands.add_parser("run", help="boot once and print what the program left")
    run.add_argument("--program", required=True, help="statically linked x86-64 program")
    run.add_argument("--disk", choices=DISKS, default="ahci")
    run.add_argument("--cache", default=DEFAULT_CACHE,
                     help="folder kept between boots (default %(default)s)")
    run.add_argument("--model", default=DEFAULT_MODEL)
    run.add_argument("--firmware", default=DEFAULT_FIRMWARE)
    run.add_argument("--serial", default=DEFAULT_SERIAL)
    run.add_argument("--hdparm", action="store_true", help="also print hdparm -I /dev/sda")
    run.add_argument("--console", action="store_true", help="also print the kernel console")
    arguments = parser.parse_args(argv)
    try:
        result = boot(arguments.program, arguments.disk, arguments.cache,
                      arguments.model, arguments.firmware, arguments.serial)
    except (GuestError, subprocess.CalledProcessError, OSError) as error:
        output = getattr(error, "output", None)
        sys.stderr.write("guest.py: %s%s\n" % (error, "\n" + output if output else ""))
        return 2
    if arguments.console:
        sys.stdout.write(result.console)
    sys.stdout.flush()
    _show(result, arguments.hdparm, sys.stdout.buffer)
    sys.stdout.buffer.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
