"""One run of the program and what it left, as script/run shows it: in the
emulated machine against its disk, on this machine's own /dev/sda, or under
wine64 here."""

import dataclasses
import os
import re
import shlex
import subprocess

from harness import machine, wine
from harness.files import tree


@dataclasses.dataclass
class Report:
    result: int             # the program's result, as a signed number
    files: dict             # name -> bytes, everything left in its folder
    hdparm_output: bytes = None   # hdparm -I /dev/sda in the machine; None without one
    hdparm_status: int = None
    extra_output: bytes = b""     # what the extra command printed, if one was given
    run: machine.GuestRun = None  # the machine's boot, for a run there


def signed(value, bits):
    """An exit status of `bits` bits as the signed number the program returned."""
    return value - (1 << bits) if value >= 1 << (bits - 1) else value


def in_machine(program, disk="ahci", kernel=None, cache=machine.DEFAULT_CACHE,
               model=machine.DEFAULT_MODEL, firmware=machine.DEFAULT_FIRMWARE,
               serial=machine.DEFAULT_SERIAL, launcher=None, bridge=None, extra_command=None):
    """Boots the machine with `disk` and runs `program` once in an empty
    folder: a Linux program as it is, or, with `launcher` and `bridge`, a
    32-bit Windows program under 32-bit Wine, with the bridge driver standing
    for physical drive 0 in front of /dev/sda and the launcher reporting the
    full exit code. Then asks hdparm -I /dev/sda, and runs `extra_command` (a
    list) if one is given."""
    env = {}
    lines = ['mkdir "$SHARE/run"']
    if bridge:
        env = wine.wine32_variables(machine.prepare_wine32_prefix(cache, kernel))
        lines += [machine.wine32_driver_start("ata_bridge", bridge), 'cd "$SHARE/run"',
                  shlex.join(wine.launch_command(wine.WINE32, launcher, program))
                  + ' >"$SHARE/result"']
    else:
        lines += ['cd "$SHARE/run"', 'status=0; %s || status=$?; echo $status >"$SHARE/result"'
                  % shlex.quote(os.path.abspath(program))]
    lines += ["cd /",
              'if [ -b /dev/sda ]; then status=0; hdparm -I /dev/sda >"$SHARE/hdparm" 2>&1'
              ' || status=$?; echo $status >"$SHARE/hdparm_status"; fi']
    if extra_command:
        # Its output is what is checked, so its failure does not end the run.
        lines += ['%s >"$SHARE/extra" 2>&1 || true' % shlex.join(extra_command)]
    if bridge:
        lines += ["%s -k" % wine.WINE32_SERVER]
    run, files = machine.run_in_share(
        "\n".join(lines), "the run in the machine", disk, env=env, kernel=kernel,
        cache=cache, model=model, firmware=firmware, serial=serial)
    result = files.get("result", b"")
    if not result.strip():
        raise machine.GuestError("the run in the machine left no result: %s"
                                 % run.output.decode(errors="replace")[-3000:])
    if bridge:
        value = signed(wine.exit_code(result), 32)
    else:       # Linux keeps the low byte
        value = signed(int(result), 8)
    hdparm_status = files.get("hdparm_status", b"").strip()
    return Report(result=value,
                  files={name[len("run/"):]: data for name, data in files.items()
                         if name.startswith("run/")},
                  hdparm_output=files.get("hdparm") if hdparm_status else None,
                  hdparm_status=int(hdparm_status) if hdparm_status else None,
                  extra_output=files.get("extra", b""), run=run)


def on_host(program, folder):
    """Runs the Linux program once in `folder`, against this machine's /dev/sda."""
    status = subprocess.run([os.path.abspath(program)], cwd=folder).returncode
    return Report(result=signed(status, 8), files=tree(folder))


def under_wine(program, launcher, prefix, folder):
    """Runs the Windows program once in `folder` under wine64, with Wine's own
    physical drive 0, in a prefix made on the first run."""
    wine.make_prefix(prefix)
    code = wine.Wine(prefix).run_program(launcher, program, folder)
    return Report(result=signed(code, 32), files=tree(folder))


def show(found, out):
    """Prints a report: the result, both files with CR shown, and what hdparm
    says of the machine's disk."""
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
    if found.run:
        out.write("--- the machine ran for %.1f s\n" % found.run.seconds)
