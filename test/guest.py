#!/usr/bin/env python3
"""The emulated machine's command line (harness/cli.py), beside the harness
package it imports."""
import sys

from harness import cli

sys.exit(cli.main())
