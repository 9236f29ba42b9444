#!/usr/bin/env python3
"""Takes an acquisition of emulated devices (a case of emulator_recording.py, with a given
seed and recording memory) and compares what a vintrace-cli view prints for it, whole, with
the expected text. VINTRACE_UPDATE_GOLDEN=1 writes the expected file instead.

usage: profile_golden.py CLI EMULATOR WORKDIR CASE SEED MEMORY EXPECTED VIEW [VIEW OPTIONS...]
"""
import difflib
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import emulator_recording  # noqa: E402


def main():
    if len(sys.argv) < 9 or sys.argv[4] not in emulator_recording.CASES:
        sys.exit(__doc__)
    cli, emulator, work, case, seed, memory, expected = sys.argv[1:8]
    view = sys.argv[8:]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    capture = os.path.join(work, "recording.dat")
    emulator_args = emulator_recording.CASES[case][0]
    emulator_recording.acquire(cli, emulator, work,
                               ["--seed", seed, "--memory", memory, *emulator_args], capture)
    result = subprocess.run([cli, *view, capture], capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"vintrace-cli {' '.join(view)} failed ({result.returncode}): {result.stderr}")
    if os.environ.get("VINTRACE_UPDATE_GOLDEN") == "1":
        open(expected, "w").write(result.stdout)
        print(f"wrote {expected}")
        return 0
    want = open(expected).read()
    if result.stdout != want:
        diff = difflib.unified_diff(want.splitlines(True), result.stdout.splitlines(True),
                                    expected, "vintrace-cli output")
        sys.stdout.writelines(list(diff)[:80])
        return 1
    print(f"{case}: {len(want.splitlines())} lines as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main())
