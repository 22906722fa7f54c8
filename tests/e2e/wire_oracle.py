#!/usr/bin/env python3
"""Wire oracle: tshark's EtherCAT dissector judges the frames the master put on the wire.

    wire_oracle.py steps          prints the link_probe steps, one per line
    wire_oracle.py check FILE     checks a capture of those steps (pcap, master side)

Each step is one exchange in a fresh link_probe, so step k goes out from slot k and
carries index k. For every step the capture must hold the request as the datagram
layout demands (and nothing else with its index from the master: a resend is the same
frame again) and the segment's reply: same layout, working counter raised, position
address raised by every slave for position commands, source address with bit 1 of the
first byte set. Three slaves serve.
"""
import struct
import subprocess
import sys

SLAVES = 3
MASTER_MAC = "01:01:01:01:01:01"
RETURNED_MAC = "03:01:01:01:01:01"

# (probe step, command name, code, adp, ado, request data, expected wkc, reply data or None)
STEPS = [
    ("BRD:0:0x0000:2", "BRD", 7, 0x0000, 0x0000, bytes(2), SLAVES, bytes([0x11, 0x02])),
    ("APWR:0x0000:0x0010:0110", "APWR", 2, 0x0000, 0x0010, bytes([0x01, 0x10]), 1, None),
    ("APWR:0xffff:0x0010:0210", "APWR", 2, 0xFFFF, 0x0010, bytes([0x02, 0x10]), 1, None),
    ("APWR:0xfffe:0x0010:0310", "APWR", 2, 0xFFFE, 0x0010, bytes([0x03, 0x10]), 1, None),
    ("APRD:0xffff:0x0010:2", "APRD", 1, 0xFFFF, 0x0010, bytes(2), 1, bytes([0x02, 0x10])),
    ("FPRD:0x1001:0x0130:2", "FPRD", 4, 0x1001, 0x0130, bytes(2), 1, bytes([0x01, 0x00])),
    ("FPWR:0x1002:0x1800:a1b2c3", "FPWR", 5, 0x1002, 0x1800, bytes([0xA1, 0xB2, 0xC3]), 1, None),
    ("BWR:0:0x1900:5a", "BWR", 8, 0x0000, 0x1900, bytes([0x5A]), SLAVES, None),
    ("BRD:0:0x0000:0", "BRD", 7, 0x0000, 0x0000, b"", SLAVES, b""),
    ("FPRD:0x1002:0x1800:3", "FPRD", 4, 0x1002, 0x1800, bytes(3), 1, bytes([0xA1, 0xB2, 0xC3])),
    ("FPWR:0x1003:0x1800:", "FPWR", 5, 0x1003, 0x1800, b"", 1, None),
    ("APRD:0xfffe:0x1900:1", "APRD", 1, 0xFFFE, 0x1900, bytes(1), 1, bytes([0x5A])),
]

FIELDS = ["frame.number", "frame.len", "eth.src", "eth.dst", "eth.type", "ecatf.length", "ecatf.reserved",
          "ecatf.type", "ecat.cmd", "ecat.idx", "ecat.adp", "ecat.ado", "ecat.subframe.length",
          "ecat.subframe.reserved", "ecat.subframe.circulating", "ecat.subframe.more", "ecat.int", "ecat.cnt"]

POSITION_COMMANDS = {1, 2, 3, 13}


def read_pcap(path):
    """Raw bytes of every frame of a classic pcap file, in order."""
    with open(path, "rb") as f:
        blob = f.read()
    magic = struct.unpack_from("<I", blob, 0)[0]
    endian = "<" if magic in (0xA1B2C3D4, 0xA1B23C4D) else ">"
    frames, at = [], 24
    while at + 16 <= len(blob):
        _, _, captured, _ = struct.unpack_from(endian + "IIII", blob, at)
        at += 16
        frames.append(blob[at:at + captured])
        at += captured
    return frames


