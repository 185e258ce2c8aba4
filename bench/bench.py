#!/usr/bin/env python3
"""Measures qorvane against its floors and its peers and prints one table.

    python3 bench/bench.py [--only size,windows,windows32,linux,start]
                           [--windows-runs N] [--windows32-runs N]
                           [--linux-runs N] [--no-write]

Run through script/bench, which builds everything first. Every figure is a
ratio of two things measured side by side in the same run, each with its goal:

  size     build/win32/qorvane.exe against an empty graphical-subsystem program
           built by the same toolchain with the same flags;
  windows  the 64-bit program under wine64, the simulated drive answering,
           against the empty 64-bit program: run in turn inside one Windows
           process that times each run with the performance counter, from
           CreateProcess to the end of the process, so that Wine's own
           start-up stays outside the figures; beside them the program's drive
           step alone (bench/drive_step.cc), and the drive step's three calls
           timed in one process (bench/request_cost.c), which tell where the
           time over the empty program goes;
  windows32
           the shipped image, build/win32/qorvane.exe, under 32-bit Wine in
           the emulated machine (test/guest.py), against the empty 32-bit
           program, timed the same way in one Wine session of one boot with
           the simulated drive (built for i686) answering;
  linux    in one boot of the emulated machine (an ATA disk on AHCI),
           build/host/qorvane, `hdparm -I /dev/sda` and `smartctl -i /dev/sda`
           (this machine's, which the guest sees as its root), run in turn by
           a timer inside the guest;
  start    instructions of one native run on this machine (which has no
           /dev/sda, so the run ends at the drive step) against
           bench/start_floor.c, counted by valgrind's callgrind, both with the
           same small environment.

A full run (every figure, none failed, no --no-write) also writes the table,
with the date, the commit and the machine, to bench/results.md.
"""

import argparse
import os
import re
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import pefile

# script/bench puts test/ on PYTHONPATH.
from harness import drive, machine, provenance, wine

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

BUILD = os.path.join(ROOT, "build")
RESULTS = os.path.join(ROOT, "bench", "results.md")
FIGURES = ("size", "windows", "windows32", "linux", "start")

SIZE_GOAL = 1.10
WINDOWS_GOAL = 1.05
WINDOWS32_GOAL = 1.05
REQUEST_COST_ROUNDS = 100
LINUX_GOAL = 0.50
START_GOAL = 1.20


class Row:
    """One line of the table."""

    def __init__(self, figure, ours, against, ratio, goal, met):
        self.figure, self.ours, self.against = figure, ours, against
        self.ratio, self.goal, self.met = ratio, goal, met


class Measured:
    """What one figure gives: table rows, notes (why a goal was missed, how it
    was measured) and details for the results file."""

    def __init__(self):
        self.rows = []
        self.notes = []
        self.details = []


def build_path(*parts):
    path = os.path.join(BUILD, *parts)
    if not os.path.isfile(path):
        raise RuntimeError("%s is missing; run script/bench, which builds it" % path)
    return path


def percentile(values, fraction):
    ordered = sorted(values)
    position = (len(ordered) - 1) * fraction
    low = int(position)
    high = min(low + 1, len(ordered) - 1)
    return ordered[low] + (ordered[high] - ordered[low]) * (position - low)


def spread(values, unit=1e6, digits=2):
    """median [p25..p75] of nanosecond values, in milliseconds."""
    return "%.*f [%.*f..%.*f] ms" % (
        digits, statistics.median(values) / unit,
        digits, percentile(values, 0.25) / unit,
        digits, percentile(values, 0.75) / unit)


def paired_ratio(ours, theirs):
    """Median of the ratios of runs from the same round."""
    return statistics.median(a / b for a, b in zip(ours, theirs))


def paired_difference(ours, theirs):
    """Median of the differences of runs from the same round."""
    return statistics.median(a - b for a, b in zip(ours, theirs))


def verdict(ratio, goal):
    return "yes" if ratio <= goal else "**no**"


# ---------------------------------------------------------------------------
# Size


def pe_layout(path):
    """(file size, {section: (bytes in the file, bytes of content)},
    {dll: [imported names]})."""
    image = pefile.PE(path)
    headers = image.OPTIONAL_HEADER.SizeOfHeaders
    sections = {"headers": (headers, headers)}
    for section in image.sections:
        name = section.Name.rstrip(b"\0").decode(errors="replace")
        sections[name] = (section.SizeOfRawData,
                          min(section.Misc_VirtualSize, section.SizeOfRawData))
    imports = {}
    for entry in getattr(image, "DIRECTORY_ENTRY_IMPORT", []):
        dll = entry.dll.decode().lower()
        imports[dll] = sorted((i.name or b"#%d" % i.ordinal).decode()
                              for i in entry.imports)
    return os.path.getsize(path), sections, imports


