#!/usr/bin/env python3
"""Exports a capture with vintrace-cli and checks that tshark's USB link-layer dissector sees
the same packets as `vintrace-cli dump --check`: PID, device address, endpoint, SOF frame
number, and whether the CRC5/CRC16 is good.

usage: tshark_compare.py CLI INPUT WORKDIR [--speed full|low] [--pcap PCAP]
INPUT is a capture file, or a pcap that is imported first (so the real pcaps are checked
after import and export). With --pcap, tshark reads PCAP (a recording of the same packets
written by another program) instead of vintrace-cli's export of INPUT. Exits 77 (skipped)
when tshark is not installed.
"""
import os
import shutil
import sys

from tshark_support import find_tshark, run

TOKENS = {"SETUP", "OUT", "IN"}
DATA = {"DATA0", "DATA1"}
PIDS = {"SETUP": 0x2D, "OUT": 0xE1, "IN": 0x69, "ACK": 0xD2, "NAK": 0x5A, "STALL": 0x1E,
        "DATA0": 0xC3, "DATA1": 0x4B, "SOF": 0xA5}
FIELDS = ["usbll.pid", "usbll.device_addr", "usbll.endp", "usbll.frame_num",
          "usbll.crc5.status", "usbll.crc16.status"]


def expected(line):
    """What tshark should print for one `dump --check` line."""
    index, kind, length, address, endpoint, hexbytes, findings = line.split("\t")
    data = bytes.fromhex(hexbytes)
    pid = PIDS.get(kind, data[0] if data else None)
    crc_bad = set(findings.split(","))
    want = {"usbll.pid": f"0x{pid:02x}"}
    if kind in TOKENS and len(data) == 2:
        want["usbll.device_addr"] = address
        want["usbll.endp"] = endpoint
    if kind == "SOF" and len(data) == 2:
        want["usbll.frame_num"] = str(data[0] | (data[1] & 7) << 8)
    if (kind in TOKENS or kind == "SOF") and len(data) == 2:
        want["usbll.crc5.status"] = "0" if "crc5" in crc_bad else "1"
    if kind in DATA and len(data) == int(length) and len(data) >= 2:
        want["usbll.crc16.status"] = "0" if "crc16" in crc_bad else "1"
    return int(index), want


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    cli, source, work = sys.argv[1:4]
    options = dict(zip(sys.argv[4::2], sys.argv[5::2]))
    speed = options.get("--speed", "full")
    tshark = find_tshark()
    if tshark is None:
        return 77
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    capture = source
    if source.endswith(".pcap"):
        capture = os.path.join(work, "imported.dat")
        run([cli, "import", source, capture])
    exported = options.get("--pcap")
    if exported is None:
        exported = os.path.join(work, "exported.pcap")
        run([cli, "export", capture, exported, "--speed", speed])

    ours = run([cli, "dump", "--check", capture]).splitlines()
    args = [tshark, "-r", exported, "-T", "fields", "-E", "occurrence=f"]
    for f in FIELDS:
        args += ["-e", f]
    theirs = run(args).splitlines()
    if len(ours) != len(theirs):
        sys.exit(f"tshark sees {len(theirs)} packets, vintrace-cli {len(ours)}")
    mismatches = 0
    checked = 0
    for line, row in zip(ours, theirs):
        index, want = expected(line)
        got = dict(zip(FIELDS, row.split("\t")))
        for field in FIELDS:
            value = want.get(field, "")
            checked += value != ""
            if got.get(field, "") != value:
                mismatches += 1
                if mismatches <= 20:
                    print(f"packet {index}: {field}: tshark '{got.get(field, '')}', "
                          f"expected '{value}' ({line})")
    print(f"{len(ours)} packets, {checked} fields compared, {mismatches} mismatches")
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
