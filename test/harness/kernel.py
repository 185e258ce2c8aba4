"""Debian's own kernel for the emulated machine: fetched with apt-get
download and unpacked, never installed, with an initramfs made for it."""

import dataclasses
import gzip
import lzma
import os
import re
import shutil
import subprocess

from harness.files import read, write

# Debian releases whose kernels the machine can boot: 12 (6.1) and 13 (6.12).
KERNELS = ("bookworm", "trixie")
DEFAULT_KERNEL = "bookworm"


class GuestError(Exception):
    """The emulated machine could not be made ready, or did not run."""


@dataclasses.dataclass
class Kernel:
    release: str       # bookworm or trixie
    version: str       # the kernel's own release string, e.g. 6.1.0-57-amd64
    vmlinuz: str
    initramfs: str


def _run(command, **kwargs):
    return subprocess.run(command, check=True, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, **kwargs)


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
            text = read(os.path.join(system_parts, name))
            write(os.path.join(parts, name), text.replace(own, release))
    if os.path.exists("/etc/apt/sources.list"):
        write(os.path.join(parts, "sources.list"),
              read("/etc/apt/sources.list").replace(own, release))
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


def _module_load_order(root, version, modules):
    """The module files to load, each after what it depends on, per modprobe
    over the unpacked tree (depmod makes its index first)."""
    _run(["depmod", "-b", root, version])
    paths = []
    for module in modules:
        shown = _run(["modprobe", "-d", root, "-S", version, "--show-depends", module]).stdout
        for line in shown.splitlines():
            words = line.split()
            if words and words[0] == "insmod" and words[1] not in paths:
                paths.append(words[1])
    return paths


def _module_bytes(path):
    """The module's ELF bytes: busybox's insmod takes no compressed module."""
    data = read(path, "rb")
    if path.endswith(".xz"):
        return lzma.decompress(data)
    if path.endswith(".gz"):
        return gzip.decompress(data)
    if path.endswith(".zst"):
        return subprocess.run(["zstd", "-dc", path], check=True,
                              stdout=subprocess.PIPE).stdout
    return data


def _make_initramfs(root, version, path, init, modules):
    busybox = shutil.which("busybox")
    if not busybox:
        raise GuestError("busybox-static must be installed")
    stage = path + ".stage"
    shutil.rmtree(stage, ignore_errors=True)
    for folder in ("bin", "dev", "proc", "sys", "modules"):
        os.makedirs(os.path.join(stage, folder))
    os.mknod(os.path.join(stage, "dev", "console"), 0o20600, os.makedev(5, 1))
    shutil.copy(busybox, os.path.join(stage, "bin", "busybox"))
    write(os.path.join(stage, "init"), init)
    os.chmod(os.path.join(stage, "init"), 0o755)
    names = []
    for module in _module_load_order(root, version, modules):
        name = re.sub(r"\.ko(\.(xz|gz|zst))?$", "", os.path.basename(module))
        write(os.path.join(stage, "modules", name + ".ko"), _module_bytes(module))
        names.append(name)
    write(os.path.join(stage, "modules", "order"), "".join(n + "\n" for n in names))
    files = _run(["find", ".", "-mindepth", "1"], cwd=stage).stdout
    with open(path, "wb") as out:
        subprocess.run(["cpio", "--quiet", "-o", "-H", "newc", "-R", "0:0"], cwd=stage,
                       input=files.encode(), stdout=out, check=True)
    shutil.rmtree(stage)


def prepare(cache, release, init, modules):
    """Fetches Debian's kernel of `release` and makes an initramfs with the
    script `init` as /init and `modules` (with what they depend on, in
    /modules/order) beside it, once: both stay in `cache`/kernel-`release`
    until the script or the modules change."""
    if release not in KERNELS:
        raise GuestError("unknown kernel %r; one of %s" % (release, ", ".join(KERNELS)))
    cache = os.path.abspath(cache)
    folder = os.path.join(cache, "kernel-" + release)
    marker = os.path.join(folder, "complete")
    key = init + " ".join(modules)
    if read(marker) != key:
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
        _make_initramfs(unpacked, version, os.path.join(folder, "initramfs.cpio"),
                        init, modules)
        write(os.path.join(folder, "version"), version)
        shutil.rmtree(downloads)
        write(marker, key)
    return Kernel(release=release, version=read(os.path.join(folder, "version")),
                  vmlinuz=os.path.join(folder, "vmlinuz"),
                  initramfs=os.path.join(folder, "initramfs.cpio"))