def pe_file_alignment(path):
    return pefile.PE(path, fast_load=True).OPTIONAL_HEADER.FileAlignment


def measure_size():
    measured = Measured()
    program = build_path("win32", "qorvane.exe")
    floor = build_path("win32", "bench", "bench_empty_gui.exe")
    size, sections, imports = pe_layout(program)
    floor_size, floor_sections, floor_imports = pe_layout(floor)
    ratio = size / floor_size
    measured.rows.append(Row(
        "Size of the 32-bit image", "%d B" % size,
        "%d B, empty GUI program" % floor_size, "%.3f" % ratio,
        "≤ %.2f" % SIZE_GOAL, verdict(ratio, SIZE_GOAL)))

    # Sections take whole file blocks; what each holds shows how near the
    # next block boundary it is.
    differences = []
    for name in list(sections) + [n for n in floor_sections if n not in sections]:
        file_bytes, content = sections.get(name, (0, 0))
        floor_file_bytes, floor_content = floor_sections.get(name, (0, 0))
        if file_bytes != floor_file_bytes:
            differences.append("%s %+d (content %d B against %d B)" % (
                name, file_bytes - floor_file_bytes, content, floor_content))
    added = []
    for dll, names in sorted(imports.items()):
        extra = [n for n in names if n not in floor_imports.get(dll, [])]
        if extra:
            added.append("%s: %s" % (dll, ", ".join(extra)))
    resource = sections.get(".rsrc", (0, 0))[0] - floor_sections.get(".rsrc", (0, 0))[0]
    alignment = pe_file_alignment(program)
    measured.details.append(
        "Size: %d B against %d B; sections that differ in the file (each is "
        "padded to a whole %d B block): %s." % (
            size, floor_size, alignment, "; ".join(differences)))
    measured.details.append("Size: imports the program adds to the floor's: %s."
                            % ("; ".join(added) or "none"))
    if ratio > SIZE_GOAL:
        allowed = int(floor_size * (SIZE_GOAL - 1))
        content_added = sum(
            content - floor_sections.get(name, (0, 0))[1]
            for name, (_, content) in sections.items())
        measured.notes.append(
            "Size goal missed: the floor is %d B of mingw-w64 runtime "
            "start-up, so the goal leaves the program %d B, %d whole %d B "
            "file blocks; it takes %d blocks: %s. Even packed without "
            "padding, what the program adds to the sections' contents is "
            "%d B. The version record (.rsrc, required) takes one block; "
            "without it the ratio would be %.3f. The others hold the "
            "program's code, its strings%s and its import table (%d "
            "functions more)." % (
                floor_size, allowed, allowed // alignment, alignment,
                (size - floor_size) // alignment,
                ", ".join(d.split(" (")[0] for d in differences),
                content_added, (size - resource) / floor_size,
                ", the code's unwind data" if any(
                    d.startswith(".eh_fram") for d in differences) else "",
                sum(len(n) for n in imports.values())
                - sum(len(n) for n in floor_imports.values())))
    return measured


# ---------------------------------------------------------------------------
# Windows run cost


def run_in_wine(runs):
    """In one Wine session of a private prefix, with the simulated drive
    started once and answering like a real drive: the timer's output for the
    program, the empty program and the drive step; the drive's record of what
    it was sent; the last report; the drive step's calls timed in one process.
    """
    program = build_path("win64", "qorvane.exe")
    floor = build_path("win64", "bench", "bench_empty_gui.exe")
    drive_step = build_path("win64", "bench", "bench_drive_step.exe")
    request_cost = build_path("win64", "bench", "bench_request_cost.exe")
    timer = build_path("win64", "bench", "bench_time_in_turn.exe")
    driver = build_path("win64", "test", "wine", "ata_test_drive.sys")
    control = build_path("win64", "test", "wine", "ata_test_control.exe")

    # A private prefix, made here, as the Wine suite makes its own.
    folder = tempfile.mkdtemp(prefix="qorvane-bench-wine-", dir="/tmp")
    prefix = os.path.join(folder, "prefix")
    control_folder = os.path.join(folder, "control")
    scratch = os.path.join(folder, "scratch")
    try:
        wine.make_prefix(prefix)
        session = wine.Wine(prefix)
        session.start_session()
        try:
            session.start_driver(drive.SERVICE, driver)
            os.mkdir(control_folder)
            os.mkdir(scratch)
            simulated = drive.Control(session, control, control_folder)
            simulated.set(drive.realistic_block())
            timed = session.run([wine.windows_path(timer), str(runs)] + [
                wine.windows_path(path) for path in (program, floor, drive_step)], scratch)
            record = simulated.record()
            with open(os.path.join(scratch, "qorvane.log"), "rb") as file:
                report = file.read()
            # Last, so that its opens stay out of the record above.
            steps = session.run([wine.windows_path(request_cost), str(REQUEST_COST_ROUNDS)],
                                scratch)
        finally:
            session.stop_session()
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return timed.decode(), record, report, steps.decode()


