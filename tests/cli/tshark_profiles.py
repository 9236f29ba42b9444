#!/usr/bin/env python3
"""Takes an acquisition of emulated devices (vintrace-analyzer-emu --device ...), exports it
to pcap with vintrace-cli and has tshark decode it: no malformed packet and no bad CRC (bar
the last packet, which the recording memory may end inside), and the descriptors and class
traffic tshark decodes are those the devices define: vendor and product IDs, interface
classes, endpoints and their sizes, wTotalLength against the descriptors that make it up,
strings, HID requests and reports, CDC requests and line coding, mass-storage wrappers, SCSI
commands and sense data. What Vintrace decodes from the same pcap is then checked against
tshark: the control transfers of `vintrace-cli transfers` (tshark_transfers.py) and the
devices, descriptors and strings of `vintrace-cli devices` (tshark_devices.py).

tshark does not follow preambles (PRE) inside a transaction, so for a full-speed bus with
low-speed devices behind a hub the PRE packets are taken out of the pcap before tshark (and
the comparison with Vintrace) reads it; the low-speed packets must then still form valid
transactions.

usage: tshark_profiles.py CLI EMULATOR WORKDIR CASE
Exits 77 (skipped) when tshark is not installed.
"""
import os
import shutil
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import emulator_recording  # noqa: E402

from tshark_support import find_tshark, run  # noqa: E402

# What each device defines. The interface classes, endpoints and sizes are in descriptor
# order.
PROFILES = {
    "mouse": {"product": "0x0003", "classes": ["0x03"], "endpoints": ["0x81"], "sizes": ["4"],
              "strings": ["Vintrace", "Demo Mouse", "VT-MOUSE-0001"], "report_length": 50},
    "keyboard": {"product": "0x0004", "classes": ["0x03"], "endpoints": ["0x81"],
                 "sizes": ["8"], "strings": ["Vintrace", "Demo Keyboard", "VT-KBD-0001"],
                 "report_length": 63},
    "serial": {"product": "0x0005", "classes": ["0x02", "0x0a"],
               "endpoints": ["0x83", "0x02", "0x81"], "sizes": ["16", "64", "64"],
               "strings": ["Vintrace", "Demo Serial Port", "VT-ACM-0001"]},
    "disk": {"product": "0x0006", "classes": ["0x08"], "endpoints": ["0x81", "0x02"],
             "sizes": ["64", "64"], "strings": ["Vintrace", "Demo Disk", "VT0000000001"]},
    "dfu": {"product": "0x0007", "classes": ["0xfe"], "endpoints": [], "sizes": [],
            "strings": ["Vintrace", "Demo DFU", "VT-DFU-0001"]},
    "ftdi": {"vendor": "0x0403", "product": "0x6001", "classes": ["0xff"],
             "endpoints": ["0x81", "0x02"], "sizes": ["64", "64"],
             "strings": ["Vintrace", "Demo FTDI Serial", "VT-FTDI-0001"]},
    "midi": {"product": "0x0008", "classes": ["0x01", "0x01"], "endpoints": ["0x01", "0x81"],
             "sizes": ["64", "64"], "strings": ["Vintrace", "Demo MIDI", "VT-MIDI-0001"]},
    "vendor": {"product": "0x0001", "classes": ["0xff"], "endpoints": ["0x81", "0x02", "0x82"],
               "sizes": ["8", "64", "64"], "strings": []},
}
CASES = emulator_recording.CASES
FIELDS = ["frame.number", "_ws.malformed", "_ws.expert.severity", "_ws.expert.message",
          "usbll.crc5.status", "usbll.crc16.status", "usb.idVendor", "usb.idProduct",
          "usb.wTotalLength", "usb.bLength", "usb.bNumInterfaces", "usb.bInterfaceClass",
          "usb.bEndpointAddress", "usb.wMaxPacketSize", "usb.bString", "usbhid.setup.bRequest",
          "usbhid.item.bSize", "usbhid.descriptor.hid.wDescriptorLength", "usbhid.data",
          "usbcom.control.request_code", "usbcom.control.payload", "usbcom.descriptor.subtype",
          "usbms.dCBWSignature", "usbms.dCSWStatus", "usbms.setup.bRequest", "scsi_sbc.opcode",
          "scsi.sns.key", "scsi.sns.asc", "usb.capdata", "usb.bmRequestType", "usb.setup.bRequest",
          "usb.setup.wValue", "usb.setup.wLength", "usb.control.Response", "usb.data_fragment",
          "usbdfu.descriptor.wTransferSize", "usbdfu.descriptor.bcdDFUVersion",
          "usbdfu.descriptor.bmAttributes.CanUpload", "ftdi-ft.bRequest", "ftdi-ft.lValue",
          "ftdi-ft.hValue", "ftdi-ft.lIndex", "ftdi-ft.hValue.parity", "ftdi-ft.hValue.b4",
          "ftdi-ft.hValue.b6", "ftdi-ft.latency_time", "ftdi-ft.modem_status.b4",
          "ftdi-ft.modem_status.b5", "ftdi-ft.modem_status.b6", "ftdi-ft.modem_status.b7",
          "ftdi-ft.line_status.b1", "ftdi-ft.line_status.b2", "ftdi-ft.line_status.b3",
          "ftdi-ft.line_status.b4", "ftdi-ft.line_status.b5", "ftdi-ft.line_status.b6",
          "ftdi-ft.if_a_rx_payload", "ftdi-ft.if_a_tx_payload", "usbll.pid",
          "usbaudio.ac_if_subtype", "usbaudio.ac_if_hdr.wTotalLength",
          "usbaudio.ac_if_hdr.baInterfaceNr", "usbaudio.midi.cable_number",
          "usbaudio.midi.code_index", "usbaudio.midi.event"]
