"""A Debian root of another release than this machine's, for building or
testing there: made once with debootstrap (minbase) from Debian's archive into
a folder that is kept for the next run, and commands run in it as root.

Each command runs in a mount namespace of its own, so that nothing it mounts
outlives it: the root is bound onto itself, so that it is a mount point as a
machine's root is (a mount namespace made inside it needs that), with the
kernel's /proc, /sys and /dev.

    python3 -m harness.debian_root make FOLDER RELEASE [PACKAGE ...]
    python3 -m harness.debian_root run FOLDER COMMAND ...
"""

import os
import shutil
import subprocess
import sys

from harness.commands import run_checked

ARCHIVE = "http://deb.debian.org/debian"
SECURITY = "http://deb.debian.org/debian-security"
# Written last: a folder without it is a root whose making was cut short.
READY = ".qorvane-root-ready"
# apt and debootstrap fetch a few hundred packages.
SLOW_SECONDS = 1800
# Where the command runs, and what it sees of this machine's environment: no
# more than a fresh login would, and CI's flag.
PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
PASSED_ON = ("CI", "TERM")

ENTER = r"""
set -e
root=$1; shift
mount --bind "$root" "$root"
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount --rbind /dev "$root/dev"
exec chroot "$root" "$@"
"""


def release(folder):
    """The release a ready root holds, or None."""
    try:
        with open(os.path.join(folder, READY)) as file:
            return file.read().strip()
    except FileNotFoundError:
        return None


def command(folder, arguments):
    """The command line that runs `arguments` in the root at `folder`."""
    environment = ["PATH=" + PATH, "HOME=/root", "LANG=C.UTF-8",
                   "DEBIAN_FRONTEND=noninteractive"]
    environment += ["%s=%s" % (name, os.environ[name]) for name in PASSED_ON
                    if name in os.environ]
    return ["unshare", "--mount", "--propagation", "private", "sh", "-c", ENTER, "sh",
            os.path.abspath(folder), "env", "-i", *environment, *arguments]


def run(folder, arguments, what=None, timeout=SLOW_SECONDS):
    """Runs `arguments` in the root to their end; returns the output as text,
    and raises with all it printed when the command fails."""
    return run_checked(command(folder, arguments), what=what,
                       timeout=timeout).decode(errors="replace")


def make(folder, name, packages=()):
    """Makes a root of Debian `name` (bookworm, trixie) at `folder`, with its
    updates and security archives in its sources (no package list fetched
    yet) and `packages`, unless a ready one is there; an unfinished one is
    made anew."""
    if release(folder) == name:
        return
    if os.path.lexists(folder):
        shutil.rmtree(folder)
    os.makedirs(os.path.dirname(os.path.abspath(folder)), exist_ok=True)
    print("making a Debian %s root in %s (debootstrap)" % (name, folder), file=sys.stderr,
          flush=True)
    include = ["--include=" + ",".join(packages)] if packages else []
    run_checked(["debootstrap", "--variant=minbase", *include, name, folder, ARCHIVE],
                what="debootstrap %s" % name, timeout=SLOW_SECONDS)
    with open(os.path.join(folder, "etc/apt/sources.list"), "w") as file:
        file.write("deb %s %s main\ndeb %s %s-updates main\ndeb %s %s-security main\n"
                   % (ARCHIVE, name, ARCHIVE, name, SECURITY, name))
    with open(os.path.join(folder, READY), "w") as file:
        file.write(name + "\n")


def main(arguments):
    if len(arguments) >= 3 and arguments[0] == "make":
        make(arguments[1], arguments[2], arguments[3:])
    elif len(arguments) >= 3 and arguments[0] == "run":
        # The command's own output and status, as they come.
        raise SystemExit(subprocess.run(command(arguments[1], arguments[2:])).returncode)
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
