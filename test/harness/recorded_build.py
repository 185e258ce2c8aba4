"""The product's recorded build, qorvane.exe.sha256: its SHA-256 as sha256sum
writes it, so that `sha256sum -c qorvane.exe.sha256` checks a build from the
checkout's root, and, as comment lines that sha256sum passes over, its
Authenticode SHA-256 and the Debian packages of the toolchain that made it with
their versions, as a Debian .buildinfo lists them.

    python3 -m harness.recorded_build             records build/win32/qorvane.exe
                                                  (script/record-build)
    python3 -m harness.recorded_build reproduce   builds the product with the
        recorded toolchain and prints the folder from which `sha256sum -c
        qorvane.exe.sha256` checks it (script/reproduce)
"""

import collections
import hashlib
import os
import re
import shutil
import subprocess
import sys

import pefile

from harness import debian_root
from harness.commands import run_checked

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
RECORD = os.path.join(ROOT, "qorvane.exe.sha256")
PRODUCT = "build/win32/qorvane.exe"   # as the win32 preset builds it, from the root
# The i686 compiler, binutils, headers and runtime, and CMake, which writes
# their command lines.
TOOLCHAIN = ("binutils-mingw-w64-i686", "cmake", "g++-mingw-w64-i686-win32",
             "gcc-mingw-w64-base", "gcc-mingw-w64-i686-win32",
             "gcc-mingw-w64-i686-win32-runtime", "mingw-w64-common", "mingw-w64-i686-dev")

HEADER = """\
#
# The SHA-256 of the product as `cmake --preset win32 && cmake --build --preset win32`
# builds it on Debian 12 (amd64) with the packages below. Check a build with
# `sha256sum -c qorvane.exe.sha256`. A commit that changes the program's bytes
# records them anew (script/record-build).
#
# Its Authenticode SHA-256, which AppLocker and App Control hash rules and
# signtool use, and which signing the program leaves as it is:
"""
AUTHENTICODE_FIELD = "# Authenticode-SHA256: "
PACKAGES_FIELD = "#\n# Installed-Build-Depends:\n"
PACKAGE_LINE = re.compile(r"^#  (\S+) \(= (\S+)\),?$")

# The release whose toolchain the record names, and where a root of it is kept
# for building with that toolchain on a machine of another release.
RECORDED_RELEASE = "bookworm"
RECORDED_ROOT = os.path.join(ROOT, "build", "reproduce", RECORDED_RELEASE)
# Besides the recorded toolchain, what the win32 preset's configure step runs.
ROOT_BUILD_PACKAGES = ("make", "python3")
# The product's build, as the record says it is made.
BUILD = ("cmake --preset win32 >/dev/null"
         " && cmake --build --preset win32 --target qorvane >/dev/null")

Record = collections.namedtuple("Record", "sha256 authenticode versions")
# The two hashes by their names in messages.
HASHES = {"sha256": "SHA-256", "authenticode": "Authenticode SHA-256"}


def sha256(path):
    with open(path, "rb") as file:
        return hashlib.sha256(file.read()).hexdigest()


class LayoutError(ValueError):
    """An image whose Authenticode hash authenticode() would get wrong."""


def authenticode(path):
    """The Authenticode SHA-256 of a PE image: a SHA-256 of the whole file but
    its CheckSum field, the certificate table's entry in the data directory
    and the certificate table itself, the three places a signature fills in.

    The rules hash the headers, then the sections in file order, then what
    follows them up to the certificate table. That is the whole file but those
    three places only where no gap lies between the headers and the sections
    or between sections, and where the certificate table ends the file; an
    image laid out otherwise raises LayoutError."""
    with open(path, "rb") as file:
        data = file.read()
    pe = pefile.PE(data=data, fast_load=True)
    header = pe.OPTIONAL_HEADER
    checksum = header.get_field_absolute_offset("CheckSum")
    certificates = header.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    entry = certificates.get_file_offset()
    # The one entry whose address is a file offset.
    table = certificates.VirtualAddress or len(data)
    if certificates.VirtualAddress and table + certificates.Size != len(data):
        raise LayoutError("%s: its certificate table (%d bytes at %d) does not end the file"
                          " (%d bytes)%s" % (path, certificates.Size, table, len(data),
                                             LAYOUT_CONSEQUENCE))
    position = header.SizeOfHeaders
    for section in sorted((section for section in pe.sections if section.SizeOfRawData),
                          key=lambda section: section.PointerToRawData):
        if section.PointerToRawData != position:
            raise LayoutError("%s: its section %s starts at %d, not where what comes before"
                              " it ends (%d)%s" % (
                                  path, section.Name.rstrip(b"\0").decode(errors="replace"),
                                  section.PointerToRawData, position, LAYOUT_CONSEQUENCE))
        position += section.SizeOfRawData
    if position > table:
        raise LayoutError("%s: its sections run to %d, past the %d bytes before its"
                          " certificate table%s" % (path, position, table, LAYOUT_CONSEQUENCE))
    digest = hashlib.sha256(data[:checksum])
    digest.update(data[checksum + 4:entry])
    digest.update(data[entry + 8:table])
    return digest.hexdigest()


