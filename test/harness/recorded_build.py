"""The product's recorded build, qorvane.exe.sha256: its SHA-256 as sha256sum
writes it, so that `sha256sum -c qorvane.exe.sha256` checks a build from the
checkout's root, and, as comment lines that sha256sum passes over, the Debian
packages of the toolchain that made it with their versions, as a Debian
.buildinfo lists them.

    python3 -m harness.recorded_build   records build/win32/qorvane.exe
                                        (script/record-build)
"""

import hashlib
import os
import re
import subprocess

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
# Installed-Build-Depends:
"""
PACKAGE_LINE = re.compile(r"^#  (\S+) \(= (\S+)\),?$")


def sha256(path):
    with open(path, "rb") as file:
        return hashlib.sha256(file.read()).hexdigest()


def read(record=RECORD):
    """(hash, {package: version}) as the record holds them."""
    with open(record) as file:
        lines = file.read().splitlines()
    versions = dict(match.groups() for match in map(PACKAGE_LINE.match, lines) if match)
    return lines[0].split()[0], versions


def installed(packages):
    """{package: version installed here, or None}, as dpkg knows them."""
    found = {}
    for package in packages:
        result = subprocess.run(["dpkg-query", "-W", "-f=${db:Status-Status} ${Version}",
                                 package], capture_output=True, text=True)
        status, _, version = result.stdout.partition(" ")
        found[package] = version if result.returncode == 0 and status == "installed" else None
    return found


def text(digest, versions):
    return "%s  %s\n%s%s\n" % (digest, PRODUCT, HEADER, ",\n".join(
        "#  %s (= %s)" % (package, versions[package]) for package in sorted(versions)))


def mismatch(program, record=RECORD):
    """None when `program` has the recorded hash; otherwise what differs, and
    whether the toolchain installed here is the recorded one."""
    digest = sha256(program)
    recorded, versions = read(record)
    if digest == recorded:
        return None
    message = "%s has SHA-256 %s; %s records %s." % (
        program, digest, os.path.basename(record), recorded)
    here = installed(versions)
    changed = ["%s %s here, %s recorded" % (package, here[package] or "not installed", version)
               for package, version in sorted(versions.items()) if here[package] != version]
    if changed:
        return message + (" The toolchain differs from the recorded one (%s): build with the"
                          " recorded versions to tell whether the program changed."
                          % "; ".join(changed))
    return message + (" The toolchain is the recorded one, so the program's bytes changed:"
                      " record them in the same commit (script/record-build).")


def main():
    digest = sha256(os.path.join(ROOT, PRODUCT))
    versions = installed(TOOLCHAIN)
    missing = [package for package, version in versions.items() if version is None]
    if missing:
        raise SystemExit("not installed, so not recorded: " + ", ".join(missing))
    with open(RECORD, "w") as file:
        file.write(text(digest, versions))
    print("recorded %s  %s" % (digest, PRODUCT))


if __name__ == "__main__":
    main()
