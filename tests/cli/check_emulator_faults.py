"""vintrace-analyzer-emu --fault, end to end: a recording taken as a user takes it holds the faults
asked for, and `vintrace-cli check` finds each as the rule it names (and nothing else worth a
warning); a fault no device on the bus can commit is refused at start.
Usage: check_emulator_faults.py CLI EMULATOR WORK"""
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(__file__))
import emulator_recording  # noqa: E402

cli, emulator, work = sys.argv[1:4]
os.makedirs(work, exist_ok=True)
failures = []

capture = os.path.join(work, "faults.dat")
emulator_recording.acquire(cli, emulator, work,
                           ["--device", "disk", "--fault", "bad-csw", "--fault", "nak-setup",
                            "--fault", "sof-gap", "--memory", "40000"], capture)
checked = subprocess.run([cli, "check", "--json", capture], capture_output=True, text=True)
if checked.returncode != 1:
    failures.append(f"check: exit status {checked.returncode}, 1 expected; {checked.stderr}")
found = sorted(f["rule"] for f in json.loads(checked.stdout)["findings"]
               if f["severity"] != "info")
if found != ["bot-csw-invalid", "setup-not-acked", "sof-gap"]:
    failures.append(f"findings {found}")

refused = subprocess.run([emulator, "--device", "disk", "--fault", "toggle"],
                         capture_output=True, text=True, timeout=20)
if refused.returncode == 0 or "interrupt IN endpoint" not in refused.stderr:
    failures.append(f"--fault toggle with only the disk: {refused.returncode} {refused.stderr}")

for failure in failures:
    print(failure)
sys.exit(1 if failures else 0)
