"""zudizid.Transaction and Graph.begin_transaction."""
import gc
import inspect
import os
import random
import re
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import zudizid

G = zudizid.Graph
T = zudizid.Transaction
UUID_V4 = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")
CLOSED = "Transaction already committed or rolled back"
ISOLATION_HINT = "Use 'read_uncommitted' | 'read_committed' | 'repeatable_read' | 'serializable'"

needs_counts = pytest.mark.skipif(not hasattr(G, "node_count"), reason="needs Graph.node_count")


def wal_size(path):
    return os.path.getsize(os.path.join(path, "zovov.wal"))


def test_signatures_and_docstrings():
    assert str(inspect.signature(G.begin_transaction)) == "(self, /, isolation=None)"
    assert str(inspect.signature(T.add_node)) == "(self, /, label, properties)"
    assert str(inspect.signature(T.add_edge)) == "(self, /, source, target, edge_type, properties=None)"
    assert str(inspect.signature(T.commit)) == "(self, /)"
    assert str(inspect.signature(T.rollback)) == "(self, /)"
    assert T.__doc__ == "Python wrapper for Transaction"
    assert T.commit.__doc__ == "Commit the transaction"
    doc = G.begin_transaction.__doc__
    assert doc.startswith("Begin a transaction\n\nReturns:\n    Transaction: Active transaction\n\nExample:\n")
    assert "    >>> tx.commit()\nBegin a transaction.\n\n" in doc
    for name in ("read_uncommitted", "read_committed", "repeatable_read", "serializable"):
        assert f'"{name}"' in doc


@pytest.mark.parametrize("isolation", [None, "read_uncommitted", "read_committed", "REPEATABLE_READ",
                                       "Serializable", "SERIALIZABLE"])
def test_every_isolation_name_commits(graph, isolation):
    for tx in (graph.begin_transaction(isolation), graph.begin_transaction(isolation=isolation)):
        assert repr(tx) == "<Transaction: active>"
        tx.add_node("Person", {"name": "Alice"})
        tx.commit()
        assert repr(tx) == "<Transaction: closed>"


@pytest.mark.parametrize("name, shown", [
    ("Read-Committed", "read-committed"),
    ("", ""),
    (" serializable", " serializable"),
    ("SERİALIZABLE", "serİalizable"),  # only ASCII capitals fold
])
def test_unknown_isolation_name(graph, name, shown):
    with pytest.raises(ValueError) as err:
        graph.begin_transaction(name)
    assert str(err.value) == f"Invalid isolation level '{shown}'. {ISOLATION_HINT}"


def test_argument_errors_come_before_the_handle(graph):
    with pytest.raises(TypeError) as err:
        graph.begin_transaction(1)
    assert "while processing 'isolation'" in err.value.__notes__
    with pytest.raises(TypeError):
        graph.begin_transaction(isolation="serializable", level=1)
    graph.close()
    with pytest.raises(TypeError):
        graph.begin_transaction(1)
    # the name is examined only after the transaction has begun
    with pytest.raises(RuntimeError, match="^Graph is closed$"):
        graph.begin_transaction("nope")


@needs_counts
def test_commit_publishes_buffered_writes(graph):
    tx = graph.begin_transaction()
    a = tx.add_node("Person", {"name": "Alice"})
    b = tx.add_node(label="Person", properties={})
    e = tx.add_edge(a, b, "KNOWS", {"since": 2020})
    f = tx.add_edge(source=b, target=a, edge_type="KNOWS", properties=None)
    ids = {a, b, e, f}
    assert len(ids) == 4 and all(UUID_V4.match(i) for i in ids)
    assert graph.node_count() == 0, "nothing is visible before commit"
    tx.commit()
    assert graph.node_count() == 2
    if hasattr(G, "get_stats"):
        assert graph.get_stats()["total_edges"] == "2"


