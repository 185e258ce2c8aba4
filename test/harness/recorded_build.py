"""The product's recorded build, qorvane.exe.sha256: its SHA-256 as sha256sum
writes it, so that `sha256sum -c qorvane.exe.sha256` checks a build from the
checkout's root, and, as comment lines that sha256sum passes over, its
Authenticode SHA-256 and the Debian packages of the toolchain that made it with
their versions, as a Debian .buildinfo lists them.

    python3 -m harness.recorded_build   records build/win32/qorvane.exe
                                        (script/record-build)
"""

import collections
import hashlib
import os
import re
import subprocess

import pefile

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

Record = collections.namedtuple("Record", "sha256 authenticode versions")
# The two hashes by their names in messages.
HASHES = {"sha256": "SHA-256", "authenticode": "Authenticode SHA-256"}


def sha256(path):
    with open(path, "rb") as file:
        return hashlib.sha256(file.read()).hexdigest()


def authenticode(path):
    """The Authenticode SHA-256 of a PE image: a SHA-256 of the whole file but
    its CheckSum field, the certificate table's entry in the data directory
    and the certificate table itself, the three places a signature fills in."""
    with open(path, "rb") as file:
        data = file.read()
    header = pefile.PE(data=data, fast_load=True).OPTIONAL_HEADER
    checksum = header.get_field_absolute_offset("CheckSum")
    certificates = header.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    entry = certificates.get_file_offset()
    # The one entry whose address is a file offset; the table ends the file.
    table = certificates.VirtualAddress or len(data)
    digest = hashlib.sha256(data[:checksum])
    digest.update(data[checksum + 4:entry])
    digest.update(data[entry + 8:table])
    return digest.hexdigest()


def read(record=RECORD):
    """The Record the file holds."""
    with open(record) as file:
        lines = file.read().splitlines()
    versions = dict(match.groups() for match in map(PACKAGE_LINE.match, lines) if match)
    field = [line[len(AUTHENTICODE_FIELD):] for line in lines
             if line.startswith(AUTHENTICODE_FIELD)]
    return Record(lines[0].split()[0], field[0] if field else None, versions)


def installed(packages):
    """{package: version installed here, or None}, as dpkg knows them."""
    found = {}
    for package in packages:
        result = subprocess.run(["dpkg-query", "-W", "-f=${db:Status-Status} ${Version}",
                                 package], capture_output=True, text=True)
        status, _, version = result.stdout.partition(" ")
        found[package] = version if result.returncode == 0 and status == "installed" else None
    return found


def text(record):
    return "%s  %s\n%s%s%s\n%s%s\n" % (
        record.sha256, PRODUCT, HEADER, AUTHENTICODE_FIELD, record.authenticode,
        PACKAGES_FIELD, ",\n".join("#  %s (= %s)" % (package, record.versions[package])
                                   for package in sorted(record.versions)))


def mismatch(program, kind="sha256", record=RECORD):
    """None when `program` has the recorded hash of that kind (a key of
    HASHES); otherwise what differs, and whether the toolchain installed here
    is the recorded one."""
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
    here = installed(recorded.versions)
    changed = ["%s %s here, %s recorded" % (package, here[package] or "not installed", version)
               for package, version in sorted(recorded.versions.items())
               if here[package] != version]
    if changed:
        return message + (
            " The toolchain differs from the recorded one (%s): build with the recorded"
            " versions to tell whether the program changed. Where Debian no longer has them"
            " (a point release moved the toolchain on), see that the program's sources did"
            " not change since the record's commit (git log -1 -- qorvane.exe.sha256), then"
            " record the new build in the same commit (script/record-build)."
            % "; ".join(changed))
    return message + (" The toolchain is the recorded one, so the program's bytes changed:"
                      " record them in the same commit (script/record-build).")


def main():
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