def check_drive_reads(codes, record, report, drive_runs):
    """Raises unless the runs that were to read the simulated drive all did:
    exit codes 0, the drive opened and asked once per run (the untimed first
    round included), and the last report the one the drive's answer gives."""
    if set(codes) != {"00000000"} or report != drive.REALISTIC_REPORT or (
            record["open_count"], record["request_count"]) != (drive_runs, drive_runs):
        raise RuntimeError(
            "not every run read the simulated drive: exit codes %s, report %r, "
            "drive opened %d and asked %d times for %d runs" % (
                sorted(set(codes)), report, record["open_count"],
                record["request_count"], drive_runs))


def measure_windows(runs):
    measured = Measured()
    started = time.monotonic()
    output, record, report, steps = run_in_wine(runs)
    session_seconds = time.monotonic() - started

    times, codes = parse_timer_output(output, 3)
    # The program and its drive step both read the drive.
    check_drive_reads(codes[0] + codes[2], record, report, 2 * (runs + 1))
    ours, empty = statistics.median(times[0]), statistics.median(times[1])
    ratio = ours / empty
    measured.rows.append(Row(
        "Windows run (wine64, simulated drive), median of %d" % runs,
        "%.2f ms" % (ours / 1e6), "%.2f ms, empty GUI program" % (empty / 1e6),
        "%.3f" % ratio, "≤ %.2f" % WINDOWS_GOAL, verdict(ratio, WINDOWS_GOAL)))
    step_medians = parse_request_cost(steps)
    large, small = max(step_medians), min(step_medians)
    measured.details.append(
        "Windows, the drive step's calls in one process, medians of %d: %s." % (
            REQUEST_COST_ROUNDS, "; ".join(
                "%d B buffer: open %.0f µs, request %.0f µs, close %.0f µs "
                "(first round %.0f, %.0f, %.0f µs)"
                % ((size,) + tuple(t / 1e3 for t in step_medians[size]))
                for size in (large, small))))
    measured.details.append(
        "Windows: qorvane.exe %s, empty program %s, the drive step alone "
        "(bench/drive_step.cc) %s (median [quartiles]; timed inside Wine with "
        "the performance counter from CreateProcess to the end of the process, "
        "programs in turn); the median of the per-round ratios, which "
        "cancels slow drifts of the machine, is %.3f; the Wine session with "
        "prefix creation took %.0f s." % (
            spread(times[0]), spread(times[1]), spread(times[2]),
            paired_ratio(times[0], times[1]), session_seconds))
    # Where the time over the empty program goes, as medians of differences
    # within a round, where the machine's slow drifts cancel.
    over_empty = paired_difference(times[0], times[1])
    drive_over_empty = paired_difference(times[2], times[1])
    files_over_drive = paired_difference(times[0], times[2])
    measured.details.append(
        "Windows, per run over the empty program (medians of differences "
        "within a round): qorvane.exe +%.2f ms; its drive step alone +%.2f ms "
        "(open PhysicalDrive0, one request with the buffer in and out, close: "
        "each a round trip through wineserver to the simulated driver in "
        "winedevice.exe); the rest, the two report files, +%.2f ms." % (
            over_empty / 1e6, drive_over_empty / 1e6, files_over_drive / 1e6))
    if ratio > WINDOWS_GOAL:
        measured.notes.append(
            "Windows goal missed: qorvane.exe takes %.2f ms more per run than "
            "the empty program (%.2f ms as the median of the differences "
            "within a round), where the goal allows %.2f ms. Its drive step "
            "alone takes %.2f ms of it and the report files %.2f ms. Within "
            "the drive step, the request with the program's %d B buffer takes "
            "%.2f ms against %.2f ms with a data area of only the 512 B "
            "IDENTIFY returns: Wine carries the whole buffer in and out." % (
                (ours - empty) / 1e6, over_empty / 1e6,
                empty * (WINDOWS_GOAL - 1) / 1e6,
                drive_over_empty / 1e6, files_over_drive / 1e6,
                large, step_medians[large][1] / 1e6, step_medians[small][1] / 1e6))
    return measured


