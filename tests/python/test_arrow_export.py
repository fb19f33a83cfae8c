"""Arrow export: every stream is decoded by the reference reader (npm
apache-arrow, via arrow_read.mjs) and its framing walked with struct. Lists
and objects cannot be written from Python; their "<complex>" cells and the
non-finite float texts are covered by the C++ tests."""
import json
import math
import os
import random
import struct
import subprocess
import uuid

import pytest

import zudizid
from graph_fill import fill

HERE = os.path.dirname(os.path.abspath(__file__))


def decode(tmp_path, *streams):
    paths = []
    for i, data in enumerate(streams):
        path = tmp_path / f"stream{i}.arrow"
        path.write_bytes(data)
        paths.append(str(path))
    out = subprocess.run(["node", os.path.join(HERE, "arrow_read.mjs"), *paths], check=True, capture_output=True,
                         text=True)
    return json.loads(out.stdout)


def column(table, name):
    """Cells of the one column called `name`."""
    index = [f["name"] for f in table["fields"]].index(name)
    return table["columns"][index]


def by_id(table, name):
    return dict(zip(column(table, "id"), column(table, name)))


# ---- framing, walked without an Arrow library

def table_field(buf, table, slot, fmt, default=None):
    vtable = table - struct.unpack_from("<i", buf, table)[0]
    vt_size = struct.unpack_from("<H", buf, vtable)[0]
    at = 4 + 2 * slot
    if at >= vt_size:
        return default
    off = struct.unpack_from("<H", buf, vtable + at)[0]
    if off == 0:
        return default
    if fmt == "offset":
        pos = table + off
        return pos + struct.unpack_from("<I", buf, pos)[0]
    return struct.unpack_from("<" + fmt, buf, table + off)[0]


def walk(data):
    """The stream's messages as (header_type, version, body_length, buffers)."""
    messages, pos = [], 0
    while True:
        marker, size = struct.unpack_from("<Ii", data, pos)
        assert marker == 0xFFFFFFFF
        pos += 8
        if size == 0:
            assert pos == len(data)
            return messages
        assert (8 + size) % 8 == 0
        meta = data[pos:pos + size]
        root = struct.unpack_from("<I", meta, 0)[0]
        version = table_field(meta, root, 0, "h", 0)
        header_type = table_field(meta, root, 1, "B", 0)
        assert table_field(meta, root, 4, "offset") is None  # no custom metadata
        body_length = table_field(meta, root, 3, "q", 0)
        buffers = []
        if header_type == 3:
            header = table_field(meta, root, 2, "offset")
            assert table_field(meta, header, 3, "offset") is None  # no compression
            vec = table_field(meta, header, 2, "offset")
            count = struct.unpack_from("<I", meta, vec)[0]
            buffers = [struct.unpack_from("<qq", meta, vec + 4 + 16 * i) for i in range(count)]
        messages.append((header_type, version, body_length, buffers, data[pos + size:pos + size + body_length]))
        pos += size + body_length


def check_framing(data):
    messages = walk(data)
    assert [m[0] for m in messages] == [1, 3]
    assert all(m[1] == 4 for m in messages)  # metadata V5
    _, _, body_length, buffers, body = messages[1]
    assert messages[0][2] == 0
    for offset, length in buffers:
        assert offset % 64 == 0 and offset + length <= body_length
    assert len(body) == body_length


# ---- the tests

def test_empty_graph_errors(graph):
    cases = [
        (lambda: graph.to_arrow(), RuntimeError, "Cannot convert empty node list to Arrow"),
        (lambda: graph.to_arrow(None), RuntimeError, "Cannot convert empty node list to Arrow"),
        (lambda: graph.to_arrow("Person"), RuntimeError, "No nodes to export"),
        (lambda: graph.edges_to_arrow(), ValueError, "No edges to export"),
        (lambda: graph.to_arrow_complete(), RuntimeError, "No nodes to export"),
        (lambda: graph.to_arrow_complete(label="Person"), RuntimeError, "No nodes to export"),
    ]
    for call, kind, text in cases:
        with pytest.raises(kind) as info:
            call()
        assert str(info.value) == text


def test_arguments_and_closed_graph():
    g = zudizid.Graph.in_memory()
    for call in (lambda: g.to_arrow(5), lambda: g.to_arrow_complete(b"P")):
        with pytest.raises(TypeError):
            call()
    g.close()
    for call in (g.to_arrow, g.edges_to_arrow, g.to_arrow_complete):
        with pytest.raises(RuntimeError, match="Graph is closed"):
            call()


