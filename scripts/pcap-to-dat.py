#!/usr/bin/env python3
"""Convert a USB pcap (link type 288, one packet per record, PID byte first) into the
analyzer's capture format, and optionally write what a decoder must make of it.

Capture format: each packet is a start unit `01 PID` followed by one `00 b` unit per byte.

--expected writes one line per packet, TAB-separated, the way `vintrace-cli dump` prints it:
    index  kind  length  address  endpoint  bytes
--endpoints writes the device addresses named by SETUP/OUT/IN packets in order of first
appearance, one per line: `address<TAB>endpoint endpoint ...` (decimal, first 15 endpoints
of an address in order of first appearance).

Both are computed here from the pcap records alone, so tests can hold the C++ decoder
against an independent reading of the same traffic. Dev tool only: standard library, and
CI never runs it.
"""

import argparse
import struct
import sys

LINKTYPE_USB_2_0 = 288

# Wire PID byte (check nibble included) -> (name, capacity of the stored bytes).
KNOWN_PIDS = {
    0x2D: ("SETUP", 2),
    0xE1: ("OUT", 2),
    0x69: ("IN", 2),
    0xD2: ("ACK", 2),
    0x5A: ("NAK", 2),
    0x1E: ("STALL", 2),
    0xC3: ("DATA0", 66),
    0x4B: ("DATA1", 66),
    0xA5: ("SOF", 2),
}
UNKNOWN_CAPACITY = 66
TOKENS = ("SETUP", "OUT", "IN")
MAX_ENDPOINTS_PER_ADDRESS = 15


def read_pcap(path):
    """Yield the packet bytes of every record of a classic pcap file."""
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 24:
        sys.exit(f"{path}: too short for a pcap header")
    magic = data[:4]
    if magic in (b"\xd4\xc3\xb2\xa1", b"\x4d\x3c\xb2\xa1"):
        endian = "<"
    elif magic in (b"\xa1\xb2\xc3\xd4", b"\xa1\xb2\x3c\x4d"):
        endian = ">"
    else:
        sys.exit(f"{path}: not a classic pcap file (pcapng is not supported)")
    linktype = struct.unpack(endian + "I", data[20:24])[0] & 0x0FFFFFFF
    if linktype != LINKTYPE_USB_2_0:
        sys.exit(f"{path}: link type {linktype}, expected {LINKTYPE_USB_2_0}")
    offset = 24
    index = 0
    while offset < len(data):
        if offset + 16 > len(data):
            sys.exit(f"{path}: record {index} header cut short")
        incl_len = struct.unpack(endian + "I", data[offset + 8 : offset + 12])[0]
        offset += 16
        if offset + incl_len > len(data):
            sys.exit(f"{path}: record {index} data cut short")
        yield data[offset : offset + incl_len]
        offset += incl_len
        index += 1


def to_capture(packet):
    """The capture-format units of one packet."""
    out = bytearray((0x01, packet[0]))
    for b in packet[1:]:
        out += bytes((0x00, b))
    return out


def decode(packet):
    """(kind, length, address, endpoint, stored bytes) of one packet; address and endpoint
    are None for anything but a token, 0 where a cut token did not carry them."""
    pid = packet[0]
    after = packet[1:]
    if pid in KNOWN_PIDS:
        kind, capacity = KNOWN_PIDS[pid]
        counted = after
    else:
        # An unrecognised identifier is kept and counted as the first byte.
        kind, capacity = "UNKNOWN", UNKNOWN_CAPACITY
        counted = packet
    length = len(counted) % 256
    stored = bytes(counted[:capacity])
    address = endpoint = None
    if kind in TOKENS:
        address = after[0] & 0x7F if len(after) >= 1 else 0
        endpoint = ((after[1] & 0x07) << 1) | (after[0] >> 7) if len(after) >= 2 else 0
    return kind, length, address, endpoint, stored


def endpoint_table(decoded):
    table = {}  # dicts keep insertion order: addresses in order of first appearance
    for kind, _, address, endpoint, _ in decoded:
        if kind not in TOKENS:
            continue
        endpoints = table.setdefault(address, [])
        if endpoint not in endpoints and len(endpoints) < MAX_ENDPOINTS_PER_ADDRESS:
            endpoints.append(endpoint)
    return table


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("pcap", help="input pcap with link type 288")
    parser.add_argument("dat", help="capture file to write")
    parser.add_argument("--expected", help="write the expected decode (TSV) here")
    parser.add_argument("--endpoints", help="write the expected endpoint table here")
    args = parser.parse_args()

    packets = list(read_pcap(args.pcap))
    empty = sum(1 for p in packets if not p)
    if empty:
        print(f"{args.pcap}: skipping {empty} empty record(s)", file=sys.stderr)
    packets = [p for p in packets if p]

    with open(args.dat, "wb") as f:
        for p in packets:
            f.write(to_capture(p))

    decoded = [decode(p) for p in packets]
    if args.expected:
        with open(args.expected, "w", encoding="ascii", newline="\n") as f:
            for i, (kind, length, address, endpoint, stored) in enumerate(decoded):
                a = "-" if address is None else str(address)
                e = "-" if endpoint is None else str(endpoint)
                f.write(f"{i}\t{kind}\t{length}\t{a}\t{e}\t{stored.hex().upper()}\n")
    if args.endpoints:
        with open(args.endpoints, "w", encoding="ascii", newline="\n") as f:
            for address, endpoints in endpoint_table(decoded).items():
                f.write(f"{address}\t{' '.join(map(str, endpoints))}\n")
    print(f"{args.pcap}: {len(packets)} packets -> {args.dat}", file=sys.stderr)


if __name__ == "__main__":
    main()
