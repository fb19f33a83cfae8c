"""The Vantor C interface through ctypes: creation, exact search against numpy,
callbacks, result ownership, dump files byte by byte, reloads and the logger."""
import ctypes
import os
import struct
import subprocess
import sys

import numpy as np
import pytest

from vantor_c import CALLBACK, TYPES, init, insert_all, lib, libc, pointer_array, ptr, reload_call, search

F32 = np.float32


def brute(dist, q, rows):
    """The kernels' arithmetic in numpy: f32 sums in index order, exact counts."""
    rows = np.asarray(rows)
    if dist in ("DistL1", "DistL2"):
        acc = np.full(len(rows), -0.0, dtype=F32)
        for i in range(rows.shape[1]):
            d = F32(q[i]) - rows[:, i].astype(F32) if q.dtype != F32 else q[i] - rows[:, i]
            d = np.asarray(d, dtype=F32)
            acc = acc + (np.abs(d) if dist == "DistL1" else d * d)
        return acc if dist == "DistL1" else np.sqrt(acc)
    if dist == "DistHamming":
        return (rows != q).sum(axis=1).astype(F32) / F32(rows.shape[1])
    if dist == "DistJaccard":
        a, b = q.astype(np.uint64), rows.astype(np.uint64)
        smin, smax = np.minimum(a, b).sum(axis=1), np.maximum(a, b).sum(axis=1)
        out = 1.0 - smin.astype(np.float64) / np.where(smax == 0, 1, smax).astype(np.float64)
        return np.where(smax == 0, 0.0, out).astype(F32)
    if dist == "DistLevenshtein":
        def lev(a, b):
            row = list(range(len(b) + 1))
            for i, x in enumerate(a, 1):
                diag, row[0] = row[0], i
                for j, y in enumerate(b, 1):
                    diag, row[j] = row[j], min(diag + (x != y), row[j - 1] + 1, row[j] + 1)
            return row[-1]
        return np.array([lev(list(q), list(r)) for r in rows], dtype=F32)
    raise ValueError(dist)


CREATED = [("f32", d) for d in ("DistL1", "DistL2")] + \
          [("i32", d) for d in ("DistL1", "DistL2", "DistHamming")] + \
          [("u16", d) for d in ("DistL1", "DistL2", "DistHamming", "DistJaccard", "DistLevenshtein")] + \
          [(t, d) for t in ("u32", "u8") for d in ("DistL1", "DistL2", "DistHamming", "DistJaccard")]


def random_rows(t, n, dim, seed):
    rng = np.random.default_rng(seed)
    dtype = TYPES[t][1]
    if t == "f32":
        return rng.normal(size=(n, dim)).astype(dtype)
    hi = {"i32": 2**31 - 1, "u16": 2**16 - 1, "u32": 2**32 - 1, "u8": 255}[t]
    lo = -(2**31) if t == "i32" else 0
    return rng.integers(lo, hi, size=(n, dim), endpoint=True, dtype=np.int64).astype(dtype)


@pytest.mark.parametrize("t,dist", CREATED)
def test_exact_search_matches_numpy(t, dist):
    rows = random_rows(t, 200, 8, 1)
    if dist in ("DistHamming", "DistLevenshtein"):
        rows = rows % 3  # equal elements occur
    h = init(t, dist, m=8, ef=64)
    assert h
    insert_all(h, t, rows)
    for q in random_rows(t, 10, 8, 2) % (3 if dist in ("DistHamming", "DistLevenshtein") else 2**62):
        q = q.astype(TYPES[t][1])
        want = brute(dist, q, rows)
        ids, dists = search(h, t, q, 5, 400)
        assert np.array_equal(np.array(dists, dtype=F32), np.sort(want)[:5])
        assert np.array_equal(want[ids], np.array(dists, dtype=F32))
    lib.drop_hnsw_u16(h)


def test_creation_names_and_limits():
    assert init("f32", "DistL2")
    for t, name in [("f32", "distl2"), ("f32", "DistCosine"), ("i32", "DistJaccard"), ("u8", "DistLevenshtein")]:
        assert not init(t, name)
    assert init("u32", "DistJaccard") and init("u8", "DistJaccard") and init("u16", "DistLevenshtein")
    assert not lib.init_hnsw_f32(16, 200, 7, b"DistL1\0")
    assert not lib.init_hnsw_f32(16, 200, 0, b"DistL1")
    assert init("f32", "DistL2", m=256)
    assert not init("f32", "DistL2", m=257)  # refused, and this process goes on
    assert not lib.new_hnsw_f32(16, 200, 6, b"DistL2", 10, 0)
    h = lib.new_hnsw_u16(4, 20, 6, b"DistL1", 10, 40)
    rows = random_rows("u16", 11, 3, 3)
    insert_all(h, "u16", rows)  # more than the capacity hint
    assert len(search(h, "u16", rows[10], 20, 20)[0]) == 11
    lib.drop_hnsw_f32(h)


