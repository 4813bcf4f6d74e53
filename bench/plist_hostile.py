#!/usr/bin/env python3
"""Writes hostile property lists for measuring the readers' and writers' bounds by hand.

    bench/plist_hostile.py OUTDIR

The files are large (up to 200 MB) and are not checked in. Run kbeplist on them under a
memory and time guard, for example:

    (ulimit -v 4000000; timeout 180 /usr/bin/time -f '%e %M' build/tools/kbeplist/kbeplist -lint F)
"""

import os
import struct
import sys


def attributes(count):
    attrs = " ".join(f'a{i}="x"' for i in range(count))
    return f'<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0">\n<array {attrs}/>\n</plist>\n'.encode()


def binary(objects, offsets, top=0, offset_size=None, ref_size=1):
    """A binary property list of the given object bytes, offset table entries and top."""
    body = b"bplist00" + b"".join(objects)
    table_offset = len(body)
    if offset_size is None:
        offset_size = 1 if table_offset < 256 else 4
    table = b"".join(o.to_bytes(offset_size, "big") for o in offsets)
    trailer = struct.pack(">6xBBQQQ", offset_size, ref_size, len(offsets), top, table_offset)
    return body + table + trailer


def many_offsets(count):
    # One boolean and `count` one-byte offset-table entries all pointing at it.
    body = b"bplist00\x09"
    trailer = struct.pack(">6xBBQQQ", 1, 1, count, 0, len(body))
    return body + b"\x08" * count + trailer


def count_bytes(n):
    if n < 15:
        return b""
    return b"\x13" + n.to_bytes(8, "big")


def marker(kind, n):
    return bytes([kind << 4 | min(n, 15)]) + count_bytes(n)


def shared_nested_data(depth=500, references=31, size=1 << 20):
    # Object 0 is the data; objects 1..depth are arrays, the innermost holding
    # `references` references to the data, each other holding the next inner array.
    objects = [marker(4, size) + b"\x00" * size]
    objects.append(marker(0xA, references) + b"".join(i.to_bytes(2, "big") for i in [0] * references))
    for k in range(2, depth + 1):
        objects.append(marker(0xA, 1) + (k - 1).to_bytes(2, "big"))
    offsets, at = [], 8
    for o in objects:
        offsets.append(at)
        at += len(o)
    return binary(objects, offsets, top=depth, offset_size=4, ref_size=2)


def shared_control_string(size=1 << 20, references=31):
    objects = [marker(5, size) + b"\x01" * size,
               marker(0xA, references) + bytes(references)]
    offsets = [8, 8 + len(objects[0])]
    return binary(objects, offsets, top=1, offset_size=4)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    files = {f"attributes-{n // 1000}k.plist": lambda n=n: attributes(n)
             for n in (10000, 20000, 40000, 80000, 200000)}
    files["offsets-20M.plist"] = lambda: many_offsets(20_000_000)
    files["offsets-200M.plist"] = lambda: many_offsets(200_000_000)
    files["shared-data.plist"] = shared_nested_data
    files["shared-control-string.plist"] = shared_control_string
    files["brackets-20M.json"] = lambda: b"[" * 20_000_000
    files["brackets-200M.json"] = lambda: b"[" * 200_000_000
    for name, make in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(make())


if __name__ == "__main__":
    main()
