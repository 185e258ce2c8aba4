#!/usr/bin/env python3
"""Runs one command in an emulated x86-64 machine and hands back its result.

The machine (QEMU with TCG) boots Debian's own kernel, fetched with apt-get
download and unpacked, never installed. Its root is this machine's filesystem,
shared read-only over 9p with a tmpfs overlay on top, so whatever is installed
here (Wine, python3, hdparm, the project's builds) runs there too. Folders named
as shares are mounted writable at their own paths: files go in and out through
them. The kernel console goes to a file, for diagnosis.

    python3 test/qemu/guest.py run [--kernel bookworm|trixie]
        [--disk ahci|ide|virtio-scsi|none] [--model T] [--firmware T] [--serial T]
        [--share DIR]... [--cwd DIR] [--cache DIR] [--wine32] [--console]
        -- COMMAND [ARG]...
    python3 test/qemu/guest.py report --program PROGRAM
        [--launcher run_with_exit_code.exe --bridge ata_bridge.sys] [--disk ...]

`run` prints the command's output (standard output and error, merged) and
exits with its status; --wine32 gives it a 32-bit Wine prefix. `report` runs
the program once in an empty folder against the disk (a Linux program as it
is, a 32-bit Windows one under 32-bit Wine through the bridge driver) and
prints its result, both files and what hdparm -I says of the same disk. The
kernels, the initramfs and the Wine prefix stay in the cache folder.
"""

import argparse
import dataclasses
import gzip
import lzma
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DISKS = ("ahci", "ide", "virtio-scsi", "none")
# Debian releases whose kernels the machine can boot: 12 (6.1) and 13 (6.12).
KERNELS = ("bookworm", "trixie")
DEFAULT_KERNEL = "bookworm"
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


@dataclasses.dataclass
class Kernel:
    release: str       # bookworm or trixie
    version: str       # the kernel's own release string, e.g. 6.1.0-57-amd64
    vmlinuz: str
    initramfs: str


class GuestError(Exception):
    pass


def _run(command, **kwargs):
    return subprocess.run(command, check=True, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, **kwargs)