LAYOUT_CONSEQUENCE = (": the Authenticode rules would hash other bytes than the whole file"
                      " but its CheckSum and certificates, which is what is computed here,"
                      " so its Authenticode SHA-256 is not computed.")


def read(record=RECORD):
    """The Record the file holds."""
    with open(record) as file:
        lines = file.read().splitlines()
    versions = dict(match.groups() for match in map(PACKAGE_LINE.match, lines) if match)
    field = [line[len(AUTHENTICODE_FIELD):] for line in lines
             if line.startswith(AUTHENTICODE_FIELD)]
    return Record(lines[0].split()[0], field[0] if field else None, versions)


def installed(packages, root="/"):
    """{package: version installed, or None}, as the dpkg of the root at
    `root` knows them."""
    found = {}
    admin = ["--admindir=" + os.path.join(root, "var/lib/dpkg")]
    for package in packages:
        result = subprocess.run(["dpkg-query", *admin, "-W",
                                 "-f=${db:Status-Status} ${Version}", package],
                                capture_output=True, text=True)
        status, _, version = result.stdout.partition(" ")
        found[package] = version if result.returncode == 0 and status == "installed" else None
    return found


def text(record):
    return "%s  %s\n%s%s%s\n%s%s\n" % (
        record.sha256, PRODUCT, HEADER, AUTHENTICODE_FIELD, record.authenticode,
        PACKAGES_FIELD, ",\n".join("#  %s (= %s)" % (package, record.versions[package])
                                   for package in sorted(record.versions)))


def differences(toolchain, recorded):
    """The recorded packages whose version in `toolchain` is another, each as
    a phrase."""
    return ["%s %s here, %s recorded" % (package, toolchain.get(package) or "not installed",
                                          version)
            for package, version in sorted(recorded.items())
            if toolchain.get(package) != version]


def mismatch(program, kind="sha256", record=RECORD, toolchain=None):
    """None when `program` has the recorded hash of that kind (a key of
    HASHES); otherwise what differs, and whether the toolchain that built it
    (package versions; by default those installed here) is the recorded one."""
    digests = {"sha256": sha256(program), "authenticode": authenticode(program)}
    recorded = read(record)
    if digests[kind] == getattr(recorded, kind):
        return None
    message = "%s has %s %s; %s records %s." % (
        program, HASHES[kind], digests[kind], os.path.basename(record),
        getattr(recorded, kind))
    # One hash as recorded and the other not: the program is the recorded
    # one, and what differs lies outside the program's own bytes.
    if kind == "authenticode" and digests["sha256"] == recorded.sha256:
        return message + (" Its SHA-256 is the recorded one, so the record's Authenticode"
                          " SHA-256 is wrong: write the record anew (script/record-build).")
    if kind == "sha256" and digests["authenticode"] == recorded.authenticode:
        return message + (" Its Authenticode SHA-256 is the recorded one: it differs only in"
                          " its CheckSum field or a signature.")
    changed = differences(toolchain or installed(recorded.versions), recorded.versions)
    if changed:
        return message + (
            " The toolchain differs from the recorded one (%s): build with the recorded"
            " versions to tell whether the program changed (script/reproduce).%s"
            % ("; ".join(changed), MOVED_ON))
    return message + (" The toolchain is the recorded one, so the program's bytes changed:"
                      " record them in the same commit (script/record-build).")