def parse_request_cost(text):
    """{buffer bytes: (open, request, close median nanoseconds, then the
    first round's open, request, close)}."""
    medians = {}
    for line in text.splitlines():
        fields = line.split()
        if len(fields) == 12 and fields[0] == "buffer":
            medians[int(fields[1])] = tuple(
                float(fields[i]) for i in (3, 5, 7, 9, 10, 11))
    if len(medians) != 2:
        raise RuntimeError("request_cost gave %r" % text)
    return medians


def parse_timer_output(text, command_count):
    """[nanoseconds per run] and [exit statuses] per command index, from the
    timers' "run ROUND INDEX NANOSECONDS STATUS" lines."""
    times = [[] for _ in range(command_count)]
    statuses = [[] for _ in range(command_count)]
    for line in text.splitlines():
        fields = line.split()
        if len(fields) == 5 and fields[0] == "run":
            index = int(fields[2])
            times[index].append(float(fields[3]))
            statuses[index].append(fields[4])
    if not all(times):
        raise RuntimeError("the timer gave no runs: %r" % text[-2000:])
    return times, statuses


# ---------------------------------------------------------------------------
# In the emulated machine: the shipped image under 32-bit Wine


# The shipped image's run in one Wine session of the emulated machine, as
# run_in_wine does it on this machine. The programs timed run in a new folder
# of the guest, which its overlay keeps in memory: in the share every report
# file would cross 9p.
WINDOWS32_SCRIPT = """
run=$(mktemp -d)
%(start_driver)s
cd "$SHARE"
%(wine)s %(control)s setup setup.bin
cd "$run"
%(wine)s %(timer)s %(runs)d %(program)s %(floor)s >"$SHARE/times.txt"
cp qorvane.log "$SHARE/"
cd "$SHARE"
%(wine)s %(control)s record record.bin
%(server)s -k
"""


def measure_windows32(runs):
    measured = Measured()
    paths = {name: shlex.quote(wine.windows_path(build_path("win32", *parts)))
             for name, parts in (
                 ("program", ("qorvane.exe",)),
                 ("floor", ("bench", "bench_empty_gui.exe")),
                 ("timer", ("bench", "bench_time_in_turn.exe")),
                 ("control", ("test", "wine", "ata_test_control.exe")))}
    start_driver = machine.wine32_driver_start(
        drive.SERVICE, build_path("win32", "test", "wine", "ata_test_drive.sys"))
    env = wine.wine32_variables(machine.prepare_wine32_prefix())
    run, files = machine.run_in_share(
        WINDOWS32_SCRIPT % dict(paths, runs=runs, wine=wine.WINE32,
                                server=wine.WINE32_SERVER, start_driver=start_driver),
        "the 32-bit Windows figure", "none", env=env,
        inputs={"setup.bin": drive.setup_bytes(drive.realistic_block())})
    times, codes = parse_timer_output(files["times.txt"].decode(), 2)
    check_drive_reads(codes[0], drive.parse_record(files["record.bin"]),
                      files.get("qorvane.log"), runs + 1)
    ours, empty = statistics.median(times[0]), statistics.median(times[1])
    ratio = ours / empty
    measured.rows.append(Row(
        "Shipped image under 32-bit Wine (QEMU, simulated drive), median of %d"
        % runs, "%.2f ms" % (ours / 1e6),
        "%.2f ms, empty 32-bit GUI program" % (empty / 1e6),
        "%.3f" % ratio, "≤ %.2f" % WINDOWS32_GOAL, verdict(ratio, WINDOWS32_GOAL)))
    measured.details.append(
        "Windows 32-bit: build/win32/qorvane.exe %s, the empty program %s "
        "(median [quartiles]; in one boot of the emulated machine without a "
        "disk, %.0f s, one 32-bit Wine session with the i686 simulated drive "
        "answering; timed there with the performance counter from "
        "CreateProcess to the end of the process, programs in turn); the "
        "median of the per-round ratios is %.3f, of the differences %+.2f ms."
        % (spread(times[0]), spread(times[1]), run.seconds,
           paired_ratio(times[0], times[1]),
           paired_difference(times[0], times[1]) / 1e6))
    if ratio > WINDOWS32_GOAL:
        measured.notes.append(
            "Windows 32-bit goal missed: qorvane.exe takes %.2f ms more per "
            "run than the empty program, where the goal allows %.2f ms." % (
                (ours - empty) / 1e6, empty * (WINDOWS32_GOAL - 1) / 1e6))
    return measured


