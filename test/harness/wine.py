"""Wine as the suites, script/run and script/bench use it: a prefix and its
environment, Windows paths for this machine's paths, sessions, kernel drivers
started in a session, and program runs with their full 32-bit exit code."""

import os
import shlex
import shutil
import subprocess

from harness.commands import TIMEOUT_SECONDS, run_checked

WINE64 = "/usr/lib/wine/wine64"
# 32-bit Wine runs only in the emulated machine: this kernel runs no 32-bit
# Linux program.
WINE32 = "/usr/lib/wine/wine"
WINE32_SERVER = "/usr/lib/wine/wineserver32"
# No Mono or Gecko: their installers would be looked for when a prefix is made.
NO_MONO_OR_GECKO = "mscoree,mshtml="


def windows_path(path):
    """Wine's name for a path of this machine (drive Z: is the root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def variables(prefix, dll_overrides=NO_MONO_OR_GECKO):
    """Wine's variables for a prefix: no messages, the DLL overrides if any."""
    found = {"WINEPREFIX": prefix, "WINEDEBUG": "-all"}
    if dll_overrides:
        found["WINEDLLOVERRIDES"] = dll_overrides
    return found


def wine32_variables(prefix):  # in the emulated machine
    return dict(variables(prefix), WINEARCH="win32", WINESERVER=WINE32_SERVER)


# Wine's own messages while a driver starts: its errors, without the many
# fixme lines. Elsewhere WINEDEBUG=-all keeps the runs quiet.
DRIVER_START_DEBUG = "fixme-all"


def driver_start_script(loader, name, driver):
    """Shell lines that start the kernel driver `driver` (a path here) as
    service `name` in a running session. A driver lives only as long as the
    session that started it, so that session must stay up (wineserver -p).
    When a step fails, the lines print the step, its status, Wine's messages
    (services.exe and winedevice.exe, which the first step starts, write
    theirs to the same log) and what `sc query` says of the service, and exit
    with status 1."""
    steps = [[loader, "sc", "create", name, "type=", "kernel", "start=", "demand",
              "binPath=", windows_path(driver)],
             [loader, "sc", "start", name]]
    query = shlex.join([loader, "sc", "query", name])
    return "".join(line + "\n" for line in [
        'driver_log=$(mktemp)',
        'driver_step() {',
        '  WINEDEBUG=%s "$@" >>"$driver_log" 2>&1 && return 0' % DRIVER_START_DEBUG,
        '  status=$?',
        '  echo "$* failed with status $status. Wine said:"',
        '  cat "$driver_log"',
        '  echo %s' % shlex.quote(query + " says:"),
        '  WINEDEBUG=%s %s 2>&1' % (DRIVER_START_DEBUG, query),
        '  exit 1',
        '}',
        *("driver_step " + shlex.join(step) for step in steps),
        'rm -f "$driver_log"'])


def launch_command(loader, launcher, program, arguments=(), hold=None):
    """The command that runs `program` through the launcher
    (run_with_exit_code.exe), which prints the program's full exit code; with
    `hold`, a file name, the launcher holds that file open without sharing
    while the program runs."""
    held = ["--hold", hold] if hold else []
    return [loader, windows_path(launcher), *held, windows_path(program), *arguments]


def exit_code(output):
    """The exit code the launcher printed last, as 8 hex digits: 0 to 2^32-1."""
    return int(output.decode().strip().splitlines()[-1], 16)


class Wine:
    """A Wine loader on this machine, its server and one prefix; no display."""

    def __init__(self, prefix, loader=WINE64, dll_overrides=None):
        self.loader = loader
        self.server = os.environ.get("WINESERVER") or (
            "/usr/lib/wine/wineserver" if os.path.exists("/usr/lib/wine/wineserver")
            else shutil.which("wineserver") or "wineserver")
        self.env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "WINEDLLOVERRIDES"):
            self.env.pop(name, None)
        self.env.update(variables(os.path.abspath(prefix), dll_overrides))

    def run(self, arguments, cwd=None):
        return run_checked([self.loader, *arguments], self.env, cwd)

    def start_session(self):
        """Starts a session that stays up after its last program ends."""
        run_checked([self.server, "-p"], self.env)

    def stop_session(self):
        for option in ("-k", "-w"):
            subprocess.run([self.server, option], env=self.env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=TIMEOUT_SECONDS)

    def start_driver(self, name, driver):
        run_checked(["sh", "-c", driver_start_script(self.loader, name, driver)], self.env,
                    what="starting the driver %s" % name)

    def run_program(self, launcher, program, folder, arguments=(), hold=None):
        """Runs `program` in `folder`; returns its exit code, 0 to 2^32-1."""
        return exit_code(run_checked(
            launch_command(self.loader, launcher, program, arguments, hold), self.env, folder))


def make_prefix(prefix, loader=WINE64):
    """Makes the prefix unless it is there, and ends its first session: a
    driver starts only in a later one (in the first its start fails with 1053
    or 1055)."""
    wine = Wine(prefix, loader, NO_MONO_OR_GECKO)
    if not os.path.isdir(prefix):
        wine.run(["wineboot", "--init"])
    wine.stop_session()
