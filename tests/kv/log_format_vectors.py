#!/usr/bin/python3
"""Independent reference for the Kelm log formats, built only on zlib and struct.

Prints one vector per line: "<name> <hex bytes>". log_format_test.cc runs this
script and checks every line against the C++ encoders, so the byte tables in
the test and this script must agree with each other and with the code.
"""
import struct
import zlib

XOR = 0x7FFF_FFFF_FFFF_FFFF


def varint(v):
    if v <= 240:
        return bytes([v])
    if v <= 2287:
        return bytes([(v - 240) // 256 + 241, (v - 240) % 256])
    if v <= 67823:
        return bytes([249]) + struct.pack(">H", v - 2288)
    for n, first in ((3, 250), (4, 251), (5, 252), (6, 253), (7, 254), (8, 255)):
        if v < 1 << (8 * n):
            return bytes([first]) + v.to_bytes(n, "little")
    raise ValueError(v)


def message(kind, seg, pid, body):
    tail = bytes([kind]) + varint(len(body)) + varint(seg) + varint(pid)
    crc = ~zlib.crc32(body + tail) & 0xFFFFFFFF
    return struct.pack("<I", crc) + tail + body


def segment_header(lsn, max_stable):
    tail = struct.pack("<qq", lsn ^ XOR, max_stable ^ XOR)
    return struct.pack("<I", ~zlib.crc32(tail) & 0xFFFFFFFF) + tail


def blob_file(kind, data):
    return struct.pack("<I", zlib.crc32(bytes([kind]) + data)) + bytes([kind]) + data


def cap(r, seg):
    tail = bytes([2]) + varint(r - 32) + varint(seg) + varint(2**64 - 1)
    rest = bytes(r - 4 - len(tail))
    crc = ~zlib.crc32(rest[: r - 32] + tail) & 0xFFFFFFFF
    return struct.pack("<I", crc) + tail + rest


def snapshot_file(body):
    return body + struct.pack("<QI", len(body), zlib.crc32(body))


def snap_body_example():
    # stable_lsn 0x1000, no active segment, one Present page with base
    # (lsn 20, Inline(20), size 40) and no frags.
    return struct.pack("<q", 0x1000 + 1) + varint(0) + bytes([1]) + struct.pack("<q", 20) + bytes([0]) + varint(20) + varint(40)


VECTORS = {
    "free_pid5_seg3": message(4, 3, 5, b""),
    "canceled_12": message(1, 0, 9, b"\x01\x02\x03\x04"),
    "manifest": message(3, 1, 2**64 - 667, struct.pack("<q", 5000)),
    "node_inline": message(8, 2, 77, bytes(range(40))),
    "segheader_0_m1": segment_header(0, -1),
    "segheader_8192_4000": segment_header(8192, 4000),
    "blob_kind9_0102": blob_file(9, b"\x01\x02"),
    "blob_kind9_empty": blob_file(9, b""),
    "cap_40_seg7": cap(40, 7),
    "snapshot_example": snapshot_file(snap_body_example()),
}

if __name__ == "__main__":
    for name, data in VECTORS.items():
        print(name, data.hex())