# ---------------------------------------------------------------------------
# Linux run cost against the peers, in the emulated machine

HDPARM = "/usr/sbin/hdparm"
SMARTCTL = "/usr/sbin/smartctl"
# smartctl runs once untimed first, so that its message shows when it fails.
LINUX_SCRIPT = """
cd "$(mktemp -d)"
%(smartctl)s -i /dev/sda
%(timer)s %(runs)d %(program)s -- %(hdparm)s -I /dev/sda -- %(smartctl)s -i /dev/sda >"$SHARE/times.txt"
cp qorvane.log "$SHARE/"
"""
PEERS = ("hdparm -I /dev/sda", "smartctl -i /dev/sda")


def measure_linux(runs):
    measured = Measured()
    program = build_path("host", "qorvane")
    timer = build_path("host", "bench", "bench_time_in_turn")
    for path in (HDPARM, SMARTCTL):
        if not os.path.isfile(path):
            raise RuntimeError("%s is missing: apt-get install hdparm smartmontools" % path)
    run, files = machine.run_in_share(LINUX_SCRIPT % {
        "smartctl": SMARTCTL, "hdparm": HDPARM, "timer": timer,
        "program": program, "runs": runs}, "the Linux figure", "ahci")
    times, statuses = parse_timer_output(files["times.txt"].decode(), 3)
    failed = [name for name, codes in zip(("qorvane",) + PEERS, statuses)
              if set(codes) != {"0"}]
    # QEMU pads its identity with spaces, as drives do; the report keeps them.
    report = (machine.DEFAULT_MODEL.ljust(40) + "\r\n"
              + machine.DEFAULT_FIRMWARE.ljust(8) + "\r\n").encode()
    if failed or files.get("qorvane.log") != report:
        raise RuntimeError("runs failed in the guest: %s; report %r"
                           % (failed, files.get("qorvane.log")))
    medians = [statistics.median(t) for t in times]
    fastest = min((1, 2), key=lambda i: medians[i])
    for index in (1, 2):
        ratio = medians[0] / medians[index]
        against_fastest = index == fastest
        measured.rows.append(Row(
            "Linux run (QEMU, AHCI disk), median of %d, against `%s`"
            % (runs, PEERS[index - 1]),
            "%.2f ms" % (medians[0] / 1e6),
            "%.2f ms%s" % (medians[index] / 1e6,
                           ", the fastest peer" if against_fastest else ""),
            "%.3f" % ratio,
            "≤ %.2f" % LINUX_GOAL if against_fastest else "—",
            verdict(ratio, LINUX_GOAL) if against_fastest else "—"))
    measured.details.append(
        "Linux, one boot (%.0f s): qorvane %s, %s %s, %s %s (median "
        "[quartiles]; timed in the guest from posix_spawn to waitpid, output "
        "to /dev/null); medians of the per-round ratios: %.3f and %.3f."
        % (run.seconds, spread(times[0], digits=3),
           PEERS[0], spread(times[1], digits=3),
           PEERS[1], spread(times[2], digits=3),
           paired_ratio(times[0], times[1]), paired_ratio(times[0], times[2])))
    ratio = medians[0] / medians[fastest]
    if ratio > LINUX_GOAL:
        measured.notes.append(
            "Linux goal missed: qorvane takes %.3f ms, the fastest peer (%s) "
            "%.3f ms." % (medians[0] / 1e6, PEERS[fastest - 1],
                          medians[fastest] / 1e6))
    return measured


# ---------------------------------------------------------------------------
# Start-up floor


def callgrind_instructions(program, folder):
    """(instructions, exit status) of one run of `program` in `folder`."""
    output = os.path.join(folder, "callgrind.out")
    # The start-up reads the environment, so both runs get the same one and
    # the count does not depend on the caller's.
    finished = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + output, program],
        cwd=folder, env={"PATH": "/usr/bin:/bin", "LC_ALL": "C"},
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE, text=True)
    with open(output) as file:
        match = re.search(r"^totals:\s*(\d+)", file.read(), re.MULTILINE)
    if not match:
        raise RuntimeError("callgrind counted nothing: %s" % finished.stderr)
    return int(match.group(1)), finished.returncode