@needs_counts
def test_rollback_discards_writes_and_logs_nothing(db_path):
    g = G.open(db_path)
    before = wal_size(db_path)
    tx = g.begin_transaction("serializable")
    a = tx.add_node("Person", {"name": "Alice"})
    tx.add_edge(a, a, "SELF")
    assert tx.rollback() is None
    assert repr(tx) == "<Transaction: closed>"
    assert wal_size(db_path) == before
    assert g.node_count() == 0
    g.close()
    g = G.open(db_path)
    assert g.node_count() == 0
    g.close()


def test_closed_transaction_refuses_every_call(graph):
    committed = graph.begin_transaction()
    committed.commit()
    rolled_back = graph.begin_transaction()
    rolled_back.rollback()
    node = "00000000-0000-4000-8000-000000000000"
    for tx in (committed, rolled_back):
        for call in (tx.commit, tx.rollback, lambda: tx.add_node("P", {}),
                     lambda: tx.add_edge(node, node, "T"), lambda: tx.add_edge("bad", "bad", "T")):
            with pytest.raises(RuntimeError) as err:
                call()
            assert str(err.value) == CLOSED
        # argument conversion comes first
        with pytest.raises(TypeError) as err:
            tx.add_node(5, {})
        assert "while processing 'label'" in err.value.__notes__
        with pytest.raises(TypeError):
            tx.add_node("P", None)
        assert repr(tx) == "<Transaction: closed>"


@pytest.mark.parametrize("value", [True, False, 0, -1, 2**63 - 1, -2**63, 2**70, 1.5, "", "é",
                                   None, b"", b"\x00\xff", bytearray(b"ab"), [1, 2, 3], [], (0, 255), [True]])
def test_accepted_property_values(graph, value):
    tx = graph.begin_transaction()
    tx.add_node("P", {"k": value})
    tx.add_edge(tx.add_node("P", {}), tx.add_node("P", {}), "T", {"k": value})
    tx.commit()


@pytest.mark.skipif(not hasattr(G, "delete"), reason="needs Graph.delete")
@pytest.mark.parametrize("value, stored, not_stored", [
    (None, None, ""),
    (True, True, 1),
    (2**70, float(2**70), None),
    (bytearray(b"\x01\x02"), b"\x01\x02", "\x01\x02"),
    ([1, 2, 3], b"\x01\x02\x03", None),
    ([], b"", None),
])
def test_stored_values(graph, value, stored, not_stored):
    """Graph.delete finds a node by an exact property value: it probes what
    was committed."""
    tx = graph.begin_transaction()
    node_id = tx.add_node("Tx", {"x": value})
    tx.commit()
    assert graph.delete("Tx", "x", not_stored) is None
    assert graph.delete("Tx", "x", stored) == node_id


@pytest.mark.parametrize("value", [[256], [-1], ["a"], [1.0], {"a": 1}, {1, 2}, object(), 10**400])
def test_unsupported_property_values_name_their_key(graph, value):
    tx = graph.begin_transaction()
    for call in (lambda: tx.add_node("P", {"ok": 1, "bad key": value}),
                 lambda: tx.add_edge(tx.add_node("P", {}), tx.add_node("P", {}), "T", {"bad key": value})):
        with pytest.raises(TypeError) as err:
            call()
        assert str(err.value) == "Unsupported property type for key 'bad key'"
    assert repr(tx) == "<Transaction: active>"
    tx.commit()


def unloggable(value):
    return f"Serialization error: JSON serialize error: property `k`: non-finite float {value} cannot be logged"


@needs_counts
def test_non_finite_float_is_refused_where_it_enters(graph):
    """The write-ahead log cannot hold NaN or an infinity: the value is refused
    by the call that brings it, and the transaction keeps its other writes."""
    tx = graph.begin_transaction()
    a = tx.add_node("P", {"ok": 1})
    b = tx.add_node("P", {"ok": 2})
    for bad, shown in ((float("nan"), "NaN"), (float("inf"), "inf"), (float("-inf"), "-inf")):
        with pytest.raises(ValueError) as err:
            tx.add_node("P", {"ok": 3, "k": bad})
        assert str(err.value) == unloggable(shown)
        with pytest.raises(ValueError) as err:
            tx.add_edge(a, b, "T", {"k": bad})
        assert str(err.value) == unloggable(shown)
    assert repr(tx) == "<Transaction: active>"
    tx.add_edge(a, b, "T", {"k": 1.5})
    tx.commit()
    assert graph.node_count() == 2
    assert graph.get_edge_type_count("T") == 1


