"""What the tshark comparison scripts share: running a program, finding tshark."""

import shutil
import subprocess
import sys


def run(args):
    """Runs a program and returns its standard output; a failure ends the script."""
    result = subprocess.run(args, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"{' '.join(args)} failed ({result.returncode}): {result.stderr}")
    return result.stdout


def find_tshark():
    """tshark's path, or None after saying the test is skipped (its caller returns 77)."""
    tshark = shutil.which("tshark")
    if tshark is None:
        print("SKIPPED: tshark is not installed (scripts/install-deps.sh installs it)")
    return tshark
