#!/usr/bin/env python3
"""Writes a capture file that makes HID report decoding work hard: a device whose report
descriptor is large (GET_DESCRIPTOR with wLength 65535, answered with more than that) and
which then sends many one-byte reports on its interrupt endpoint.

usage: hid-worst-case.py OUT.dat [DESCRIPTOR_BYTES [REPORTS]]
(defaults: 220000 bytes, 30000 reports: a capture of about 968 KB). Time it with
    /usr/bin/time -v vintrace-cli transfers OUT.dat > /dev/null
"""
import sys

PID = {"SETUP": 0x2D, "OUT": 0xE1, "IN": 0x69, "ACK": 0xD2, "DATA0": 0xC3, "DATA1": 0x4B}


def crc5(field):
    crc = 0x1F
    for bit in range(11):
        feedback = (crc ^ (field >> bit)) & 1
        crc >>= 1
        if feedback:
            crc ^= 0x14
    return ~crc & 0x1F


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return ~crc & 0xFFFF


def packet(pid, data=b""):
    out = bytearray([0x01, PID[pid]])
    for b in data:
        out += bytes([0x00, b])
    return out


def token(pid, address, endpoint):
    field = address | endpoint << 7
    field |= crc5(field) << 11
    return packet(pid, bytes([field & 0xFF, field >> 8]))


def data(toggle, payload):
    crc = crc16(payload)
    return packet("DATA%d" % toggle, bytes(payload) + bytes([crc & 0xFF, crc >> 8]))


def control_in(out, address, setup, answer, size=64):
    out += token("SETUP", address, 0) + data(0, setup) + packet("ACK")
    toggle = 1
    for at in range(0, len(answer), size):
        out += token("IN", address, 0) + data(toggle, answer[at:at + size]) + packet("ACK")
        toggle ^= 1
    out += token("OUT", address, 0) + data(1, b"") + packet("ACK")


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    size = int(sys.argv[2]) if len(sys.argv) > 2 else 220000
    reports = int(sys.argv[3]) if len(sys.argv) > 3 else 30000
    # Usage Page (Generic Desktop), Usage (Mouse), Collection (Application), Logical Minimum 0,
    # Logical Maximum 1, Report Size 1, Report Count 1, then one-bit Input items to the end.
    head = bytes.fromhex("05010902A1011500250175019501")
    body = bytes.fromhex("8102") * ((size - len(head) - 1) // 2)
    descriptor = head + body + bytes([0xC0])
    configuration = bytes.fromhex(
        "09022200010100A032" "090400000103000000" "092111010001220000" "07058103080001")
    out = bytearray()
    control_in(out, 1, bytes.fromhex("8006000200002200"), configuration)
    control_in(out, 1, bytes.fromhex("810600220000FFFF"), descriptor)
    toggle = 0
    for i in range(reports):
        out += token("IN", 1, 1) + data(toggle, bytes([i & 1])) + packet("ACK")
        toggle ^= 1
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