def test_results_are_c_heap_records_and_empty_arrays_are_null():
    h = init("f32", "DistL2")
    q = np.zeros(4, dtype=F32)
    assert search(h, "f32", q, 10, 10) == ([], [])
    rows = random_rows("f32", 3, 4, 4)
    insert_all(h, "f32", rows)
    ids, dists = search(h, "f32", q, 10, 10)
    assert sorted(ids) == [0, 1, 2] and dists == sorted(dists)
    # Parallel calls: one list per query in order, equal to single searches.
    qs = [rows[2], rows[0], rows[1]]
    p = lib.parallel_search_neighbours_f32(h, 3, 4, pointer_array(qs, "f32"), 1, 10)
    lists = p.contents
    assert lists.nb_lists == 3
    assert [lists.lists[i].neighbours[0].id for i in range(3)] == [2, 0, 1]
    for i in range(3):
        libc.free(ctypes.cast(lists.lists[i].neighbours, ctypes.c_void_p))
    libc.free(ctypes.cast(lists.lists, ctypes.c_void_p))
    libc.free(ctypes.cast(p, ctypes.c_void_p))
    empty = lib.parallel_search_neighbours_f32(h, 0, 4, None, 1, 10).contents
    assert empty.nb_lists == 0 and not empty.lists
    # A handle of another element type is refused, not misread.
    lib.insert_u8(h, 4, ptr(np.zeros(4, np.uint8), "u8"), 9)
    assert search(h, "u8", np.zeros(4, np.uint8), 5, 5) == ([], [])
    lib.drop_hnsw_f32(h)


def test_parallel_insert_and_search_equal_sequential():
    rows = random_rows("u8", 500, 16, 5)
    h = init("u8", "DistL2", m=12, ef=100)
    ids = (ctypes.c_size_t * 500)(*range(500))
    lib.parallel_insert_u8(h, 500, 16, pointer_array(list(rows), "u8"), ids)
    queries = list(random_rows("u8", 50, 16, 6))
    p = lib.parallel_search_neighbours_u8(h, 50, 16, pointer_array(queries, "u8"), 5, 50).contents
    for i, q in enumerate(queries):
        par = [p.lists[i].neighbours[k].id for k in range(p.lists[i].nb_neighbours)]
        assert par == search(h, "u8", q, 5, 50)[0]
    lib.drop_hnsw_u16(h)


def test_python_callbacks():
    seen = []

    def first_elem(a, b, n):
        seen.append((a[0], n))
        return abs(a[0] - b[0])

    cb = CALLBACK["i32"](first_elem)
    h = lib.init_hnsw_ptrdist_i32(8, 50, cb)
    insert_all(h, "i32", [np.array([i * 10, 0], np.int32) for i in range(30)])
    seen.clear()
    ids, dists = search(h, "i32", np.array([-7, 0], np.int32), 2, 30)
    assert ids == [0, 1] and dists == [7.0, 17.0]
    assert all(s == (-7, 2) for s in seen)  # the query first, with its length
    p = lib.parallel_search_neighbours_i32(h, 2, 2, pointer_array([np.array([95, 0], np.int32)] * 2, "i32"), 1, 30)
    assert p.contents.lists[1].neighbours[0].id in (9, 10)
    lib.drop_hnsw_f32(h)
    assert not lib.init_hnsw_ptrdist_u8(8, 50, CALLBACK["u8"]())  # NULL callback
    assert not lib.init_hnsw_ptrdist_u8(257, 50, CALLBACK["u8"](lambda a, b, n: 0.0))


def read_dump(base, elem_size):
    """Parses both dump files with struct; returns (header, points, entry, data records)."""
    g = open(base + ".hnsw.graph", "rb").read()
    magic, mode, m, scale, nb_layer, ef, nb_point, dim, alen = struct.unpack_from("<IBBdBQQQQ", g, 0)
    off = 47
    distname = g[off:off + alen].decode()
    (blen,) = struct.unpack_from("<Q", g, off + alen)
    type_name = g[off + alen + 8:off + alen + 8 + blen].decode()
    off += alen + 8 + blen
    header = dict(magic=magic, mode=mode, m=m, scale=scale, nb_layer=nb_layer, ef=ef, nb_point=nb_point, dim=dim,
                  distname=distname, type_name=type_name, size=off)
    (layers,) = struct.unpack_from("<B", g, off)
    off += 1
    points = []
    for layer in range(layers):
        lm, n = struct.unpack_from("<IQ", g, off)
        assert lm == 0x000A676F
        off += 12
        for r in range(n):
            pm, origin, pl, pr = struct.unpack_from("<IQBi", g, off)
            assert (pm, pl, pr) == (0x000A678F, layer, r)
            off += 17
            for _ in range(nb_layer):
                (c,) = struct.unpack_from("<Q", g, off)
                off += 8 + 17 * c
            points.append((origin, pl, pr))
    entry = struct.unpack_from("<QBi", g, off)
    assert off + 13 == len(g)  # the entry point record comes last
    d = open(base + ".hnsw.data", "rb").read()
    dm, ddim = struct.unpack_from("<IQ", d, 0)
    assert (dm, ddim) == (0xA67F0000, dim)
    records = []
    off = 12
    while off < len(d):
        rm, origin, plen = struct.unpack_from("<IQQ", d, off)
        assert rm == 0xA67F0000 and plen == dim * elem_size
        records.append((origin, d[off + 20:off + 20 + plen]))
        off += 20 + plen
    return header, points, entry, records


