#!/usr/bin/env python3
"""The emulated machine's command line; see harness/cli.py. test/qemu/guest.py
links here: Python runs a linked script from the folder it really sits in,
which holds the harness package."""

import sys

from harness import cli

if __name__ == "__main__":
    sys.exit(cli.main())