def measure_start():
    measured = Measured()
    if not shutil.which("valgrind"):
        raise RuntimeError("valgrind is missing: apt-get install valgrind")
    if os.path.exists("/dev/sda"):
        raise RuntimeError("this machine has /dev/sda; the figure needs a run "
                           "that ends at the drive step")
    program = build_path("host", "qorvane")
    floor = build_path("host", "bench", "bench_start_floor")
    counts = []
    for path in (program, floor):
        with tempfile.TemporaryDirectory(prefix="qorvane-bench-") as folder:
            instructions, status = callgrind_instructions(path, folder)
            with open(os.path.join(folder, "qorvane.err"), "rb") as file:
                error_line = file.read()
        if status != 255 or error_line != b"Error opening drive handle, returning -1\r\n":
            raise RuntimeError("%s did not end at the drive step: status %d, %r"
                               % (path, status, error_line))
        counts.append(instructions)
    ratio = counts[0] / counts[1]
    measured.rows.append(Row(
        "Start-up instructions to the drive step (callgrind)",
        "{:,}".format(counts[0]), "{:,}, bench/start_floor.c".format(counts[1]),
        "%.3f" % ratio, "≤ %.2f" % START_GOAL, verdict(ratio, START_GOAL)))
    if ratio > START_GOAL:
        measured.notes.append(
            "Start-up goal missed: %d instructions over the floor."
            % (counts[0] - counts[1]))
    return measured


# ---------------------------------------------------------------------------
# The table


def table(rows):
    header = ("Figure", "Qorvane", "Against", "Ratio", "Goal", "Met")
    lines = ["| " + " | ".join(header) + " |",
             "|" + "|".join(["---"] * len(header)) + "|"]
    for row in rows:
        lines.append("| " + " | ".join((row.figure, row.ours, row.against,
                                        row.ratio, row.goal, row.met)) + " |")
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", default=",".join(FIGURES),
                        help="figures to measure, of %s" % ", ".join(FIGURES))
    parser.add_argument("--windows-runs", type=int, default=100)
    parser.add_argument("--windows32-runs", type=int, default=50)
    parser.add_argument("--linux-runs", type=int, default=50)
    parser.add_argument("--no-write", action="store_true",
                        help="print only; do not write bench/results.md")
    arguments = parser.parse_args(argv)
    chosen = [f for f in arguments.only.split(",") if f]
    unknown = [f for f in chosen if f not in FIGURES]
    if unknown:
        parser.error("unknown figure %s" % ", ".join(unknown))

    started = time.monotonic()
    heading = provenance.heading("benchmark")
    measurers = {
        "size": measure_size,
        "windows": lambda: measure_windows(arguments.windows_runs),
        "windows32": lambda: measure_windows32(arguments.windows32_runs),
        "linux": lambda: measure_linux(arguments.linux_runs),
        "start": measure_start,
    }
    rows, notes, details, failures = [], [], [], []
    for figure in FIGURES:
        if figure not in chosen:
            continue
        sys.stderr.write("measuring %s...\n" % figure)
        figure_started = time.monotonic()
        try:
            measured = measurers[figure]()
        except Exception as error:  # one figure failing leaves the others
            failures.append("%s: %s" % (figure, error))
            rows.append(Row(figure, "not measured", str(error).splitlines()[0][:120],
                            "—", "—", "**no**"))
            continue
        rows += measured.rows
        notes += measured.notes
        details += measured.details
        details.append("%s took %.0f s." % (figure.capitalize(),
                                            time.monotonic() - figure_started))
    seconds = time.monotonic() - started

    text = "\n".join(
        [heading, "", table(rows), ""]
        + ["- " + note for note in notes]
        + ["- " + detail for detail in details]
        + ["- Total: %.0f s." % seconds])
    print(text)
    if failures:
        sys.stderr.write("".join("failed: %s\n" % f for f in failures))
    if not arguments.no_write and chosen == list(FIGURES) and not failures:
        with open(RESULTS, "w") as file:
            file.write("# Benchmark results\n\nWritten by a full run of `script/bench`. "
                       "The size row compares bytes and the start-up row instructions; "
                       "each run-time row compares medians measured side by side in "
                       "the same run.\n\n" + text + "\n")
        sys.stderr.write("written to %s\n" % os.path.relpath(RESULTS, os.getcwd()))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