def test_summary_batch(graph, tmp_path):
    ids = fill(graph, [("Person", {"name": "Ann", "age": 3}), ("City", {})])
    data = graph.to_arrow()
    check_framing(data)
    (t,) = decode(tmp_path, data)
    assert t["batches"] == 1 and t["rows"] == 2 and t["schema_metadata"] == 0
    assert [(f["name"], f["type"], f["nullable"], f["metadata"]) for f in t["fields"]] == [
        ("id", "Utf8", False, 0), ("label", "Utf8", False, 0), ("property_count", "Int", False, 0)]
    assert t["fields"][2]["bitWidth"] == 64 and t["fields"][2]["signed"]
    assert sorted(column(t, "id")) == sorted(ids)
    assert by_id(t, "property_count") == {ids[0]: {"i": "2"}, ids[1]: {"i": "0"}}
    assert by_id(t, "label") == {ids[0]: "Person", ids[1]: "City"}


def test_property_batch_kinds_and_cells(graph, tmp_path):
    nodes = [
        ("P", {"mixed": 1, "ints": 1, "flag": True, "s": "x", "only_none": None, "b": b"abc",
               "f": 3.0, "id": "own id"}),
        ("P", {"mixed": 2.5, "ints": 2, "flag": None, "s": None, "only_none": None, "b": "t",
               "f": 1e21}),
        ("P", {"f": 1e-7}),
        ("P", {"f": -0.0}),
        ("p", {"other": 1}),
        ("", {"empty": True}),
    ]
    ids = fill(graph, nodes)
    data = graph.to_arrow("P")
    check_framing(data)
    (t,) = decode(tmp_path, data)
    assert t["rows"] == 4
    names = [f["name"] for f in t["fields"]]
    assert names[:2] == ["id", "label"] and "only_none" not in names and "other" not in names
    assert names.count("id") == 2  # the property called id follows the fixed columns
    kinds = {f["name"]: (f["type"], f["nullable"]) for f in t["fields"][2:]}
    assert kinds == {"mixed": ("Utf8", True), "ints": ("Int", True), "flag": ("Bool", True),
                     "s": ("Utf8", True), "b": ("Utf8", True), "f": ("Float", True),
                     "id": ("Utf8", True)}
    first, second, third, fourth = ids[:4]
    assert by_id(t, "mixed") == {first: "1", second: "2.5", third: None, fourth: None}
    assert by_id(t, "ints")[first] == {"i": "1"}
    assert by_id(t, "flag") == {first: True, second: None, third: None, fourth: None}
    assert by_id(t, "s") == {first: "x", second: "null", third: None, fourth: None}
    assert by_id(t, "b") == {first: "<bytes:3>", second: "t", third: None, fourth: None}
    f = by_id(t, "f")
    assert (f[first], f[second], f[third], f[fourth]) == ({"f": "3"}, {"f": "1e+21"}, {"f": "1e-7"}, {"f": "-0"})
    own_ids = dict(zip(column(t, "id"), t["columns"][names.index("id", 2)]))
    assert own_ids == {first: "own id", second: None, third: None, fourth: None}

    # Selection is byte for byte; the empty label selects unlabelled nodes.
    (lower,) = decode(tmp_path, graph.to_arrow("p"))
    assert column(lower, "id") == [ids[4]]
    (empty,) = decode(tmp_path, graph.to_arrow(""))
    assert column(empty, "id") == [ids[5]]
    with pytest.raises(RuntimeError) as info:
        graph.to_arrow("Persons")
    assert str(info.value) == "No nodes found with label 'Persons'"


def test_edges_and_complete_export(graph, tmp_path):
    ids = fill(graph, [("Person", {"n": 1}), ("Person", {}), ("City", {})],
               [(0, 1, "KNOWS", {"weight": 2.0, "note": "a"}), (1, 2, "LIVES", {"tags": b"xy", "note": None}),
                (0, 2, "LIVES", {})])
    data = graph.edges_to_arrow()
    check_framing(data)
    (e,) = decode(tmp_path, data)
    assert [f["name"] for f in e["fields"]] == ["id", "source", "target", "edge_type", "note", "tags", "weight"]
    assert all(f["type"] == "Utf8" for f in e["fields"])
    assert [f["nullable"] for f in e["fields"]] == [False] * 4 + [True] * 3
    rows = list(zip(*e["columns"]))
    assert sorted(r[1:] for r in rows) == sorted([
        (ids[0], ids[1], "KNOWS", "a", None, "2"), (ids[1], ids[2], "LIVES", "null", "<bytes:2>", None),
        (ids[0], ids[2], "LIVES", None, None, None)])

    nodes, edges = graph.to_arrow_complete("Person")
    check_framing(nodes)
    check_framing(edges)
    n, e2 = decode(tmp_path, nodes, edges)
    assert sorted(column(n, "id")) == sorted(ids[:2])
    assert e2["rows"] == 3 and e2["columns"] == e["columns"]
    with pytest.raises(RuntimeError) as info:
        graph.to_arrow_complete("Nobody")
    assert str(info.value) == "No nodes to export"


