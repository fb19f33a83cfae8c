#!/usr/bin/python3
"""Writes write-ahead-log files for the scan tests, independently of the C++
encoder: frames are struct-packed u64 little-endian lengths followed by
compact JSON from Python's json module.

usage: make_wal_cases.py <output directory>
"""
import json
import os
import struct
import sys


def payload(record):
    return json.dumps(record, separators=(",", ":"), ensure_ascii=False).encode("utf-8")


def frame(body):
    return struct.pack("<Q", len(body)) + body


BEGIN = payload({"Begin": {"tx_id": 7, "timestamp": 41}})
COMMIT = payload({"Commit": {"tx_id": 7, "timestamp": 42}})
ABORT = payload({"Abort": {"tx_id": 8}})
CHECKPOINT = payload({"Checkpoint": {"timestamp": 9, "active_transactions": [3, 4]}})
GOOD = [frame(BEGIN), frame(COMMIT), frame(ABORT)]

CASES = {
    "empty": b"",
    "five_bytes": b"\x01\x02\x03\x04\x05",
    "two_then_length_past_end": GOOD[0] + GOOD[1] + struct.pack("<Q", 1000) + b'{"Abort"',
    "length_all_ones": GOOD[0] + struct.pack("<Q", 2**64 - 1) + b"{}",
    "zero_length_at_end": GOOD[0] + struct.pack("<Q", 0),
    "trailing_space": frame(BEGIN + b" \t\r\n") + GOOD[1],
    "trailing_x_at_end": GOOD[0] + frame(COMMIT + b"x"),
    "torn_batch": GOOD[0] + GOOD[1] + GOOD[2][: len(GOOD[2]) - 3],
    "partial_length_word": GOOD[0] + GOOD[1] + b"\x10\x00\x00",
    "checkpoint": frame(CHECKPOINT),
    # Damage in the middle: whole, decodable frames follow the bad one.
    "garbage_frame_then_good": GOOD[0] + frame(b'{"Nope":{}}') + GOOD[1] + GOOD[2],
    "bad_length_then_good": GOOD[0] + struct.pack("<Q", 2**40) + GOOD[1][8:] + GOOD[2],
    "zero_length_then_good": GOOD[0] + struct.pack("<Q", 0) + GOOD[1],
}


NODE_ID = "a0000000-0000-0000-0000-000000000001"
NODE = {"id": NODE_ID, "label": "Person", "properties": {"name": "Anné"}, "kind": "Individual"}
NODE2 = {"id": NODE_ID, "label": "Person", "properties": {"age": 41}, "kind": "Class"}
EDGE_ID = "a0000000-0000-0000-0000-0000000003e9"
EDGE = {"id": EDGE_ID, "source": NODE_ID, "target": "a0000000-0000-0000-0000-000000000002",
        "edge_type": "KNOWS", "properties": {"since": 1.5}}
# One record of every variant, in variant order (the C++ test builds the same).
EXAMPLES = [
    {"Begin": {"tx_id": 7, "timestamp": 41}},
    {"InsertNode": {"tx_id": 7, "node": NODE}},
    {"UpdateNode": {"tx_id": 7, "node_id": NODE_ID, "old_node": NODE, "new_node": NODE2}},
    {"DeleteNode": {"tx_id": 7, "node_id": NODE_ID, "node": NODE}},
    {"InsertEdge": {"tx_id": 7, "edge": EDGE}},
    {"DeleteEdge": {"tx_id": 7, "edge_id": EDGE_ID, "edge": EDGE}},
    {"Commit": {"tx_id": 7, "timestamp": 18446744073709551615}},
    {"Abort": {"tx_id": 7}},
    {"Checkpoint": {"timestamp": 9, "active_transactions": [3, 4]}},
]


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, data in CASES.items():
        with open(os.path.join(out, name + ".wal"), "wb") as f:
            f.write(data)
    with open(os.path.join(out, "examples.wal"), "wb") as f:
        for record in EXAMPLES:
            f.write(frame(payload(record)))
    # Frame sizes, for the expected valid ends.
    with open(os.path.join(out, "sizes.txt"), "w") as f:
        for i, g in enumerate(GOOD):
            f.write("%d\n" % len(g))


if __name__ == "__main__":
    main()