def _read(path, mode="r"):
    """The file's text (mode "r") or bytes ("rb"); empty when it is not there."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        data = b""
    return data if mode == "rb" else data.decode(errors="replace")


def _write(path, data):
    with open(path, "wb" if isinstance(data, bytes) else "w") as f:
        f.write(data)


# ---------------------------------------------------------------------------
# Kernel and initramfs


def _apt_options(cache, release):
    """apt-get options that reach `release`: none for the machine's own
    release; for another, a package list of its own made from the machine's
    sources with the suite renamed."""
    own = _run(["sh", "-c", ". /etc/os-release && echo $VERSION_CODENAME"]).stdout.strip()
    if release == own:
        return []
    folder = os.path.join(cache, "apt-" + release)
    parts = os.path.join(folder, "sources.list.d")
    lists = os.path.join(folder, "lists")
    os.makedirs(os.path.join(lists, "partial"), exist_ok=True)
    os.makedirs(os.path.join(folder, "cache", "archives", "partial"), exist_ok=True)
    os.makedirs(parts, exist_ok=True)
    system_parts = "/etc/apt/sources.list.d"
    for name in sorted(os.listdir(system_parts)):
        if name.endswith((".sources", ".list")):
            text = _read(os.path.join(system_parts, name))
            _write(os.path.join(parts, name), text.replace(own, release))
    if os.path.exists("/etc/apt/sources.list"):
        _write(os.path.join(parts, "sources.list"),
               _read("/etc/apt/sources.list").replace(own, release))
    options = ["-o", "Dir::Etc::SourceList=/dev/null",
               "-o", "Dir::Etc::SourceParts=" + parts,
               "-o", "Dir::State::Lists=" + lists,
               "-o", "Dir::Cache=" + os.path.join(folder, "cache")]
    if not os.listdir(lists) or os.listdir(lists) == ["partial"]:
        _run(["apt-get"] + options + ["update"])
    return options


def _apt_download(options, package, folder):
    try:
        _run(["apt-get"] + options + ["download", package], cwd=folder)
    except subprocess.CalledProcessError:
        # A machine whose package lists were never (or long ago) fetched.
        _run(["apt-get"] + options + ["update"])
        _run(["apt-get"] + options + ["download", package], cwd=folder)
    found = sorted(n for n in os.listdir(folder)
                   if n.startswith(package + "_") and n.endswith(".deb"))
    if not found:
        raise GuestError("apt-get download %s left no package" % package)
    return os.path.join(folder, found[-1])


def _module_load_order(root, version):
    """The module files to load, each after what it depends on, per modprobe
    over the unpacked tree (depmod makes its index first)."""
    _run(["depmod", "-b", root, version])
    paths = []
    for module in WANTED_MODULES:
        shown = _run(["modprobe", "-d", root, "-S", version, "--show-depends", module]).stdout
        for line in shown.splitlines():
            words = line.split()
            if words and words[0] == "insmod" and words[1] not in paths:
                paths.append(words[1])
    return paths


def _module_bytes(path):
    """The module's ELF bytes: busybox's insmod takes no compressed module."""
    data = _read(path, "rb")
    if path.endswith(".xz"):
        return lzma.decompress(data)
    if path.endswith(".gz"):
        return gzip.decompress(data)
    if path.endswith(".zst"):
        return subprocess.run(["zstd", "-dc", path], check=True,
                              stdout=subprocess.PIPE).stdout
    return data


def _make_initramfs(root, version, path):
    busybox = shutil.which("busybox")
    if not busybox:
        raise GuestError("busybox-static must be installed")
    stage = path + ".stage"
    shutil.rmtree(stage, ignore_errors=True)
    for folder in ("bin", "dev", "proc", "sys", "modules"):
        os.makedirs(os.path.join(stage, folder))
    os.mknod(os.path.join(stage, "dev", "console"), 0o20600, os.makedev(5, 1))
    shutil.copy(busybox, os.path.join(stage, "bin", "busybox"))
    _write(os.path.join(stage, "init"), INIT_SCRIPT)
    os.chmod(os.path.join(stage, "init"), 0o755)
    names = []
    for module in _module_load_order(root, version):
        name = re.sub(r"\.ko(\.(xz|gz|zst))?$", "", os.path.basename(module))
        _write(os.path.join(stage, "modules", name + ".ko"), _module_bytes(module))
        names.append(name)
    _write(os.path.join(stage, "modules", "order"), "".join(n + "\n" for n in names))
    files = _run(["find", ".", "-mindepth", "1"], cwd=stage).stdout
    with open(path, "wb") as out:
        subprocess.run(["cpio", "--quiet", "-o", "-H", "newc", "-R", "0:0"], cwd=stage,
                       input=files.encode(), stdout=out, check=True)
    shutil.rmtree(stage)


def prepare_kernel(cache=DEFAULT_CACHE, release=DEFAULT_KERNEL):
    """Fetches Debian's kernel of `release` and makes the initramfs, once:
    both stay in `cache`/kernel-`release`."""
    if release not in KERNELS:
        raise GuestError("unknown kernel %r; one of %s" % (release, ", ".join(KERNELS)))
    cache = os.path.abspath(cache)
    folder = os.path.join(cache, "kernel-" + release)
    marker = os.path.join(folder, "complete")
    key = INIT_SCRIPT + " ".join(WANTED_MODULES)
    if _read(marker) != key:
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        downloads = os.path.join(folder, "downloads")
        os.makedirs(downloads)
        options = _apt_options(cache, release)
        meta = _apt_download(options, "linux-image-amd64", downloads)
        depends = _run(["dpkg-deb", "-f", meta, "Depends"]).stdout
        match = re.search(r"(linux-image-[0-9][^\s,(|]*)", depends)
        if not match:
            raise GuestError("linux-image-amd64 names no kernel: %r" % depends)
        unpacked = os.path.join(downloads, "root")
        _run(["dpkg-deb", "-x", _apt_download(options, match.group(1), downloads), unpacked])
        # Newer packages keep the modules under usr/lib, where depmod -b does
        # not look.
        if not os.path.exists(os.path.join(unpacked, "lib", "modules")):
            os.makedirs(os.path.join(unpacked, "lib"), exist_ok=True)
            os.symlink("../usr/lib/modules", os.path.join(unpacked, "lib", "modules"))
        version = sorted(os.listdir(os.path.join(unpacked, "lib", "modules")))[-1]
        shutil.copyfile(os.path.join(unpacked, "boot", "vmlinuz-" + version),
                        os.path.join(folder, "vmlinuz"))
        _make_initramfs(unpacked, version, os.path.join(folder, "initramfs.cpio"))
        _write(os.path.join(folder, "version"), version)
        shutil.rmtree(downloads)
        _write(marker, key)
    return Kernel(release=release, version=_read(os.path.join(folder, "version")),
                  vmlinuz=os.path.join(folder, "vmlinuz"),
                  initramfs=os.path.join(folder, "initramfs.cpio"))


# ---------------------------------------------------------------------------
# Booting


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
        _write(os.path.join(control, "command.sh"), "".join(
            ["export %s=%s\n" % (k, shlex.quote(v)) for k, v in variables.items()]
            + ["cd %s || exit 125\n" % shlex.quote(cwd),
               "exec %s\n" % " ".join(shlex.quote(word) for word in command)]))
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
        _write(os.path.join(control, "shares"), "".join(lines))
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
                             "console:\n%s" % (timeout, _read(os.path.join(control, "output"))
                                               [-3000:], _read(console)[-4000:]))
        seconds = time.monotonic() - started
        if finished.returncode != 0:
            raise GuestError("qemu failed (%d): %s" % (
                finished.returncode, finished.stdout.decode(errors="replace")))
        status = _read(os.path.join(control, "status")).strip()
        if not status.isdigit():
            raise GuestError("the command did not run in the machine; console:\n%s"
                             % _read(console)[-4000:])
        return GuestRun(status=int(status), output=_read(os.path.join(control, "output"), "rb"),
                        console=_read(console), seconds=seconds)
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
            _write(os.path.join(share, name), data)
        run = checked(boot(["sh", "-ec", script], disk, shares=[share],
                           env=dict(env or {}, SHARE=share), kernel=kernel, cache=cache,
                           **identity), what)
        files = {}
        for folder, _, names in os.walk(share):
            for name in names:
                path = os.path.join(folder, name)
                files[os.path.relpath(path, share)] = _read(path, "rb")
        return run, files
    finally:
        shutil.rmtree(share, ignore_errors=True)


# ---------------------------------------------------------------------------
# 32-bit Wine


WINE32 = "/usr/lib/wine/wine"
WINE32_SERVER = "/usr/lib/wine/wineserver32"


def windows_path(path):
    """Wine's name for a path of this machine (drive Z: is the root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine32_environment(prefix):
    """The environment for 32-bit Wine in the machine: no Mono or Gecko
    (their installers would be looked for), no messages, no display."""
    return {"WINEARCH": "win32", "WINEPREFIX": prefix, "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=", "WINESERVER": WINE32_SERVER}


