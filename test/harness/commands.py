"""Commands run to their end, their output kept for when they fail."""

import subprocess
import tempfile

TIMEOUT_SECONDS = 120


def run_checked(command, env=None, cwd=None, what=None, timeout=TIMEOUT_SECONDS):
    """Runs a command to its end and returns its standard output; when it
    fails, raises with `what` it was (the command itself when not given) and
    all it printed. Output goes through files, not pipes: Wine's session
    processes inherit the handles and would hold a pipe open long after the
    command has ended."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        result = subprocess.run(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                                stdout=out, stderr=err, timeout=timeout)
        out.seek(0)
        err.seek(0)
        output = out.read()
        if result.returncode != 0:
            raise RuntimeError("%s failed (%d): %s %s" % (
                what or " ".join(command), result.returncode, output.decode(errors="replace"),
                err.read().decode(errors="replace")))
    return output