def test_dump_files_byte_by_byte(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    rows = random_rows("f32", 100, 5, 7)
    h = init("f32", "DistL2", m=16, ef=50)
    insert_all(h, "f32", rows, first_id=1000)
    assert lib.file_dump_u8(h, 3, b"idx") == 1  # any file_dump_T dumps any handle
    header, points, entry, records = read_dump(str(tmp_path / "idx"), 4)
    assert header["size"] == 90 and header["magic"] == 0x002A6779 and header["mode"] == 1
    assert header["distname"] == "morvane::dist::distances::DistL2" and header["type_name"] == "f32"
    assert (header["m"], header["nb_layer"], header["ef"], header["nb_point"], header["dim"]) == (16, 16, 50, 100, 5)
    assert header["scale"] == pytest.approx(1 / np.log(16))
    assert [r[0] for r in records] == [p[0] for p in points]  # data records in graph order
    for origin, payload in records:
        assert np.array_equal(np.frombuffer(payload, F32), rows[origin - 1000])
    assert (entry[0], entry[1], entry[2]) in points
    desc = lib.load_hnsw_description(14, b"idx.hnsw.graph").contents
    assert (desc.dumpmode, desc.nb_point, desc.dimension, desc.distname_len) == (1, 100, 5, 32)
    assert ctypes.string_at(desc.type_name, desc.type_name_len) == b"f32"
    assert not lib.load_hnsw_description(14, b"idx.hnsw.data")
    assert not lib.load_hnsw_description(7, b"missing")
    lib.drop_hnsw_f32(h)


def old_format(tmp_path, version):
    """Rewrites the dump "idx" as format 3 (no level scale) or 2 (counted payloads) under "v<version>"."""
    g = open(tmp_path / "idx.hnsw.graph", "rb").read()
    magic = {3: 0x002A6771, 2: 0x002A677F}[version]
    open(tmp_path / f"v{version}.hnsw.graph", "wb").write(struct.pack("<I", magic) + g[4:6] + g[14:])
    d = open(tmp_path / "idx.hnsw.data", "rb").read()
    out, off = bytearray(d[:12]), 12
    dim = struct.unpack_from("<Q", d, 4)[0]
    while off < len(d):
        rm, origin, plen = struct.unpack_from("<IQQ", d, off)
        payload = d[off + 20:off + 20 + plen]
        if version == 2:
            payload = struct.pack("<Q", dim) + payload + b"\x07" * 3  # bytes after the count are ignored
        out += struct.pack("<IQQ", rm, origin, len(payload)) + payload
        off += 20 + plen
    open(tmp_path / f"v{version}.hnsw.data", "wb").write(bytes(out))


def test_reload_of_formats_4_3_and_2(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    rows = random_rows("u16", 300, 6, 8)
    h = init("u16", "DistL2", m=10, ef=60)
    insert_all(h, "u16", rows)
    assert lib.file_dump_u16(h, 3, b"idx") == 1
    old_format(tmp_path, 3)
    old_format(tmp_path, 2)
    g4, g3 = open("idx.hnsw.graph", "rb").read(), open("v3.hnsw.graph", "rb").read()
    assert struct.unpack_from("<Q", g4, 39)[0] == 32 and g4[87:90] == b"u16"  # a 90-byte format-4 header
    assert struct.unpack_from("<Q", g3, 31)[0] == 32 and g3[79:82] == b"u16"  # 82 bytes in format 3
    assert lib.load_hnsw_description(13, b"v3.hnsw.graph").contents.nb_point == 300
    queries = random_rows("u16", 100, 6, 9)
    load = reload_call("load_hnswdump_u16_DistL2")
    for name in (b"idx", b"v3", b"v2"):
        r = load(lib.get_hnswio(len(name), name))
        assert r, name
        for q in queries:
            assert search(r, "u16", q, 10, 40) == search(h, "u16", q, 10, 40)
        lib.drop_hnsw_u16(r)
    assert not reload_call("load_hnswdump_u16_DistL1")(lib.get_hnswio(3, b"idx"))
    assert not reload_call("load_hnswdump_u8_DistL2")(lib.get_hnswio(3, b"idx"))
    graph_only = reload_call("load_hnswdump_NoData_DistNoDist")(lib.get_hnswio(3, b"idx"))
    assert graph_only
    assert search(graph_only, "f32", np.zeros(6, F32), 3, 3) == ([], [])  # refused: no distance
    assert lib.file_dump_f32(graph_only, 2, b"go") == 1
    assert os.path.getsize(tmp_path / "go.hnsw.data") == 12 + 20 * 300
    lib.drop_hnsw_f32(graph_only)
    lib.drop_hnsw_f32(h)


def test_a_failed_dump_keeps_the_previous_one(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    h = init("u8", "DistL1")
    insert_all(h, "u8", random_rows("u8", 20, 4, 10))
    assert lib.file_dump_u8(h, 3, b"idx") == 1
    before = (open("idx.hnsw.graph", "rb").read(), open("idx.hnsw.data", "rb").read())
    empty = init("u8", "DistL1")
    assert lib.file_dump_u8(empty, 3, b"idx") == -1
    m256 = init("u8", "DistL1", m=256)
    insert_all(m256, "u8", random_rows("u8", 2, 4, 11))
    assert lib.file_dump_u8(m256, 3, b"idx") == -1
    assert (open("idx.hnsw.graph", "rb").read(), open("idx.hnsw.data", "rb").read()) == before
    assert sorted(os.listdir(tmp_path)) == ["idx.hnsw.data", "idx.hnsw.graph"]
    # A basename with invalid UTF-8 writes names with U+FFFD.
    assert lib.file_dump_u8(h, 3, b"x\xffy") == 1
    assert os.path.exists(tmp_path / "x\ufffdy.hnsw.graph")
    assert lib.file_dump_u8(h, 4, b"z\x00zz") == -1  # a NUL byte cannot name a file
    assert not any(name.startswith("z") for name in os.listdir(tmp_path))


LOG_CHILD = r"""
import ctypes, zudizid
lib = ctypes.CDLL(zudizid.__file__)
lib.init_env_log()
lib.init_env_log()
lib.get_hnswio.restype = ctypes.c_void_p
f = lib.load_hnswdump_f32_DistL2
f.argtypes = [ctypes.c_void_p]
f.restype = ctypes.c_void_p
f(lib.get_hnswio(7, b"missing"))   # error (vantor::hnswio) and warn (vantor::libext)
lib.init_hnsw_f32(16, 100, 6, b"DistL2")   # info records of vantor::libext and vantor::hnsw
"""


def run_logged(env_value, style=None):
    env = dict(os.environ)
    env.pop("ZUDIZID_LOG", None)
    if env_value is not None:
        env["ZUDIZID_LOG"] = env_value
    if style is not None:
        env["ZUDIZID_LOG_STYLE"] = style
    r = subprocess.run([sys.executable, "-c", LOG_CHILD], env=env, capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    return r.stderr


@pytest.mark.parametrize("value,present,absent", [
    (None, ["could not open file"], ["could not reload", "Hnsw distance"]),
    ("info", ["could not open file", "could not reload", "Hnsw distance"], []),
    ("vantor::hnswio=debug", ["could not open file"], ["could not reload", "Hnsw distance"]),
    ("warn,vantor::libext=trace", ["could not open file", "could not reload", "entering init_hnsw_f32"],
     ["Hnsw distance"]),
    ("info/distance", ["Hnsw distance"], ["could not open file", "could not reload"]),
    ("INFO", ["Hnsw distance"], []),
])
def test_init_env_log_directives(value, present, absent, tmp_path):
    err = run_logged(value, style="never")
    for text in present:
        assert text in err, (value, err)
    for text in absent:
        assert text not in err, (value, err)
    assert "\x1b[" not in err


@pytest.mark.parametrize("value,warning", [
    ("info/a/b", "warning: invalid logging spec 'info/a/b' (too many '/'s), ignoring it"),
    ("vantor::libext=loud", "warning: invalid logging spec 'loud', ignoring it"),
    ("a=b=c", "warning: invalid logging spec 'a=b=c', ignoring it"),
    ("info/(", "warning: invalid regex filter - "),
])
def test_init_env_log_warnings(value, warning):
    err = run_logged(value)
    assert warning in err
    assert err.count(warning) == 2  # the second call, which installs nothing, still warns


def test_init_env_log_style_is_case_sensitive():
    assert "\x1b[" in run_logged("error", style="always")
    assert "\x1b[" not in run_logged("error", style="ALWAYS")  # automatic: stderr is a pipe
