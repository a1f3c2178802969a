#!/usr/bin/env python3
"""Writes the seed buffers of the fml32 fuzz target (corpus/fml32/*): FML32
buffers in the stand-in's layout (header magic, size, used, last; records of
id, length, value padded to 8), shaped like MIB replies, with the field
numbers of tuxsim/fields/tpadm. Run it again when the field table changes."""
import os
import struct
import sys

MAGIC = 0x46424633
TYPES = {"short": 0, "long": 1, "char": 2, "float": 3, "double": 4, "string": 5, "carray": 6}
HERE = os.path.dirname(os.path.abspath(__file__))


def field_table(path):
    """Name -> (type, number) of every field in a field table."""
    fields, base = {}, 0
    with open(path) as f:
        for line in f:
            words = line.split()
            if not words or words[0][0] in "#$":
                continue
            if words[0] == "*base":
                base = int(words[1])
            elif len(words) >= 3 and words[2] in TYPES:
                fields.setdefault(words[0], (TYPES[words[2]], base + int(words[1])))
    return fields


FIELDS = field_table(os.path.join(HERE, "..", "tuxsim", "fields", "tpadm"))


def buffer(items):
    records = []
    for name, value in sorted(items, key=lambda kv: (FIELDS[kv[0]][0] << 25) | FIELDS[kv[0]][1]):
        ftype, num = FIELDS[name]
        raw = struct.pack("<q", value) if ftype == TYPES["long"] else value.encode() + b"\0"
        rec = struct.pack("<II", (ftype << 25) | num, len(raw)) + raw
        records.append(rec + b"\0" * (-len(rec) % 8))
    body, last, off = b"", 0, 16
    for rec in records:
        last, off, body = off, off + len(rec), body + rec
    return struct.pack("<IIII", MAGIC, off, off, last) + body


SEEDS = {
    "empty": [],
    "clients": [("TA_OCCURS", 2), ("TA_MORE", 0), ("TA_CLASS", "T_CLIENT"), ("TA_CURSOR", "c1"),
                ("TA_CLIENTID", "C1"), ("TA_CLIENTID", "C2"), ("TA_STATE", "ACT"), ("TA_STATE", "IDL"),
                ("TA_PID", 4242), ("TA_PID", -1), ("TA_NUMTRAN", 9), ("TA_LMID", "SITE1")],
    "queues": [("TA_OCCURS", 3), ("TA_APPQNAME", "Q1"), ("TA_APPQNAME", "Q2"), ("TA_APPQNAME", "Q3"),
               ("TA_APPQSPACENAME", "QSPACE1"), ("TA_CURMSG", 2**40), ("TA_CURMSG", -5),
               ("TA_LMID", "SITE1"), ("TA_SRVGRP", "\x01\x7f\\")],
    "error": [("TA_ERROR", -4), ("TA_OCCURS", 1 << 62)],
}

out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "corpus", "fml32")
os.makedirs(out, exist_ok=True)
for name, items in SEEDS.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(buffer(items))