PRE = 0x3C
EXPERT_ERROR = 0x00800000
# Boot keyboard usages back to characters (shift gives capitals and '!').
KEYS = {0x28: "\n", 0x2C: " ", 0x2D: "-", 0x36: ",", 0x37: ".", 0x27: "0"}
KEYS.update({0x04 + i: chr(ord("a") + i) for i in range(26)})
KEYS.update({0x1E + i: chr(ord("1") + i) for i in range(9)})
# DFU 1.1 6.1.2: bStatus and bState by name.
DFU_STATUS = ["OK", "errTARGET", "errFILE", "errWRITE", "errERASE", "errCHECK_ERASED", "errPROG",
              "errVERIFY", "errADDRESS", "errNOTDONE", "errFIRMWARE", "errVENDOR", "errUSBR",
              "errPOR", "errUNKNOWN", "errSTALLEDPKT"]
DFU_STATE = ["appIDLE", "appDETACH", "dfuIDLE", "dfuDNLOAD-SYNC", "dfuDNBUSY", "dfuDNLOAD-IDLE",
             "dfuMANIFEST-SYNC", "dfuMANIFEST", "dfuMANIFEST-WAIT-RESET", "dfuUPLOAD-IDLE",
             "dfuERROR"]
# FTDI requests by bRequest, and the sub-integer divisor codes in eighths (AN232B-05).
FTDI_REQUESTS = {0: "RESET", 1: "SET_MODEM_CTRL", 2: "SET_FLOW_CTRL", 3: "SET_BAUD_RATE",
                 4: "SET_DATA", 5: "GET_MODEM_STATUS", 6: "SET_EVENT_CHAR", 7: "SET_ERROR_CHAR",
                 9: "SET_LATENCY_TIMER", 10: "GET_LATENCY_TIMER"}
FTDI_EIGHTHS = [0, 4, 2, 1, 3, 5, 6, 7]
TYPED = {"hello, usb 1.1!\n", "Vintrace\n", "ls -l\n", "make test\n", "echo OK\n"}

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def without_preambles(source, target):
    """Copies a pcap without its 1-byte PRE records."""
    data = open(source, "rb").read()
    order = "<" if data[:4] in (b"\xd4\xc3\xb2\xa1", b"\x4d\x3c\xb2\xa1") else ">"
    out = [data[:24]]
    offset = 24
    while offset + 16 <= len(data):
        length = struct.unpack(order + "I", data[offset + 8:offset + 12])[0]
        record = data[offset:offset + 16 + length]
        if not (length == 1 and record[16] == PRE):
            out.append(record)
        offset += 16 + length
    open(target, "wb").write(b"".join(out))