def prepare_wine32_prefix(cache=DEFAULT_CACHE, kernel=None):
    """Makes a 32-bit Wine prefix in the machine, once, and returns its path
    in `cache`. Later boots see it through the read-only root under the tmpfs
    overlay, so each boot changes its own copy and the prefix stays as made."""
    folder = os.path.join(os.path.abspath(cache), "wine32")
    prefix = os.path.join(folder, "prefix")
    marker = os.path.join(folder, "complete")
    if os.path.exists(marker):
        return prefix
    if not os.path.exists(WINE32):
        raise GuestError("32-bit Wine is not installed (package wine32:i386)")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    # Made on the machine's tmpfs, then copied out: writing it straight to
    # the share takes twice as long.
    made = "/tmp/wine32-prefix"
    script = ("%s wineboot --init && %s -w && cp -a %s %s"
              % (WINE32, WINE32_SERVER, made, shlex.quote(prefix)))
    checked(boot(["sh", "-c", script], shares=[folder], kernel=kernel, cache=cache,
                 env=wine32_environment(made)), "making the 32-bit Wine prefix")
    _write(marker, "")
    return prefix


def wine32_driver_start(name, driver):
    """Shell lines that start a Wine session that stays up, and in it the
    kernel driver `driver` (a path here) as service `name`: a driver lives
    only as long as the session that started it."""
    wine = "%s sc %%s %s" % (WINE32, name)
    return "\n".join([
        "%s -p" % WINE32_SERVER,
        wine % "create" + " type= kernel start= demand binPath= "
        + shlex.quote(windows_path(driver)),
        wine % "start", ""])