MOVED_ON = (" Where Debian no longer has them (a point release moved the toolchain on), see"
            " that the program's sources did not change since the record's commit (git log"
            " -1 -- qorvane.exe.sha256), then record the new build in the same commit"
            " (script/record-build).")


def say(text):
    """Progress, on standard error: standard output is the result."""
    print(text, file=sys.stderr, flush=True)


def build_in_root(record=RECORD, folder=RECORDED_ROOT, sources=ROOT):
    """Builds the product from `sources` with the win32 preset in a Debian 12
    root at `folder` (made unless it is there) with the recorded package
    versions; returns the program's path. Raises naming the versions that
    Debian's archive no longer has."""
    recorded = read(record)
    debian_root.make(folder, RECORDED_RELEASE)
    say("installing the recorded toolchain in %s" % folder)
    # Its package lists anew each time: the archive moves on at point releases.
    debian_root.run(folder, ["apt-get", "update", "-qq"], "apt-get update")
    listed = debian_root.run(folder, ["apt-cache", "madison", *sorted(recorded.versions)])
    offered = {tuple(field.strip() for field in line.split("|")[:2])
               for line in listed.splitlines() if line.count("|") >= 2}
    missing = ["%s %s" % item for item in sorted(recorded.versions.items())
               if item not in offered]
    if missing:
        raise RuntimeError(
            "Debian's archive no longer has %s, which the recorded build needs, so the"
            " recorded bytes cannot be built from it. Debian's snapshot archive"
            " (snapshot.debian.org) keeps every version: in %s/etc/apt/sources.list in"
            " place of deb.debian.org, it gives them again.%s"
            % ("; ".join(missing), os.path.relpath(folder, sources), MOVED_ON))
    debian_root.run(folder, ["apt-get", "install", "-y", "-qq", "--no-install-recommends",
                             "--allow-downgrades", *ROOT_BUILD_PACKAGES,
                             *("%s=%s" % item for item in sorted(recorded.versions.items()))],
                    "installing the recorded toolchain")
    say("building the product in %s" % folder)
    copy = os.path.join(folder, "src")
    if os.path.lexists(copy):
        shutil.rmtree(copy)
    # The sources as they are in the checkout, without its builds.
    shutil.copytree(sources, copy, symlinks=True, ignore=lambda parent, names: [
        name for name in names if parent == sources and name in ("build", ".git")])
    debian_root.run(folder, ["sh", "-c", "cd /src && " + BUILD],
                    "building the product in the %s root" % RECORDED_RELEASE)
    return os.path.join(copy, PRODUCT)


def recorded_toolchain_build(program, record=RECORD):
    """(program, the versions of the recorded packages that built it): where
    the toolchain here is the recorded one, `program` and those installed
    here; otherwise the same sources built in the Debian 12 root, and its."""
    recorded = read(record)
    here = installed(recorded.versions)
    changed = differences(here, recorded.versions)
    if not changed:
        return program, here
    say("the toolchain here is not the recorded one (%s)" % "; ".join(changed))
    built = build_in_root(record)
    return built, installed(recorded.versions, RECORDED_ROOT)


def reproduce():
    """Builds the product with the recorded toolchain, here where it is the
    toolchain here, otherwise in the Debian 12 root; returns the folder from
    which `sha256sum -c qorvane.exe.sha256` checks it."""
    recorded = read()
    changed = differences(installed(recorded.versions), recorded.versions)
    if not changed:
        say("building the product here, with the recorded toolchain")
        run_checked(["sh", "-c", BUILD], cwd=ROOT, what="building the product", timeout=None)
        return ROOT
    say("the toolchain here is not the recorded one (%s)" % "; ".join(changed))
    build_in_root()
    return os.path.join(RECORDED_ROOT, "src")


def main():
    if sys.argv[1:] == ["reproduce"]:
        print(reproduce())
        return
    product = os.path.join(ROOT, PRODUCT)
    versions = installed(TOOLCHAIN)
    missing = [package for package, version in versions.items() if version is None]
    if missing:
        raise SystemExit("not installed, so not recorded: " + ", ".join(missing))
    record = Record(sha256(product), authenticode(product), versions)
    with open(RECORD, "w") as file:
        file.write(text(record))
    print("recorded %s  %s\nAuthenticode SHA-256 %s" % (record.sha256, PRODUCT,
                                                       record.authenticode))


if __name__ == "__main__":
    main()