def check_ftdi(cli, capture, rows, values):
    """The FT232R's vendor requests, status bytes and data as tshark's FTDI dissector reads
    them, against `vintrace-cli transfers` and `vintrace-cli stream`."""
    lines = run([cli, "transfers", capture]).splitlines()
    ours = [line.split("; FTDI ")[1] for line in lines if "; FTDI " in line]
    names = [FTDI_REQUESTS.get(int(v), "?") for v in values("ftdi-ft.bRequest")]
    n = min(len(ours), len(names))
    check(n >= 10 and [o.split(" ")[0].rstrip(":") for o in ours[:n]] == names[:n],
          f"FTDI requests: ours {ours[:12]}, tshark {names[:12]}")
    for row in rows:
        if row["ftdi-ft.bRequest"] == "3":
            # The divisor from tshark's fields: 14 integer bits, a sub-integer code in wValue
            # bits 14-15 and wIndex bit 0, of a 3 MHz clock.
            value = int(row["ftdi-ft.lValue"], 0) | int(row["ftdi-ft.hValue"], 0) << 8
            code = value >> 14 | (int(row["ftdi-ft.lIndex"], 0) & 1) << 2
            baud = 3e6 * 8 / ((value & 0x3FFF) * 8 + FTDI_EIGHTHS[code])
            check(round(baud) == 115385, f"tshark baud divisor {value:#x}: {baud}")
            check("SET_BAUD_RATE 115200 baud (115385 actual)" in ours, f"our baud: {ours}")
        if row["ftdi-ft.bRequest"] == "4":
            data_bits = int(row["ftdi-ft.lValue"], 0)
            parity = "NOEMS"[int(row["ftdi-ft.hValue.parity"], 0)]
            stop = ["1", "1.5", "2"][int(row["ftdi-ft.hValue.b4"], 0)]
            check(f"SET_DATA {data_bits}{parity}{stop}" in ours, f"SET_DATA: {ours}")
    check(values("ftdi-ft.latency_time")[:1] == ["16"] and "SET_LATENCY_TIMER 16 ms" in ours,
          f"latency {values('ftdi-ft.latency_time')}")

    # Every IN packet's status, named from tshark's bits, as the transfers say it.
    bits = [("ftdi-ft.modem_status.b4", "CTS"), ("ftdi-ft.modem_status.b5", "DSR"),
            ("ftdi-ft.modem_status.b6", "RI"), ("ftdi-ft.modem_status.b7", "DCD"),
            ("ftdi-ft.line_status.b1", "overrun"), ("ftdi-ft.line_status.b2", "parity error"),
            ("ftdi-ft.line_status.b3", "framing error"), ("ftdi-ft.line_status.b4", "break"),
            ("ftdi-ft.line_status.b5", "THRE"), ("ftdi-ft.line_status.b6", "TEMT")]
    theirs = set()
    for row in rows:
        columns = [row[field].split(";") for field, _ in bits]
        for packet in zip(*columns):
            if packet[0]:
                theirs.add(", ".join(name for (_, name), v in zip(bits, packet) if v == "1"))
    statuses = {line.split("status ")[-1] for line in lines if "\tbulk\t" in line and
                "\tin\t" in line}
    check(len(theirs) == 1 and theirs == statuses, f"status: tshark {theirs}, ours {statuses}")

    # The data with the status bytes taken out, each way, against `stream`. tshark reads the
    # data of an OUT the device NAKed too, which delivers nothing (USB 2.0 8.5.1): those
    # packets are left out here.
    for field, endpoint in (("ftdi-ft.if_a_rx_payload", "0x81"), ("ftdi-ft.if_a_tx_payload", "2")):
        data = b"".join(bytes.fromhex(v) for row, after in zip(rows, rows[1:] + [rows[-1]])
                        if after["usbll.pid"] != "0x5a"
                        for v in row[field].replace(",", ";").split(";") if v)
        ours = subprocess.run([cli, "stream", capture, "--address", "1", "--endpoint", endpoint],
                              capture_output=True, check=True).stdout
        n = min(len(data), len(ours))
        check(n > 1000 and data[:n] == ours[:n] and abs(len(data) - len(ours)) < 130,
              f"{field}: tshark {len(data)} bytes, stream {len(ours)}")


NOTES = ["C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"]


def midi_event_start(cin, event):
    """The words our decoding of a USB-MIDI event starts with, from tshark's code index and
    MIDI bytes: the message and channel, and the note by name (60 is C4)."""
    kind = {0x8: "Note Off", 0x9: "Note On", 0xA: "Poly Pressure", 0xB: "CC",
            0xC: "Program Change", 0xD: "Channel Pressure", 0xE: "Pitch Bend"}.get(cin)
    if kind:
        words = f"{kind} ch {(event[0] & 0x0F) + 1}"
        if cin in (0x8, 0x9, 0xA):
            words += f" {NOTES[event[1] % 12]}{event[1] // 12 - 1}"
        return words
    if cin == 0x4:
        return "SysEx start" if event[0] == 0xF0 else "SysEx continue"
    if cin in (0x5, 0x6, 0x7):
        return "SysEx end" if event[0] != 0xF0 else "SysEx"
    if cin == 0xF and event[0] == 0xF8:
        return "Timing Clock"
    return "?"