# ---------------------------------------------------------------------------
# One run of the program against the machine's disk


@dataclasses.dataclass
class Report:
    """What one run of the program in the machine left."""
    result: int             # the program's result, as a signed number
    files: dict             # name -> bytes, everything left in its folder
    hdparm_output: bytes    # hdparm -I /dev/sda; None without a /dev/sda
    hdparm_status: int
    extra_output: bytes     # what the extra command printed, if one was given
    run: GuestRun


def report(program, disk="ahci", kernel=None, cache=DEFAULT_CACHE, model=DEFAULT_MODEL,
           firmware=DEFAULT_FIRMWARE, serial=DEFAULT_SERIAL, launcher=None, bridge=None,
           extra_command=None):
    """Boots the machine with `disk` and runs `program` once in an empty
    folder: a Linux program as it is, or, with `launcher` and `bridge`, a
    32-bit Windows program under 32-bit Wine, with the bridge driver standing
    for physical drive 0 in front of /dev/sda and the launcher reporting the
    full exit code. Then asks hdparm -I /dev/sda, and runs `extra_command` (a
    list) if one is given."""
    quoted = shlex.quote
    env = {}
    lines = ['mkdir "$SHARE/run"']
    if bridge:
        env = wine32_environment(prepare_wine32_prefix(cache, kernel))
        lines += [wine32_driver_start("ata_bridge", bridge)]
    lines += ['cd "$SHARE/run"']
    if bridge:
        lines += ['%s %s %s >"$SHARE/result"' % (
            WINE32, quoted(windows_path(launcher)), quoted(windows_path(program)))]
    else:
        lines += ['status=0; %s || status=$?; echo $status >"$SHARE/result"'
                  % quoted(os.path.abspath(program))]
    lines += ["cd /",
              'if [ -b /dev/sda ]; then status=0; hdparm -I /dev/sda >"$SHARE/hdparm" 2>&1'
              ' || status=$?; echo $status >"$SHARE/hdparm_status"; fi']
    if extra_command:
        # Its output is what is checked, so its failure does not end the run.
        lines += ['%s >"$SHARE/extra" 2>&1 || true'
                  % " ".join(quoted(word) for word in extra_command)]
    if bridge:
        lines += ["%s -k" % WINE32_SERVER]
    run, files = run_in_share("\n".join(lines), "the run in the machine", disk, env=env,
                              kernel=kernel, cache=cache, model=model, firmware=firmware,
                              serial=serial)
    result = files.get("result", b"").decode().strip()
    if not result:
        raise GuestError("the run in the machine left no result: %s"
                         % run.output.decode(errors="replace")[-3000:])
    if bridge:  # the launcher's 8 hex digits
        value = int(result.splitlines()[-1], 16)
        value = value - (1 << 32) if value >= 1 << 31 else value
    else:       # Linux keeps the low byte
        value = int(result)
        value = value - 256 if value >= 128 else value
    hdparm_status = files.get("hdparm_status", b"").strip()
    return Report(result=value,
                  files={name[len("run/"):]: data for name, data in files.items()
                         if name.startswith("run/")},
                  hdparm_output=files.get("hdparm") if hdparm_status else None,
                  hdparm_status=int(hdparm_status) if hdparm_status else None,
                  extra_output=files.get("extra", b""), run=run)


