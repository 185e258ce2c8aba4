"""Where and when a measurement was made, for the results files that a full
run of script/bench or script/fuzz writes: the time, the commit and the
machine, taken when the run begins.

    python3 -m harness.provenance WHAT   prints the heading for a run of WHAT
"""

import datetime
import os
import platform
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def machine():
    cpu = "unknown CPU"
    with open("/proc/cpuinfo") as file:
        match = re.search(r"^model name\s*:\s*(.+)$", file.read(), re.MULTILINE)
        if match:
            cpu = match.group(1).strip()
    with open("/proc/meminfo") as file:
        kib = int(re.search(r"^MemTotal:\s*(\d+)", file.read(), re.MULTILINE).group(1))
    # Other work on the machine widens every spread and slows every run; the
    # load says how much there was when the run began.
    return "%d × %s, %.1f GiB memory, %s %s; load average %.2f at the start" % (
        os.cpu_count(), cpu, kib / 1048576, platform.system(), platform.release(),
        os.getloadavg()[0])


# What the runs write: a results file changed by an earlier run is no change to
# the sources that ran.
RESULTS = ("bench/results.md", "fuzz/results.md")
# How many changed files a heading names before it counts the rest.
NAMED = 5


def commit():
    """The commit whose sources ran, with the files in which the work tree
    differs from it, untracked ones (new seeds, say) included and the results
    files left out; unknown, and why, when git cannot tell."""
    def git(*arguments):
        return subprocess.run(["git", "-C", ROOT, *arguments], capture_output=True, text=True)
    head = git("rev-parse", "--short", "HEAD")
    status = git("status", "--porcelain", "--untracked-files=all", "--", ".",
                 *(":!" + path for path in RESULTS))
    for result in (head, status):
        if result.returncode != 0:
            return "unknown (git %s: %s)" % (result.args[3], result.stderr.strip())
    # Each line is two status letters, a space and the path.
    changed = [line[3:] for line in status.stdout.splitlines()]
    if not changed:
        return head.stdout.strip()
    rest = len(changed) - NAMED
    return "%s with uncommitted changes to %s%s" % (
        head.stdout.strip(), ", ".join(changed[:NAMED]),
        " and %d more files" % rest if rest > 0 else "")


def heading(what):
    """Two lines: the run of `what`, its time and commit; and the machine."""
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    return "Qorvane %s, %s, commit %s\nMachine: %s" % (what, when, commit(), machine())


if __name__ == "__main__":
    print(heading(" ".join(sys.argv[1:])))
