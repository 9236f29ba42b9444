#!/usr/bin/env python3
"""Takes an acquisition of an emulated device, cuts it where the first data endpoint is first
addressed (as a capture that began after enumeration would start), and checks that
`vintrace-cli transfers --assume` reads the cut capture as the whole one: the same items, types
and class texts on the assumed endpoints. Also: without --assume the cut capture is guessed
(differently); on the whole capture its own descriptors win unless the kind ends in '!';
`devices` marks the assumed endpoints; bad texts are usage errors naming the kinds.

usage: assume_profiles.py CLI EMULATOR WORKDIR CASE
"""
import os
import shutil
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import emulator_recording  # noqa: E402

# What each emulated device's data endpoints are (its configuration descriptor says so).
ASSUME = {
    "mouse": ["1.0x81=hid-boot-mouse"],
    "keyboard": ["1.0x81=hid-boot-keyboard"],
    "serial": ["1.1=cdc-data", "1.2=cdc-data"],
    "disk": ["1.1=bot", "1.2=bot"],
    "ftdi": ["1.1=ftdi", "1.2=ftdi"],
}
# An endpoint the whole capture describes, and a kind it is not.
OTHER = {"mouse": "1.0x81=bulk", "keyboard": "1.0x81=bulk", "serial": "1.0x81=interrupt",
         "disk": "1.0x81=interrupt", "ftdi": "1.0x81=interrupt"}

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def run(cli, *args, expect=0):
    result = subprocess.run([cli, *args], capture_output=True, text=True)
    check(result.returncode == expect,
          f"{' '.join(args)}: exit {result.returncode}, wanted {expect}: {result.stderr[:300]}")
    return result


def first_data_token(pcap):
    """Index of the first IN or OUT token to an endpoint other than 0, and the pcap's header
    and records."""
    header, records, at = pcap[:24], [], 24
    while at + 16 <= len(pcap):
        length = struct.unpack_from("<I", pcap, at + 8)[0]
        records.append(pcap[at:at + 16 + length])
        at += 16 + length
    for i, record in enumerate(records):
        packet = record[16:]
        if len(packet) >= 3 and packet[0] in (0x69, 0xE1):  # IN, OUT
            endpoint = (packet[1] >> 7) | (packet[2] & 0x07) << 1
            if endpoint != 0:
                return i, header, records
    sys.exit("no data endpoint in the recording")


def lines_on(output, endpoints, offset):
    """The transfer lines of the given (address, endpoint) pairs, first and last record moved
    back by `offset`, from record `offset` on."""
    out = []
    for line in output.splitlines():
        f = line.split("\t")
        if f[2] in ("sof", "malformed") or (f[3], f[4]) not in endpoints:
            continue
        first, last = int(f[0]) - offset, int(f[1]) - offset
        if first >= 0:
            out.append("\t".join([str(first), str(last), *f[2:]]))
    return out


def main():
    if len(sys.argv) != 5 or sys.argv[4] not in ASSUME:
        sys.exit(__doc__)
    cli, emulator, work, case = sys.argv[1:5]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    whole = os.path.join(work, "whole.dat")
    args, speed, _ = emulator_recording.CASES[case]
    emulator_recording.acquire(cli, emulator, work, ["--seed", "11", "--memory", "40000", *args],
                               whole)
    pcap = os.path.join(work, "whole.pcap")
    run(cli, "export", whole, pcap, "--speed", speed)
    cut, header, records = first_data_token(open(pcap, "rb").read())
    late_pcap = os.path.join(work, "late.pcap")
    with open(late_pcap, "wb") as f:
        f.write(header + b"".join(records[cut:]))
    late = os.path.join(work, "late.dat")
    run(cli, "import", late_pcap, late, "--force")

    assume = [a for text in ASSUME[case] for a in ("--assume", text)]
    endpoints = {(t.split(".")[0], str(int(t.split(".")[1].split("=")[0], 0) & 0x0F))
                 for t in ASSUME[case]}
    expected = lines_on(run(cli, "transfers", whole).stdout, endpoints, cut)
    got = lines_on(run(cli, "transfers", late, *assume).stdout, endpoints, 0)
    guessed = lines_on(run(cli, "transfers", late).stdout, endpoints, 0)
    check(len(expected) > 10, f"only {len(expected)} transfers on {endpoints} after the cut")
    check(got == expected, "the cut capture with --assume reads otherwise than the whole:\n" +
          "\n".join(f"  whole {a!r}\n  late  {b!r}" for a, b in zip(expected, got) if a != b)
          [:2000] + f"\n  ({len(expected)} and {len(got)} lines)")
    check(guessed != expected, "without --assume the cut capture reads as the whole")

    if case in ("ftdi", "serial"):
        # The cut falls before any data: the stream of the port is all there, and an FTDI
        # chip's status bytes are left out only when the chip is known.
        for endpoint in ("0x81", "2"):
            want = subprocess.run([cli, "stream", whole, "--address", "1", "--endpoint", endpoint],
                                  capture_output=True).stdout
            got_stream = subprocess.run([cli, "stream", late, "--address", "1", "--endpoint",
                                         endpoint, *assume], capture_output=True).stdout
            check(len(want) > 100 and got_stream == want, f"stream {endpoint} of the cut capture")

    devices = run(cli, "devices", late, *assume).stdout
    check(devices.count(" assumed ") >= len(endpoints), f"devices marks no assumption:\n{devices}")

    # The whole capture's descriptors win over a kind they contradict, unless it insists.
    plain = run(cli, "transfers", whole).stdout
    weak = run(cli, "transfers", whole, "--assume", OTHER[case])
    check(weak.stdout == plain, f"{OTHER[case]} changed what the descriptors describe")
    check("not used" in weak.stderr, f"{OTHER[case]}: no note that it was not used: {weak.stderr}")
    strong = run(cli, "transfers", whole, "--assume", OTHER[case] + "!").stdout
    kind = OTHER[case].split("=")[1]
    check(any(line.split("\t")[2] == kind and line.split("\t")[4] == "1" and
              line.split("\t")[5] == "in" for line in strong.splitlines()),
          f"{OTHER[case]}! made no {kind} transfer on 1.0x81")

    # Usage errors name what is wrong and, for a kind, the kinds there are.
    # 105: CLI11's code for a value its check refuses; check keeps 2 for any usage error.
    for command, code in (("transfers", 105), ("devices", 105), ("stream", 105), ("check", 2)):
        result = run(cli, command, late, "--assume", "1.1=serial", "--address", "1",
                     "--endpoint", "1", expect=code) if command == "stream" else \
            run(cli, command, late, "--assume", "1.1=serial", expect=code)
        check("unknown kind: serial" in result.stderr and "hid-boot-keyboard" in result.stderr,
              f"{command}: {result.stderr}")
    result = run(cli, "transfers", late, "--assume", "1.0=bulk", expect=105)
    check("control endpoint" in result.stderr, result.stderr)

    for f in failures:
        print(f)
    if failures:
        return 1
    print(f"{case}: {len(got)} transfers after packet {cut} read as in the whole capture")
    return 0


if __name__ == "__main__":
    sys.exit(main())