def check_midi(cli, capture, rows, values):
    """The MIDI adapter's audio control header and the event packets each way, as tshark's
    USB audio dissector reads them, against `vintrace-cli devices` and `transfers`."""
    check(values("usbaudio.ac_if_hdr.baInterfaceNr") == ["1"] and
          values("usbaudio.ac_if_hdr.wTotalLength") == ["9"],
          f"AC header: {values('usbaudio.ac_if_hdr.baInterfaceNr')}, "
          f"{values('usbaudio.ac_if_hdr.wTotalLength')}")
    devices = run([cli, "devices", capture])
    for line in ("bDescriptorSubtype    1 (HEADER)", "wTotalLength          0x0009",
                 "baInterfaceNr(1)      1"):
        check(line in devices, f"devices has no {line!r}")
    # Events in bus order, each direction on its own; the data of an OUT the device NAKed
    # delivers nothing (USB 2.0 8.5.1) and is left out.
    theirs = {"in": [], "out": []}
    token = None
    for row, after in zip(rows, rows[1:] + [rows[-1]]):
        if row["usbll.pid"] in ("0x69", "0xe1"):  # IN, OUT
            token = row["usbll.pid"]
        if not row["usbaudio.midi.event"] or after["usbll.pid"] == "0x5a":
            continue
        direction = "in" if token == "0x69" else "out"
        cins = row["usbaudio.midi.code_index"].split(";")
        for cin, event in zip(cins, row["usbaudio.midi.event"].split(";")):
            theirs[direction].append(midi_event_start(int(cin, 0), bytes.fromhex(event)))
    ours = {"in": [], "out": []}
    for line in run([cli, "transfers", capture]).splitlines():
        columns = line.split("\t")
        if len(columns) < 9 or columns[2] != "bulk" or "; " not in columns[8]:
            continue
        text = columns[8].split("; ", 1)[1]
        for event in text.split(" | "):
            event = event.split(" (")[0] if event.endswith(" events)") else event
            if not event.endswith("empty packet") and "left over" not in event:
                ours[columns[5]].append(event)
    for direction in ("in", "out"):
        n = min(len(theirs[direction]), len(ours[direction]))
        mismatched = [(a, b) for a, b in zip(theirs[direction][:n], ours[direction][:n])
                      if not b.startswith(a)]
        check(n > 40 and not mismatched and abs(len(theirs[direction]) - len(ours[direction])) < 8,
              f"MIDI {direction}: tshark {len(theirs[direction])} events, ours "
              f"{len(ours[direction])}; first differences {mismatched[:3]}")


