"""test/guest.py: runs one command in the emulated machine, or the
program once, and hands back the result.

`run` prints the command's output (standard output and error, merged) and
exits with its status; --wine32 gives it a 32-bit Wine prefix. `report` runs
the program once in an empty folder against the machine's disk (a Linux
program as it is, a 32-bit Windows one under 32-bit Wine through the bridge
driver) and prints its result, both files and what hdparm -I says of the
disk; --host runs a Linux program on this machine's /dev/sda instead, --wine
a Windows one under wine64 here. The kernels, the initramfs and the 32-bit
Wine prefix stay in the cache folder.
"""

import argparse
import os
import subprocess
import sys
import tempfile

from harness import kernel, machine, report, wine


def local_report(arguments):
    """A run on this machine rather than in the emulated one."""
    folder = tempfile.mkdtemp(prefix="qorvane-run.")
    print("running %s %s in %s" % (arguments.program, "under Wine" if arguments.wine
                                   else "on /dev/sda", folder))
    if arguments.host:
        return report.on_host(arguments.program, folder)
    if not os.path.isdir(arguments.wine):
        print("making a Wine prefix in %s (once)" % arguments.wine)
    return report.under_wine(arguments.program, arguments.launcher, arguments.wine, folder)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="mode", required=True)
    run_parser = commands.add_parser("run", help="run a command, print its output")
    report_parser = commands.add_parser(
        "report", help="run the program once against the disk; print its files and hdparm's view")
    for sub in (run_parser, report_parser):
        sub.add_argument("--kernel", choices=kernel.KERNELS, default=kernel.DEFAULT_KERNEL)
        sub.add_argument("--disk", choices=machine.DISKS,
                         default="none" if sub is run_parser else "ahci")
        sub.add_argument("--model", default=machine.DEFAULT_MODEL)
        sub.add_argument("--firmware", default=machine.DEFAULT_FIRMWARE)
        sub.add_argument("--serial", default=machine.DEFAULT_SERIAL)
        sub.add_argument("--cache", default=machine.DEFAULT_CACHE)
    run_parser.add_argument("--share", action="append", default=[],
                            help="host folder mounted writable at its own path")
    run_parser.add_argument("--cwd", default=os.getcwd())
    run_parser.add_argument("--timeout", type=int, default=machine.DEFAULT_TIMEOUT_SECONDS)
    run_parser.add_argument("--console", action="store_true", help="also print the console")
    run_parser.add_argument("--wine32", action="store_true",
                            help="with a 32-bit Wine prefix made once in the cache")
    run_parser.add_argument("command", nargs="+")
    report_parser.add_argument("--program", required=True)
    report_parser.add_argument("--launcher", help="run_with_exit_code.exe: a Windows program")
    report_parser.add_argument("--bridge", help="ata_bridge.sys: a Windows program")
    here = report_parser.add_mutually_exclusive_group()
    here.add_argument("--host", action="store_true",
                      help="on this machine's /dev/sda, not in the emulated machine")
    here.add_argument("--wine", metavar="PREFIX",
                      help="under wine64 on this machine, in this prefix (made once)")
    arguments = parser.parse_args(argv)
    try:
        if arguments.mode == "report" and (arguments.host or arguments.wine):
            found = local_report(arguments)
            report.show(found, sys.stdout)
            if arguments.wine and found.result == -2:
                print("(Wine's own disk device takes no ATA pass-through, as a Windows disk"
                      " without\n it does: 50 is ERROR_NOT_SUPPORTED. script/run shows a"
                      " real report.)")
            return 0
        kernel_files = machine.prepare_kernel(arguments.cache, arguments.kernel)
        identity = dict(model=arguments.model, firmware=arguments.firmware,
                        serial=arguments.serial)
        if arguments.mode == "report":
            found = report.in_machine(arguments.program, arguments.disk, kernel_files,
                                      arguments.cache, launcher=arguments.launcher,
                                      bridge=arguments.bridge, **identity)
            report.show(found, sys.stdout)
            return 0
        env = {}
        if arguments.wine32:
            env = wine.wine32_variables(
                machine.prepare_wine32_prefix(arguments.cache, kernel_files))
        run = machine.boot(arguments.command, arguments.disk, arguments.share,
                           os.path.abspath(arguments.cwd), env=env, kernel=kernel_files,
                           cache=arguments.cache, timeout=arguments.timeout, **identity)
    except (machine.GuestError, RuntimeError, subprocess.CalledProcessError, OSError) as error:
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
