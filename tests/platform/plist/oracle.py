#!/usr/bin/env python3
"""Python's plistlib as an independent oracle for the property-list codecs.

Values travel in a typed JSON form that both sides compute:
  ["str", s]  ["int", "decimal"]  ["real", "16 hex digits of the IEEE bits" | "nan"]
  ["bool", b]  ["date", "microseconds since 2001-01-01"]  ["data", "hex"]
  ["array", [...]]  ["dict", [[key, value], ...]]  (keys ascending)

  oracle.py check DIR   every DIR/NAME.bin and DIR/NAME.xml must load to DIR/NAME.json
  oracle.py write DIR   writes every DIR/NAME.json as DIR/NAME.py.bin and DIR/NAME.py.xml
                        (the latter only when NAME.json says "xml": true)
"""
import datetime
import json
import math
import pathlib
import plistlib
import struct
import sys

REFERENCE = datetime.datetime(2001, 1, 1)


def canonical(v):
    if isinstance(v, bool):
        return ["bool", v]
    if isinstance(v, int):
        return ["int", str(v)]
    if isinstance(v, float):
        return ["real", "nan" if math.isnan(v) else struct.pack(">d", v).hex()]
    if isinstance(v, str):
        return ["str", v]
    if isinstance(v, bytes):
        return ["data", v.hex()]
    if isinstance(v, datetime.datetime):
        return ["date", str((v - REFERENCE) // datetime.timedelta(microseconds=1))]
    if isinstance(v, list):
        return ["array", [canonical(x) for x in v]]
    if isinstance(v, dict):
        return ["dict", [[k, canonical(v[k])] for k in sorted(v)]]
    raise TypeError(type(v))


def build(c):
    kind, x = c
    if kind == "bool":
        return x
    if kind == "int":
        return int(x)
    if kind == "real":
        return math.nan if x == "nan" else struct.unpack(">d", bytes.fromhex(x))[0]
    if kind == "str":
        return x
    if kind == "data":
        return bytes.fromhex(x)
    if kind == "date":
        return REFERENCE + datetime.timedelta(microseconds=int(x))
    if kind == "array":
        return [build(y) for y in x]
    if kind == "dict":
        return {k: build(y) for k, y in x}
    raise ValueError(kind)


def check(folder):
    failures = 0
    for case_file in sorted(folder.glob("*.json")):
        expected = json.loads(case_file.read_text(encoding="utf-8"))["value"]
        for suffix in (".bin", ".xml"):
            path = case_file.with_suffix(suffix)
            if not path.exists():
                continue
            try:
                got = canonical(plistlib.loads(path.read_bytes()))
            except Exception as e:  # report every file, not only the first
                got = "plistlib failed: %r" % e
            if got != expected:
                failures += 1
                print("%s: plistlib read %s\n  expected %s" % (path.name, got, expected))
    return failures


def write(folder):
    for case_file in sorted(folder.glob("*.json")):
        case = json.loads(case_file.read_text(encoding="utf-8"))
        value = build(case["value"])
        stem = case_file.with_suffix("")
        pathlib.Path(str(stem) + ".py.bin").write_bytes(
            plistlib.dumps(value, fmt=plistlib.FMT_BINARY))
        if case["xml"]:
            pathlib.Path(str(stem) + ".py.xml").write_bytes(plistlib.dumps(value))
    return 0


if __name__ == "__main__":
    command, folder = sys.argv[1], pathlib.Path(sys.argv[2])
    sys.exit(1 if (check(folder) if command == "check" else write(folder)) else 0)