def main():
    if len(sys.argv) != 5 or sys.argv[4] not in CASES:
        sys.exit(__doc__)
    cli, emulator, work, case = sys.argv[1:5]
    tshark = find_tshark()
    if tshark is None:
        return 77
    emulator_args, speed, devices = CASES[case]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    capture = os.path.join(work, "recording.dat")
    emulator_recording.acquire(cli, emulator, work, ["--seed", "3", *emulator_args], capture)
    pcap = os.path.join(work, "recording.pcap")
    run([cli, "export", capture, pcap, "--speed", speed])
    behind_hub = speed == "full" and any(d in ("mouse", "keyboard") for d in devices)
    decoded = pcap
    if behind_hub:
        decoded = os.path.join(work, "without-preambles.pcap")
        without_preambles(pcap, decoded)

    # Random payloads must not be taken for other protocols by heuristic dissectors.
    args = [tshark, "-r", decoded, "-o", "usb.try_heuristics:FALSE", "-T", "fields", "-E",
            "occurrence=a", "-E", "aggregator=;"]
    for f in FIELDS:
        args += ["-e", f]
    rows = [dict(zip(FIELDS, line.split("\t"))) for line in run(args).splitlines()]
    check(len(rows) > 1000, f"only {len(rows)} packets")

    # Nothing malformed, no error, no bad CRC; the last packet may be cut by the memory's end.
    for row in rows[:-1]:
        severities = [int(s, 0) for s in row["_ws.expert.severity"].split(";") if s]
        if row["_ws.malformed"] or any(s >= EXPERT_ERROR for s in severities) or \
                "0" in (row["usbll.crc5.status"], row["usbll.crc16.status"]):
            check(False, f"frame {row['frame.number']}: {row['_ws.expert.message']}")

    def values(field):
        return [v for row in rows for v in row[field].split(";") if v]

    # Descriptors: each device's, in the order the devices enumerate.
    products = []
    for p in values("usb.idProduct"):
        if not products or products[-1] != p:
            products.append(p)
    check(products == [PROFILES[d]["product"] for d in devices],
          f"idProduct {products}, want {[PROFILES[d]['product'] for d in devices]}")
    vendors = {PROFILES[d].get("vendor", "0x1209") for d in devices}
    check(set(values("usb.idVendor")) == vendors, f"idVendor {set(values('usb.idVendor'))}")
    configurations = [row for row in rows if ";" in row["usb.bLength"] and row["usb.wTotalLength"]]
    check(len(configurations) == len(devices),
          f"{len(configurations)} whole configuration descriptors for {len(devices)} devices")
    for row, device in zip(configurations, devices):
        want = PROFILES[device]
        lengths = [int(v) for v in row["usb.bLength"].split(";")]
        check(sum(lengths) == int(row["usb.wTotalLength"]),
              f"{device}: wTotalLength {row['usb.wTotalLength']}, descriptors {lengths}")
        classes = row["usb.bInterfaceClass"].split(";")
        check(classes == want["classes"], f"{device}: interface classes {classes}")
        check(int(row["usb.bNumInterfaces"]) == len(classes),
              f"{device}: bNumInterfaces {row['usb.bNumInterfaces']}")
        endpoints = [e for e in row["usb.bEndpointAddress"].split(";") if e]
        check(endpoints == want["endpoints"], f"{device}: endpoints {endpoints}")
        sizes = [e for e in row["usb.wMaxPacketSize"].split(";") if e]
        check(sizes == want["sizes"], f"{device}: wMaxPacketSize {sizes}")
        if "report_length" in want:
            check(row["usbhid.descriptor.hid.wDescriptorLength"] == str(want["report_length"]),
                  f"{device}: HID wDescriptorLength {row['usbhid.descriptor.hid.wDescriptorLength']}")
    strings = sorted(values("usb.bString"))
    want_strings = sorted(s for d in devices for s in PROFILES[d]["strings"])
    check(strings == want_strings, f"strings {strings}, want {want_strings}")

    hid_requests = set(values("usbhid.setup.bRequest"))
    reports = values("usbhid.data")
    if "mouse" in devices or "keyboard" in devices:
        check("0x0a" in hid_requests, "no SET_IDLE")
        # The report descriptor as tshark parsed it: its items add up to wDescriptorLength.
        item_rows = [row for row in rows if row["usbhid.item.bSize"]]
        lengths = sorted(sum(1 + (4 if int(s, 0) == 3 else int(s, 0))
                             for s in row["usbhid.item.bSize"].split(";")) for row in item_rows)
        check(lengths == sorted(PROFILES[d]["report_length"] for d in devices
                                if "report_length" in PROFILES[d]),
              f"report descriptors of {lengths} bytes")
    if "mouse" in devices:
        moves = [r for r in reports if len(r) == 6 and r[2:] != "0000"]
        check(len(moves) > 20, f"{len(moves)} mouse moves")
    if "keyboard" in devices:
        check("0x09" in hid_requests, "no SET_REPORT")
        keys = [r for r in reports if len(r) == 16]
        text = ""
        for r in keys:
            modifier, usage = int(r[0:2], 16), int(r[4:6], 16)
            if usage:
                c = KEYS.get(usage, "?")
                text += ("!" if c == "1" else c.upper()) if modifier == 0x02 else c
        lines = text.splitlines(keepends=True)
        check(len(lines) > 3 and all(line in TYPED for line in lines[:-1]),
              f"typed {lines[:5]}")
    if "serial" in devices:
        requests = set(values("usbcom.control.request_code"))
        check({"0x20", "0x21", "0x22"} <= requests, f"CDC requests {requests}")
        codings = set(values("usbcom.control.payload"))
        check(codings == {"00c20100000008"}, f"line coding {codings}")
        rate = int.from_bytes(bytes.fromhex("00c20100"), "little")
        check(rate == 115200, "line coding rate")
        check(set(values("usbcom.descriptor.subtype")) == {"0x00", "0x01", "0x02", "0x06"},
              f"CDC functional descriptors {values('usbcom.descriptor.subtype')}")
    if "disk" in devices:
        check(values("usbms.setup.bRequest") == ["0xfe"], "GET_MAX_LUN")
        check(len(values("usbms.dCBWSignature")) > 20, "command wrappers")
        opcodes = set(values("scsi_sbc.opcode"))
        check({"0x00", "0x03", "0x12", "0x25", "0x28", "0x2a"} <= opcodes, f"SCSI {opcodes}")
        check(values("usbms.dCSWStatus").count("0x01") == 1, "one failed command")
        check(values("scsi.sns.key") == ["0x05"] and values("scsi.sns.asc") == ["0x21"],
              "sense data: illegal request, LBA out of range")
    if "dfu" in devices:
        check(values("usbdfu.descriptor.wTransferSize") == ["256"] and
              values("usbdfu.descriptor.bcdDFUVersion") == ["0x0110"] and
              values("usbdfu.descriptor.bmAttributes.CanUpload") == ["1"],
              "DFU functional descriptor")
        # The class requests as tshark frames them (setup, then the answer's bytes), read by
        # DFU 1.1, against the decoding of `vintrace-cli transfers`.
        wanted = []
        asked = None
        for row in rows:
            if row["usb.bmRequestType"] in ("0x21", "0xa1"):
                request, value = int(row["usb.setup.bRequest"]), int(row["usb.setup.wValue"], 0)
                length = int(row["usb.setup.wLength"])
                if row["usb.bmRequestType"] == "0xa1":
                    asked = (request, value, length)
                    continue
                # A block's size is its wLength: tshark 4.0 ends the data it gathers early
                # when a data-stage OUT is NAKed and sent again (USB 2.0 8.5.1).
                wanted.append({0: f"DFU_DETACH timeout {value} ms",
                               1: f"DFU_DNLOAD block {value}, {length} bytes" +
                                  (" (end of image)" if length == 0 else ""),
                               4: "DFU_CLRSTATUS", 6: "DFU_ABORT"}.get(request, f"? {request}"))
            elif asked and row["usb.control.Response"]:
                request, value, length = asked
                data = bytes.fromhex(row["usb.control.Response"])
                if request == 3:
                    wanted.append(f"DFU_GETSTATUS {DFU_STATUS[data[0]]}, {DFU_STATE[data[4]]}, "
                                  f"poll {int.from_bytes(data[1:4], 'little')} ms")
                elif request == 2:
                    wanted.append(f"DFU_UPLOAD block {value}, {len(data)} bytes" +
                                  (" (end of image)" if len(data) < length else ""))
                elif request == 5:
                    wanted.append(f"DFU_GETSTATE {DFU_STATE[data[0]]}")
                asked = None
        lines = run([cli, "transfers", capture]).splitlines()
        decoded_dfu = [line.split("; ")[-1] for line in lines if "; DFU_" in line]
        # The last request may be cut by the recording's end.
        n = min(len(wanted), len(decoded_dfu)) - 1
        check(n > 40, f"only {n} DFU requests")
        check(wanted[:n] == decoded_dfu[:n],
              f"DFU requests differ: {[(a, b) for a, b in zip(wanted, decoded_dfu) if a != b][:3]}")
    if "ftdi" in devices:
        check_ftdi(cli, capture, rows, values)
    if "midi" in devices:
        check_midi(cli, capture, rows, values)
    if devices == ["serial"]:
        text = b"".join(bytes.fromhex(v) for v in values("usb.capdata"))
        check(len(text) > 1000 and all(b in b"\r\n" or 0x20 <= b < 0x7F for b in text),
              "serial data is not printable text")

    # What Vintrace decodes from the same pcap (imported back) against tshark: the control
    # transfers, and each device's descriptors and strings.
    here = os.path.dirname(os.path.abspath(__file__))
    for script in ("tshark_transfers.py", "tshark_devices.py"):
        result = subprocess.run([sys.executable, os.path.join(here, script), cli, decoded,
                                 os.path.join(work, script[:-3])],
                                capture_output=True, text=True)
        check(result.returncode == 0,
              f"{script}: {result.stdout[-2000:]}{result.stderr[-2000:]}")

    for f in failures[:30]:
        print(f)
    if failures:
        print(f"{len(failures)} problems")
        return 1
    print(f"{case}: {len(rows)} packets agree")
    return 0


if __name__ == "__main__":
    sys.exit(main())