def test_complete_export_without_edges(graph, tmp_path):
    fill(graph, [("Person", {})])
    nodes, edges = graph.to_arrow_complete()
    check_framing(edges)
    _, e = decode(tmp_path, nodes, edges)
    assert [f["name"] for f in e["fields"]] == ["id", "source", "target", "edge_type"]
    assert e["rows"] == 0 and e["batches"] == 1
    with pytest.raises(ValueError):
        graph.edges_to_arrow()


def expected_cell(kinds, value):
    """The cell the export rules give for `value` in a column of `kinds`."""
    if value is MISSING:
        return None
    scalar = {k for k in kinds}
    if len(scalar) > 1 or scalar == {str}:
        return text_of(value)
    (kind,) = scalar
    if type(value) is not kind:
        return None
    if kind is bool:
        return value
    if kind is int:
        return {"i": str(value)}
    return value  # float: compared numerically below


MISSING = object()


def text_of(value):
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return format_float(value)
    if isinstance(value, str):
        return value
    if isinstance(value, bytes):
        return f"<bytes:{len(value)}>"
    return "<complex>"


def format_float(x):
    if x == 0:
        return "-0" if math.copysign(1, x) < 0 else "0"
    r = repr(x)
    if "e" not in r:
        return r[:-2] if r.endswith(".0") else r
    mantissa, exp = r.split("e")
    digits = mantissa.replace(".", "").lstrip("-")
    point = (mantissa.index(".") if "." in mantissa else len(mantissa)) - (1 if x < 0 else 0) + int(exp)
    if point <= 0:
        s = "0." + "0" * (-point) + digits
    elif point >= len(digits):
        s = digits + "0" * (point - len(digits))
    else:
        s = digits[:point] + "." + digits[point:]
    return ("-" if x < 0 else "") + s


def test_random_graph_cells_follow_the_rules(graph, tmp_path):
    rng = random.Random(7)
    pool = [lambda: rng.randint(-2**63, 2**63 - 1), lambda: rng.uniform(-1e30, 1e30) * 10 ** rng.randint(-30, 0),
            lambda: rng.choice([True, False]), lambda: "".join(rng.choice("aé中🙂 \"'\\") for _ in range(5)),
            lambda: None, lambda: bytes(rng.randrange(5))]
    names = ["p%d" % i for i in range(8)]
    column_kind = {n: rng.sample(range(4), rng.randint(1, 2)) for n in names}
    nodes = []
    for _ in range(300):
        props = {}
        for n in names:
            if rng.random() < 0.6:
                k = rng.choice(column_kind[n] + [4, 5] if rng.random() < 0.2 else column_kind[n])
                props[n] = pool[k]()
        nodes.append(("R", props))
    ids = fill(graph, nodes)
    (t,) = decode(tmp_path, graph.to_arrow("R"))
    assert t["rows"] == 300
    stored = dict(zip(ids, (p for _, p in nodes)))
    scalar_types = (bool, int, float, str)
    for n in names:
        kinds = {type(p[n]) for _, p in nodes if n in p and type(p[n]) in scalar_types}
        if not kinds:
            assert n not in [f["name"] for f in t["fields"]]
            continue
        for node_id, cell in by_id(t, n).items():
            want = expected_cell(kinds, stored[node_id].get(n, MISSING))
            if isinstance(want, float):
                assert float(cell["f"]) == want
            else:
                assert cell == want, (n, node_id)


def test_signatures_and_docstrings():
    import inspect
    G = zudizid.Graph
    assert str(inspect.signature(G.to_arrow)) == "(self, /, label=None)"
    assert str(inspect.signature(G.edges_to_arrow)) == "(self, /)"
    assert str(inspect.signature(G.to_arrow_complete)) == "(self, /, label=None)"
    assert G.to_arrow.__doc__.splitlines() == [
        "Export graph to Apache Arrow format", "", "Returns bytes in Arrow IPC stream format.",
        "Load in Python with: pyarrow.ipc.open_stream(bytes)", "", "Returns:", "    bytes: Arrow IPC stream", "",
        "Example:", "    >>> import pyarrow as pa", "    >>> arrow_bytes = graph.to_arrow()",
        "    >>> reader = pa.ipc.open_stream(arrow_bytes)", "    >>> batch = reader.read_next_batch()",
        "    >>> df = batch.to_pandas()"]
    assert G.edges_to_arrow.__doc__ == "Export edges to Arrow format"
    assert G.to_arrow_complete.__doc__ == "Export complete graph (nodes + edges) to Arrow format\n\nReturns: (nodes_bytes, edges_bytes)"
