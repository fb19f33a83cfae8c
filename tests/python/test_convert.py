"""Python values to stored values: property values, property maps and vectors.

A converted value is observed through the business-key lookup, which matches by
stored equality of the same kind (Int 1 never equals Float 1.0 or Bool true):
upsert a node holding the value, then `delete` by probe values — a probe of another
kind finds nothing, a probe of the expected kind finds the node.
"""
import decimal
import fractions
import struct

import numpy as np
import pytest

UNSUPPORTED = "unsupported property value type (use str/int/float/bool/bytes/None)"


@pytest.fixture
def g(graph):
    return graph


class Index:
    """Implements only the integer-index protocol."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


# (value given, probe that must match, probes of other kinds that must not)
CASES = [
    ("bool", True, True, [1, 1.0]),
    ("numpy bool", np.bool_(True), True, [1]),
    ("int", 1, 1, [1.0, True, "1"]),
    ("minus one int", -1, -1, [-1.0]),
    ("minus one float", -1.0, -1.0, [-1]),
    ("int beyond 64 bits becomes float", 2**63, 9.223372036854776e18, []),
    ("decimal", decimal.Decimal("2.5"), 2.5, ["2.5"]),
    ("fraction", fractions.Fraction(1, 4), 0.25, []),
    ("numpy int", np.int64(5), 5, [5.0]),
    ("numpy float", np.float32(0.5), 0.5, []),
    ("index protocol", Index(7), 7, [7.0]),
    ("str", "x", "x", [b"x"]),
    ("bytes", b"ab", b"ab", ["ab"]),
    ("bytearray", bytearray(b"ab"), b"ab", []),
    ("list of small ints", [1, 2, 3], b"\x01\x02\x03", []),
    ("tuple of small ints", (0, 255), b"\x00\xff", []),
    ("empty list", [], b"", [None]),
    ("numpy uint8 array", np.array([1, 2], dtype=np.uint8), b"\x01\x02", []),
    ("memoryview", memoryview(b"hi"), b"hi", ["hi"]),
    ("none", None, None, [0, b""]),
]


@pytest.mark.parametrize("name,value,probe,others", CASES, ids=[c[0] for c in CASES])
def test_property_value_kinds(g, name, value, probe, others):
    outcome, node_id = g.upsert("Conv", "v", {"v": value})
    assert outcome == "created"
    for other in others:
        assert g.delete("Conv", "v", other) is None, other
    assert g.delete("Conv", "v", probe) == node_id


def test_nan_is_a_float(g):
    # A Float NaN converts; the write-ahead log then refuses to record it.
    with pytest.raises(RuntimeError) as e:
        g.upsert("Conv", "k", {"k": 1, "v": float("nan")})
    assert str(e.value) == "Serialization error: JSON serialize error: property `v`: non-finite float NaN cannot be logged"
    assert g.delete("Conv", "v", float("nan")) is None


@pytest.mark.parametrize(
    "value",
    [2**1100, {"a": 1}, [256], [-1], [1.5], ["a"], object(), {1, 2}, "\ud800"],
    ids=["huge int", "dict", "256", "negative", "float item", "str item", "object", "set", "lone surrogate"],
)
def test_unsupported_values(g, value):
    with pytest.raises(TypeError) as e:
        g.delete("Conv", "v", value)
    assert str(e.value) == UNSUPPORTED
    with pytest.raises(TypeError) as e:
        g.upsert("Conv", "k", {"k": 1, "v": value})
    assert str(e.value) == UNSUPPORTED
    assert g.delete("Conv", "k", 1) is None, "nothing written"


def test_property_map_keys_must_be_str(g):
    with pytest.raises(TypeError, match="'int' object cannot be converted"):
        g.upsert("Conv", "k", {"k": 1, 2: 3})
    assert g.delete("Conv", "k", 1) is None


def test_property_map_changed_by_a_conversion_hook(g):
    props = {"k": 1}

    class Grows:
        def __index__(self):
            props["added"] = 2
            return 3

    props["v"] = Grows()
    with pytest.raises(RuntimeError, match="changed size during iteration"):
        g.upsert("Conv", "k", props)
    assert g.delete("Conv", "k", 1) is None


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


@pytest.mark.parametrize(
    "vector,stored",
    [
        ((1, 2), [1.0, 2.0]),
        ([0.1, -3], [f32(0.1), -3.0]),
        (range(1, 4), [1.0, 2.0, 3.0]),
        (np.array([0.5, 0.25]), [0.5, 0.25]),
        ([Index(4), decimal.Decimal("0.5")], [4.0, 0.5]),
        ([1.0, 1e-40], [1.0, f32(1e-40)]),
    ],
    ids=["int tuple", "narrowed to f32", "range", "numpy array", "index and float protocols", "subnormal"],
)
def test_vector_conversion(g, vector, stored):
    _, node_id = g.upsert("Vec", "k", {"k": 1})
    assert g.add_node_embedding(node_id, vector, "m") is None
    got = g.get_node_embedding(node_id, "m")
    assert type(got) is list and all(type(x) is float for x in got)
    assert got == stored


@pytest.mark.parametrize(
    "vector", ["abc", 5, (x for x in [1.0]), [1.0, "a"], [None]], ids=["str", "int", "generator", "str item", "None item"]
)
def test_vector_conversion_errors_name_the_argument(g, vector):
    _, node_id = g.upsert("Vec", "k", {"k": 1})
    with pytest.raises(TypeError) as e:
        g.add_node_embedding(node_id, vector, "m")
    assert "while processing 'vector'" in getattr(e.value, "__notes__", [])


def test_vector_component_beyond_f32_becomes_infinity_and_is_refused(g):
    _, node_id = g.upsert("Vec", "k", {"k": 1})
    with pytest.raises(ValueError, match="^embedding vector component 1 is not finite$"):
        g.add_node_embedding(node_id, [1.0, 1e40], "m")