def dissect(path):
    out = subprocess.run(["tshark", "-n", "-r", path, "-T", "fields", "-E", "separator=\t", "-E", "occurrence=f"]
                         + sum((["-e", f] for f in FIELDS), []), capture_output=True, text=True, check=True).stdout
    rows = []
    for line in out.splitlines():
        values = line.split("\t")
        rows.append(dict(zip(FIELDS, values + [""] * (len(FIELDS) - len(values)))))
    return rows


def number(text):
    return int(text, 0) if text else None


def check(path):
    rows = dissect(path)
    raw = read_pcap(path)
    if len(rows) != len(raw):
        return ["tshark saw %d frames, the file holds %d" % (len(rows), len(raw))]
    problems = []
    for k, (step, name, code, adp, ado, data, wkc, reply_data) in enumerate(STEPS, start=1):
        index = k % 16
        mine = [(row, raw[i]) for i, row in enumerate(rows)
                if row["eth.type"] == "0x88a4" and number(row["ecat.idx"]) == index]
        requests = [m for m in mine if m[0]["eth.src"] == MASTER_MAC]
        replies = [m for m in mine if m[0]["eth.src"] != MASTER_MAC]
        where = "step %d (%s)" % (k, step)
        if not requests:
            problems.append("%s: no request on the wire" % where)
            continue
        if not replies:
            problems.append("%s: no reply on the wire" % where)
        expected_len = 28 + len(data)
        for row, frame in requests + replies:
            is_reply = row["eth.src"] != MASTER_MAC
            kind = "%s %s #%s" % (where, "reply" if is_reply else "request", row["frame.number"])
            want = {
                "frame.len": expected_len,
                "eth.dst": "ff:ff:ff:ff:ff:ff",
                "ecatf.length": 12 + len(data),
                "ecatf.reserved": 0,
                "ecatf.type": 1,
                "ecat.cmd": code,
                "ecat.idx": index,
                "ecat.adp": (adp + SLAVES) & 0xFFFF if is_reply and code in POSITION_COMMANDS else adp,
                "ecat.ado": ado,
                "ecat.subframe.length": len(data),
                "ecat.subframe.reserved": 0,
                "ecat.subframe.circulating": 0,
                "ecat.subframe.more": 0,
                "ecat.int": 0,
                "ecat.cnt": wkc if is_reply else 0,
            }
            for field, value in want.items():
                seen = row[field] if field == "eth.dst" else number(row[field])
                if seen != value:
                    problems.append("%s: %s is %r, the layout demands %r" % (kind, field, row[field], value))
            if is_reply and row["eth.src"] != RETURNED_MAC:
                problems.append("%s: source %s, a returned frame carries %s" % (kind, row["eth.src"], RETURNED_MAC))
            # The raw bytes behind the dissector's view: no padding, the data as laid.
            if len(frame) != expected_len:
                problems.append("%s: %d bytes on the wire, not %d" % (kind, len(frame), expected_len))
            body = frame[26:26 + len(data)]
            expected_body = (reply_data if reply_data is not None else data) if is_reply else data
            if body != expected_body:
                problems.append("%s: data %s, expected %s" % (kind, body.hex(), expected_body.hex()))
        first = requests[0][1]
        for row, frame in requests[1:]:
            if frame != first:
                problems.append("%s: a resend differs from the first send" % where)
    stray = [r for r in rows if r["eth.src"] == MASTER_MAC and number(r["ecat.idx"]) not in
             {k % 16 for k in range(1, len(STEPS) + 1)}]
    for row in stray:
        problems.append("frame %s: the master sent index %s, which no step used" % (row["frame.number"],
                                                                                   row["ecat.idx"]))
    return problems


def main():
    if len(sys.argv) == 2 and sys.argv[1] == "steps":
        for step in STEPS:
            print(step[0])
        return 0
    if len(sys.argv) == 3 and sys.argv[1] == "check":
        problems = check(sys.argv[2])
        for p in problems:
            print("wire oracle: " + p)
        if not problems:
            print("wire oracle: %d exchanges as the layout demands" % len(STEPS))
        return 1 if problems else 0
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main())