def show_report(found, out):
    """Prints a report as script/run shows it: the result, both files with CR
    shown, and what hdparm says of the disk."""
    out.write("result: %d (exit code 0x%08X)\n" % (found.result, found.result & 0xFFFFFFFF))
    for name in ("qorvane.log", "qorvane.err"):
        if name not in found.files:
            out.write("--- %s: not created\n" % name)
            continue
        content = found.files[name]
        out.write("--- %s (%d bytes; CR shown as \\r)\n" % (name, len(content)))
        out.write(content.decode("latin-1").replace("\r", "\\r"))
    if found.hdparm_output is not None:
        out.write("--- hdparm -I /dev/sda, in the same machine (status %d)\n"
                  % found.hdparm_status)
        for line in found.hdparm_output.decode(errors="replace").splitlines():
            if re.match(r"\s*(Model Number|Serial Number|Firmware Revision):", line):
                out.write(line.strip() + "\n")
    out.write("--- the machine ran for %.1f s\n" % found.run.seconds)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="mode", required=True)
    run_parser = commands.add_parser("run", help="run a command, print its output")
    report_parser = commands.add_parser(
        "report", help="run the program once against the disk; print its files and hdparm's view")
    for sub in (run_parser, report_parser):
        sub.add_argument("--kernel", choices=KERNELS, default=DEFAULT_KERNEL)
        sub.add_argument("--disk", choices=DISKS, default="none" if sub is run_parser else "ahci")
        sub.add_argument("--model", default=DEFAULT_MODEL)
        sub.add_argument("--firmware", default=DEFAULT_FIRMWARE)
        sub.add_argument("--serial", default=DEFAULT_SERIAL)
        sub.add_argument("--cache", default=DEFAULT_CACHE)
    run_parser.add_argument("--share", action="append", default=[],
                            help="host folder mounted writable at its own path")
    run_parser.add_argument("--cwd", default=os.getcwd())
    run_parser.add_argument("--timeout", type=int, default=DEFAULT_TIMEOUT_SECONDS)
    run_parser.add_argument("--console", action="store_true", help="also print the console")
    run_parser.add_argument("--wine32", action="store_true",
                            help="with a 32-bit Wine prefix made once in the cache")
    run_parser.add_argument("command", nargs="+")
    report_parser.add_argument("--program", required=True)
    report_parser.add_argument("--launcher", help="run_with_exit_code.exe: a Windows program")
    report_parser.add_argument("--bridge", help="ata_bridge.sys: a Windows program")
    arguments = parser.parse_args(argv)
    try:
        kernel = prepare_kernel(arguments.cache, arguments.kernel)
        identity = dict(model=arguments.model, firmware=arguments.firmware,
                        serial=arguments.serial)
        if arguments.mode == "report":
            found = report(arguments.program, arguments.disk, kernel, arguments.cache,
                           launcher=arguments.launcher, bridge=arguments.bridge, **identity)
            show_report(found, sys.stdout)
            return 0
        env = {}
        if arguments.wine32:
            env = wine32_environment(prepare_wine32_prefix(arguments.cache, kernel))
        run = boot(arguments.command, arguments.disk, arguments.share,
                   os.path.abspath(arguments.cwd), env=env, kernel=kernel,
                   cache=arguments.cache, timeout=arguments.timeout, **identity)
    except (GuestError, subprocess.CalledProcessError, OSError) as error:
        output = getattr(error, "output", None)
        sys.stderr.write("guest.py: %s%s\n" % (error, "\n" + output if output else ""))
        return 125
    if arguments.console:
        sys.stdout.write(run.console)
        sys.stdout.flush()
    sys.stdout.buffer.write(run.output)
    sys.stdout.flush()
    sys.stderr.write("guest.py: status %d, %.1f s\n" % (run.status, run.seconds))
    return run.status


if __name__ == "__main__":
    sys.exit(main())
