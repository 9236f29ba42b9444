#!/usr/bin/env python3
"""Checks the control transfers of `vintrace-cli transfers --json` against tshark's USB
dissector on the same pcap: every accepted request (bmRequestType, bRequest, wLength, the 8
setup bytes) at the same packet, and for each response tshark ties to its request, the same
last packet and the same number of bytes delivered.

usage: tshark_transfers.py CLI PCAP WORKDIR
Exits 77 (skipped) when tshark is not installed.
"""
import json
import os
import shutil
import sys

from tshark_support import find_tshark, run

STANDARD = {0: "GET_STATUS", 1: "CLEAR_FEATURE", 3: "SET_FEATURE", 5: "SET_ADDRESS",
            6: "GET_DESCRIPTOR", 7: "SET_DESCRIPTOR", 8: "GET_CONFIGURATION",
            9: "SET_CONFIGURATION", 10: "GET_INTERFACE", 11: "SET_INTERFACE", 12: "SYNCH_FRAME"}
FIELDS = ["frame.number", "usbll.pid", "usbll.src", "usbll.data", "usb.bmRequestType",
          "usb.setup.bRequest", "usb.setup.wLength", "usb.request_in"]
SETUP, ACK, DATA = "0x2d", "0xd2", {"0xc3", "0x4b"}


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    cli, pcap, work = sys.argv[1:4]
    tshark = find_tshark()
    if tshark is None:
        return 77
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    capture = os.path.join(work, "imported.dat")
    run([cli, "import", pcap, capture])
    items = [json.loads(line) for line in run([cli, "transfers", "--json", capture]).splitlines()]
    controls = [i for i in items if i["type"] == "control" and "setup" in i]

    args = [tshark, "-r", pcap, "-T", "fields", "-E", "occurrence=f"]
    for f in FIELDS:
        args += ["-e", f]
    rows = [dict(zip(FIELDS, line.split("\t"))) for line in run(args).splitlines()]
    # Record index = frame number - 1: import keeps one record per pcap packet.
    pid = [r["usbll.pid"] for r in rows]
    problems = []

    def fail(what):
        problems.append(what)
        if len(problems) <= 20:
            print(what)

    def item_holding(record):
        found = [i for i in controls if i["first"] <= record <= i["last"]]
        return found[0] if len(found) == 1 else None

    setups = {}
    for k, r in enumerate(rows):
        accepted = k + 1 < len(rows) and pid[k + 1] == ACK
        if r["usbll.pid"] == "0xc3" and k > 0 and pid[k - 1] == SETUP and accepted:
            setups[int(r["frame.number"])] = r
    if len(setups) != len(controls):
        fail(f"tshark sees {len(setups)} accepted requests, vintrace-cli {len(controls)}")
    for frame, r in setups.items():
        item = item_holding(frame - 1)
        if item is None:
            fail(f"request at packet {frame - 1}: no single control transfer holds it")
            continue
        setup = bytes.fromhex(item["setup"])
        if item["setup"] != r["usbll.data"].upper():
            fail(f"packet {frame - 1}: setup {item['setup']}, tshark {r['usbll.data']}")
        if r["usb.bmRequestType"] and int(r["usb.bmRequestType"], 16) != setup[0]:
            fail(f"packet {frame - 1}: bmRequestType {setup[0]:#x}, tshark {r['usb.bmRequestType']}")
        if r["usb.setup.bRequest"] and int(r["usb.setup.bRequest"]) != setup[1]:
            fail(f"packet {frame - 1}: bRequest {setup[1]}, tshark {r['usb.setup.bRequest']}")
        if r["usb.setup.bRequest"] and setup[0] & 0x60 == 0:
            want = STANDARD.get(int(r["usb.setup.bRequest"]))
            if want and item["request"] != want:
                fail(f"packet {frame - 1}: request {item['request']}, tshark {want}")
        if r["usb.setup.wLength"] and int(r["usb.setup.wLength"]) != setup[6] | setup[7] << 8:
            fail(f"packet {frame - 1}: wLength differs from tshark's {r['usb.setup.wLength']}")
        if item["bytes"] > (setup[6] | setup[7] << 8):
            fail(f"packet {frame - 1}: {item['bytes']} bytes for wLength {setup[6] | setup[7] << 8}")

    responses = 0
    for k, r in enumerate(rows):
        if not r["usb.request_in"] or int(r["usb.request_in"]) not in setups:
            continue
        responses += 1
        request = int(r["usb.request_in"])
        item = item_holding(request - 1)
        if item is None:
            continue
        if item["status"] != "ok" or not item["first"] <= k <= item["last"]:
            fail(f"response at packet {k}: not inside the transfer of packet {request - 1}")
        # The device's ACKed data packets from the request to tshark's response, each toggle
        # once: what the host received.
        source = rows[k]["usbll.src"]
        received, toggle = "", None
        for j in range(request, k + 1):
            if pid[j] in DATA and rows[j]["usbll.src"] == source and j + 1 < len(rows) \
                    and pid[j + 1] == ACK and pid[j] != toggle:
                received += rows[j]["usbll.data"].upper()
                toggle = pid[j]
        if item["data"] != received:
            fail(f"response at packet {k}: data {item['data']}, tshark frames {received}")
    print(f"{len(setups)} requests, {responses} responses compared, {len(problems)} problems")
    return 1 if problems or not setups else 0


if __name__ == "__main__":
    sys.exit(main())
