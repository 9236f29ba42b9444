"""The rules `vintrace-cli check --list` gives are the rules docs/checks.md describes, in the same
order, each with its severity and reference; and `check --json` prints one JSON object whose
findings have the documented keys.
Usage: check_rules.py CLI CHECKS_MD CAPTURE"""
import json
import re
import subprocess
import sys

cli, doc, capture = sys.argv[1:4]
failures = []

listed = subprocess.run([cli, "check", "--list", "--json"], capture_output=True, text=True,
                        check=True)
rules = json.loads(listed.stdout)["rules"]
ids = [r["rule"] for r in rules]

text = open(doc, encoding="utf-8").read()
sections = re.split(r"^### `([a-z0-9-]+)`\n", text, flags=re.M)
documented = dict(zip(sections[1::2], sections[2::2]))
if list(documented) != ids:
    failures.append(f"docs list {list(documented)}, check --list gives {ids}")
for r in rules:
    body = documented.get(r["rule"], "")
    head = f"Severity: {r['severity']}. Reference: {r['reference']}."
    if head not in body:
        failures.append(f"{r['rule']}: the docs do not say '{head}'")
    for part in ("- What:", "- Why:", "- Example"):
        if part not in body:
            failures.append(f"{r['rule']}: no '{part}' in its section")
    example = re.search(r"```\n\s*(\S+)\t(\S+)\t", body)
    if not example or example.groups() != (r["severity"], r["rule"]):
        failures.append(f"{r['rule']}: its example is not a line of its own rule")

checked = subprocess.run([cli, "check", "--json", capture], capture_output=True, text=True)
if checked.returncode != 1:
    failures.append(f"check --json {capture}: exit status {checked.returncode}, 1 expected")
findings = json.loads(checked.stdout)["findings"]
if not findings:
    failures.append(f"check --json {capture}: no findings")
for f in findings:
    required = {"rule", "severity", "first", "last", "message", "reference"}
    if not required <= f.keys() or not f.keys() <= required | {"address", "endpoint"}:
        failures.append(f"finding with keys {sorted(f)}")
    if f.get("rule") not in ids or f.get("severity") not in ("error", "warning", "info"):
        failures.append(f"finding {f}")
    if not 0 <= f["first"] <= f["last"]:
        failures.append(f"finding with records {f['first']}..{f['last']}")

for failure in failures:
    print(failure)
sys.exit(1 if failures else 0)