def test_property_names_must_be_text(graph):
    tx = graph.begin_transaction()
    with pytest.raises(TypeError):
        tx.add_node("P", {1: "x"})
    with pytest.raises(TypeError) as err:
        tx.add_node("P", ["x"])
    assert "while processing 'properties'" in err.value.__notes__
    with pytest.raises(TypeError) as err:
        tx.add_edge("a", "b", "T", ["x"])
    assert "while processing 'properties'" in err.value.__notes__
    tx.commit()


def test_edge_endpoints_are_parsed_not_looked_up(graph):
    tx = graph.begin_transaction()
    with pytest.raises(ValueError, match="^Invalid source UUID: "):
        tx.add_edge("nope", "also nope", "T")
    with pytest.raises(ValueError, match="^Invalid target UUID: "):
        tx.add_edge("00000000-0000-0000-0000-000000000001", "nope", "T")
    hyphenated = "67e55044-10b1-426f-9247-bb680e5fe0c8"
    for text in (hyphenated, hyphenated.replace("-", ""), "{" + hyphenated + "}", "urn:uuid:" + hyphenated,
                 hyphenated.upper()):
        assert UUID_V4.match(tx.add_edge(text, hyphenated, "KNOWS"))
    assert repr(tx) == "<Transaction: active>"
    tx.rollback()


@needs_counts
def test_transaction_outlives_graph_close(db_path):
    g = G.open(db_path)
    tx = g.begin_transaction()
    g.close()
    tx.add_node("P", {"n": 1})
    tx.commit()
    g = G.open(db_path)
    assert g.node_count() == 1
    g.close()


@needs_counts
def test_dropping_an_open_transaction_rolls_it_back(db_path):
    g = G.open(db_path)
    before = wal_size(db_path)
    tx = g.begin_transaction("serializable")
    tx.add_node("P", {"dropped": True})
    del tx
    gc.collect()
    assert wal_size(db_path) == before, "an abandoned transaction writes nothing"
    # Later transactions, at every level, begin and commit normally.
    for level in ("serializable", None):
        tx = g.begin_transaction(level)
        tx.add_node("P", {"kept": True})
        tx.commit()
    assert g.node_count() == 2
    g.close()
    g = G.open(db_path)
    assert g.node_count() == 2
    g.close()


CHILD = textwrap.dedent(
    """
    import sys, zudizid
    g = zudizid.Graph.open(sys.argv[1])
    i = 0
    while True:
        tx = g.begin_transaction()
        node_id = tx.add_node("Crash", {"i": i})
        tx.commit()
        print(node_id, flush=True)
        i += 1
    """
)


@needs_counts
def test_acknowledged_commits_survive_sigkill(db_path):
    """A child commits one node per transaction and prints each id once
    commit returns; it is killed mid-stream, and every printed id must be in
    the reopened database."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    for round_ in range(2):
        child = subprocess.Popen([sys.executable, "-c", CHILD, db_path], stdout=subprocess.PIPE, text=True, env=env)
        acked = []
        target = random.randint(5, 60)
        deadline = time.monotonic() + 30
        try:
            while len(acked) < target and time.monotonic() < deadline:
                line = child.stdout.readline()
                if not line:
                    break
                acked.append(line.strip())
        finally:
            child.send_signal(signal.SIGKILL)
            rest = child.stdout.read()
            child.wait()
        acked += rest.split()
        assert len(acked) >= min(target, 5), "the child committed nothing"
        g = G.open(db_path)
        count = g.node_count()
        g.close()
        # Every commit adds one node; commits are acknowledged in order.
        total = count if round_ == 0 else count - first
        assert total >= len(acked), f"round {round_}: {len(acked)} acknowledged, {total} stored"
        assert all(UUID_V4.match(i) for i in acked)
        if round_ == 0:
            first = count
