#!/usr/bin/env python3
"""Takes an acquisition of an emulated serial device (vintrace-analyzer-emu --device ftdi or
serial) and checks what `vintrace-cli stream` rebuilds of each data endpoint against what the
device and its host sent: for the FTDI chip the two sentences it repeats, byte for byte, with
the status bytes of every IN packet left out; for the CDC ACM port the command lines and
their answers. Also: -o writes the same bytes through a staged file and leaves an existing
file alone without --force.

usage: stream_profiles.py CLI EMULATOR WORKDIR CASE
"""
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import emulator_recording  # noqa: E402

# What the ftdi profile's host and chip send each other, over and over (emulator/BusModel.h).
FTDI_HOST = b"The quick brown fox jumps over the lazy dog 0123456789.\r\n"
FTDI_DEVICE = (b"Vintrace FTDI demo at 115200 baud, 8N1: every IN packet starts with two status "
               b"bytes that a stream of the port leaves out.\r\n")
SERIAL_COMMANDS = {b"help\r\n", b"status\r\n", b"version\r\n", b"read temperature\r\n",
                   b"echo hello\r\n"}

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def stream(cli, capture, *args):
    result = subprocess.run([cli, "stream", capture, "--address", "1", *args],
                            capture_output=True)
    check(result.returncode == 0, f"stream {args}: {result.returncode} {result.stderr!r}")
    return result.stdout


def repeats(data, sentence, at_least):
    """True when `data` is `sentence` over and over (the last one maybe cut), at least
    `at_least` times whole."""
    whole = len(data) // len(sentence)
    return whole >= at_least and data == (sentence * (whole + 1))[:len(data)]


def main():
    if len(sys.argv) != 5 or sys.argv[4] not in ("ftdi", "serial"):
        sys.exit(__doc__)
    cli, emulator, work, case = sys.argv[1:5]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    capture = os.path.join(work, "recording.dat")
    emulator_recording.acquire(cli, emulator, work,
                               ["--seed", "7", *emulator_recording.CASES[case][0]], capture)
    received = stream(cli, capture, "--endpoint", "0x81")
    sent = stream(cli, capture, "--endpoint", "2")
    if case == "ftdi":
        check(repeats(received, FTDI_DEVICE, 10),
              f"IN stream is not the chip's sentence: {received[:200]!r}")
        check(repeats(sent, FTDI_HOST, 10), f"OUT stream is not the host's: {sent[:200]!r}")
        # Endpoint 1 carries data one way only: its number alone means that way.
        check(stream(cli, capture, "--endpoint", "1") == received, "endpoint 1 without 0x80")
        check(stream(cli, capture, "--endpoint", "1", "--direction", "in") == received,
              "--direction in")
    else:
        lines = sent.splitlines(keepends=True)
        check(len(lines) > 10 and all(line in SERIAL_COMMANDS for line in lines[:-1]),
              f"OUT stream is not command lines: {lines[:5]}")
        # Each command has its answer, ending "OK"; the recording may end inside the last.
        answers = received.count(b"\r\nOK\r\n")
        check(abs(answers - len(lines)) <= 1, f"{answers} answers to {len(lines)} commands")
        check(all(b in b"\r\n" or 0x20 <= b < 0x7F for b in received), "IN stream not text")

    # To a file: the same bytes; an existing file is replaced only with --force.
    out = os.path.join(work, "received.bin")
    stream(cli, capture, "--endpoint", "0x81", "-o", out)
    check(open(out, "rb").read() == received, "-o wrote other bytes than standard output")
    open(out, "wb").write(b"keep me")
    result = subprocess.run([cli, "stream", capture, "--address", "1", "--endpoint", "0x81",
                             "-o", out], capture_output=True, text=True)
    check(result.returncode == 2 and "already exists" in result.stderr,
          f"existing file: {result.returncode} {result.stderr}")
    check(open(out, "rb").read() == b"keep me", "an existing file was touched")
    stream(cli, capture, "--endpoint", "0x81", "-o", out, "--force")
    check(open(out, "rb").read() == received, "--force did not replace the file")

    for f in failures:
        print(f)
    if failures:
        return 1
    print(f"{case}: {len(received)} bytes in, {len(sent)} bytes out as sent")
    return 0


if __name__ == "__main__":
    sys.exit(main())
