#!/usr/bin/env python3
"""Checks `vintrace-cli devices --json` against tshark's USB dissector on the same pcap: for
every descriptor tshark decodes in a response, the device that held the address at that
packet carries the same values (idVendor, idProduct, bcdUSB, bNumConfigurations; interface
classes; endpoint addresses, attributes and sizes; string texts by index; language IDs; HID
report descriptor items when the CLI lists them).

usage: tshark_devices.py CLI PCAP WORKDIR
Exits 77 (skipped) when tshark is not installed.
"""
import json
import os
import shutil
import sys

from tshark_support import find_tshark, run

DEVICE = ["usb.idVendor", "usb.idProduct", "usb.bcdUSB", "usb.bNumConfigurations"]
LISTS = ["usb.bInterfaceClass", "usb.bEndpointAddress", "usb.bmAttributes",
         "usb.wMaxPacketSize"]
FIELDS = ["frame.number", "usbll.src", "usb.request_in", "usb.bDescriptorType",
          "usb.DescriptorIndex", "usb.bString", "usb.wLANGID",
          "usbhid.item.bTag", "usbhid.item.bType"] + DEVICE + LISTS


def number(text):
    return int(text, 0)


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
    devices = json.loads(run([cli, "devices", "--json", capture]))["devices"]

    args = [tshark, "-r", pcap, "-T", "fields", "-E", "occurrence=a", "-E", "aggregator=|"]
    for f in FIELDS:
        args += ["-e", f]
    rows = {}
    for line in run(args).splitlines():
        r = dict(zip(FIELDS, line.split("\t")))
        rows[int(r["frame.number"])] = r
    problems = []

    def fail(what):
        problems.append(what)
        if len(problems) <= 20:
            print(what)

    def device_at(address, record):
        """The last device that was at `address` by `record` (record = frame - 1)."""
        found = None
        for d in devices:
            if d["first"] <= record and address in (d["address"], d["first_address"]):
                found = d
        return found

    def interfaces(d):
        return [i for c in d.get("configurations", []) for i in c["interfaces"]]

    compared = 0
    for frame, r in rows.items():
        described = r["usb.bDescriptorType"] or r["usbhid.item.bTag"]
        if not described or not r["usb.request_in"] or not r["usbll.src"]:
            continue
        record = frame - 1
        address = int(r["usbll.src"].split(".")[0])
        d = device_at(address, record)
        if d is None:
            fail(f"packet {record}: tshark decodes a descriptor from address {address}, "
                 "vintrace-cli lists no device there")
            continue
        compared += 1
        where = f"packet {record} (device at {d['address']}, from packet {d['first']})"
        for f in DEVICE:
            if r[f]:
                name = f.split(".")[1]
                ours = d.get("device", {}).get(name)
                if ours != number(r[f]):
                    fail(f"{where}: {name} {ours}, tshark {r[f]}")
        types = r["usb.bDescriptorType"].split("|")
        configuration = "0x02" in types or "0x07" in types
        classes = [number(v) for v in r["usb.bInterfaceClass"].split("|") if v]
        if classes and configuration:
            ours = [i["bInterfaceClass"] for i in interfaces(d)]
            if ours != classes:
                fail(f"{where}: interface classes {ours}, tshark {classes}")
        endpoints = list(zip(*[[number(v) for v in r[f].split("|") if v]
                               for f in LISTS[1:]]))
        if endpoints and configuration:
            ours = [(e["bEndpointAddress"], e["bmAttributes"], e["wMaxPacketSize"])
                    for i in interfaces(d) for e in i["endpoints"]]
            if ours != endpoints:
                fail(f"{where}: endpoints {ours}, tshark {endpoints}")
        request = rows.get(number(r["usb.request_in"]), {})
        index = request.get("usb.DescriptorIndex", "")
        if r["usb.bString"] and index:
            ours = d["strings"].get(str(number(index)))
            # tshark shows the text up to its first NUL.
            if ours is None or ours.split("\0")[0] != r["usb.bString"]:
                fail(f"{where}: string {number(index)} {ours!r}, tshark {r['usb.bString']!r}")
        languages = [number(v) for v in r["usb.wLANGID"].split("|") if v]
        if languages and d.get("languages") != languages:
            fail(f"{where}: languages {d.get('languages')}, tshark {languages}")
        tags = [number(v) for v in r["usbhid.item.bTag"].split("|") if v]
        if tags:
            types = [number(v) for v in r["usbhid.item.bType"].split("|") if v]
            ours = [(item["type"], item["tag"]) for i in interfaces(d)
                    for item in i.get("report_items", [])]
            if ours != list(zip(types, tags)):
                fail(f"{where}: report items {ours}, tshark {list(zip(types, tags))}")
    print(f"{compared} descriptors compared over {len(devices)} devices, "
          f"{len(problems)} problems")
    return 1 if problems or not compared else 0


if __name__ == "__main__":
    sys.exit(main())
