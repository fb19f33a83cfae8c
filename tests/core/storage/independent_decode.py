"""Checks our encoders against independent decoders.

Usage: independent_decode.py <dir>

<dir>/records.msgpack  a sequence of 4-byte big-endian lengths, each followed
                       by one MessagePack value written by our encoders;
<dir>/records.expect   one description per line of what each value must
                       decode to (see `build` below);
<dir>/wal.jsonl        one JSON payload per line written by our JSON writer;
<dir>/wal.expect       one description per line for those payloads.

Descriptions are JSON built only from integers, null, booleans and hex text,
so they do not depend on the encoders under test:
  {"f": hex}    64-bit float bits      {"f32": hex}  32-bit float bits
  {"s": hex}    UTF-8 text              {"b": hex}    binary
  {"a": [...]}  array                   {"m": [[k, v], ...]} map, in order
Comparison is type-strict (1 is not 1.0) and compares floats bit for bit.
"""
import json
import struct
import sys

import msgpack


def build(d):
    if d is None or isinstance(d, bool) or isinstance(d, int):
        return d
    (tag, v), = d.items()
    if tag == "f":
        return struct.unpack(">d", bytes.fromhex(v))[0]
    if tag == "f32":
        return struct.unpack(">f", bytes.fromhex(v))[0]
    if tag == "s":
        return bytes.fromhex(v).decode("utf-8")
    if tag == "b":
        return bytes.fromhex(v)
    if tag == "a":
        return [build(x) for x in v]
    if tag == "m":
        return ("map", [[build(k), build(x)] for k, x in v])
    raise ValueError(tag)


def pairs(p):
    return ("map", [[k, v] for k, v in p])


def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack(">d", a) == struct.pack(">d", b)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def main(directory):
    failures = 0
    with open(f"{directory}/records.msgpack", "rb") as f:
        blob = f.read()
    with open(f"{directory}/records.expect") as f:
        expects = [json.loads(line) for line in f]
    pos = 0
    for i, d in enumerate(expects):
        (n,) = struct.unpack(">I", blob[pos:pos + 4])
        raw = blob[pos + 4:pos + 4 + n]
        pos += 4 + n
        got = msgpack.unpackb(raw, raw=False, strict_map_key=False, object_pairs_hook=pairs)
        if not same(got, build(d)):
            failures += 1
            if failures <= 5:
                print(f"msgpack record {i} differs:\n  got      {got!r}\n  expected {build(d)!r}")
    assert pos == len(blob), "trailing bytes in records.msgpack"
    msgpack_count = len(expects)

    with open(f"{directory}/wal.jsonl", encoding="utf-8") as f:
        payloads = f.read().split("\n")[:-1]
    with open(f"{directory}/wal.expect") as f:
        expects = [json.loads(line) for line in f]
    assert len(payloads) == len(expects)
    for i, (p, d) in enumerate(zip(payloads, expects)):
        got = json.loads(p, object_pairs_hook=pairs)
        if not same(got, build(d)):
            failures += 1
            if failures <= 5:
                print(f"json record {i} differs:\n  got      {got!r}\n  expected {build(d)!r}")
    print(f"checked {msgpack_count} MessagePack values and {len(payloads)} JSON payloads, {failures} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
