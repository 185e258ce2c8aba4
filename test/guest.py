#!/usr/bin/env python3
"""The emulated machine's command line (harness/cli.py). test/qemu/guest.py
links here: Python looks for imports where a linked script really is."""
import sys

from harness import cli

sys.exit(cli.main())
