"""zudizid.BulkLoader and Graph.bulk_loader."""
import gc
import inspect
import re
import threading
import time

import pytest

import zudizid

G = zudizid.Graph
B = zudizid.BulkLoader
UUID_V4 = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")
FINISHED = "BulkLoader already finished"

needs_counts = pytest.mark.skipif(not hasattr(G, "node_count"), reason="needs Graph.node_count")


def test_signatures_and_docstrings():
    assert str(inspect.signature(G.bulk_loader)) == "(self, /, batch_size)"
    assert G.bulk_loader.__doc__ is None
    assert str(inspect.signature(B.add_node)) == "(self, /, label, properties)"
    assert str(inspect.signature(B.add_edge)) == "(self, /, source_id, target_id, label)"
    assert str(inspect.signature(B.finish)) == "(self, /)"
    assert str(inspect.signature(B.__exit__)) == "(self, /, _exc_type, _exc_value, _traceback)"
    assert B.__doc__.startswith(
        "Python wrapper for high-performance BulkLoader\n\n"
        "BulkLoader buffers nodes and edges in memory and flushes them\n"
        "in batches to the database, providing 100-1000x speedup.\n")
    assert "bulk_loader(10000)" in B.__doc__
    assert B.add_node.__doc__.startswith("Add a node to the bulk load buffer")
    assert B.finish.__doc__.startswith("Finish bulk load and flush all pending data")


class Index:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


@pytest.mark.parametrize("batch_size", [0, 1, 10_000, Index(7), 2**64 - 1])
def test_batch_sizes_accepted(graph, batch_size):
    # the largest size reserves bounded room: no huge allocation up front
    loader = graph.bulk_loader(batch_size)
    assert repr(loader) == "<BulkLoader: active>"
    loader.add_node("P", {})
    assert loader.finish()["nodes"] == 1


@pytest.mark.parametrize("batch_size, error", [(-1, OverflowError), (2**64, OverflowError),
                                               (1.5, TypeError), ("3", TypeError), (None, TypeError)])
def test_batch_size_refused(graph, batch_size, error):
    with pytest.raises(error) as err:
        graph.bulk_loader(batch_size)
    assert "while processing 'batch_size'" in err.value.__notes__


def test_batch_size_is_required_and_graph_must_be_open(graph):
    with pytest.raises(TypeError, match="batch_size"):
        graph.bulk_loader()
    graph.close()
    with pytest.raises(RuntimeError, match="^Graph is closed$"):
        graph.bulk_loader(10)
    with pytest.raises(OverflowError):
        graph.bulk_loader(-1)


@needs_counts
def test_flush_threshold_counts_each_buffer(graph):
    loader = graph.bulk_loader(3)
    ids = [loader.add_node("P", {"i": i}) for i in range(2)]
    assert graph.node_count() == 0
    ids.append(loader.add_node("P", {"i": 2}))
    assert graph.node_count() == 3, "the third node flushes the batch"
    ids.append(loader.add_node("P", {"i": 3}))
    for _ in range(5):  # edges never flush nodes
        assert loader.add_edge(ids[0], ids[1], "KNOWS") is None
    assert graph.node_count() == 3
    stats = loader.finish()
    assert (stats["nodes"], stats["edges"]) == (4, 5)
    assert graph.node_count() == 4
    assert len(set(ids)) == 4 and all(UUID_V4.match(i) for i in ids)


@needs_counts
@pytest.mark.parametrize("batch_size", [0, 1])
def test_tiny_batches_flush_every_add(graph, batch_size):
    loader = graph.bulk_loader(batch_size)
    for n in range(1, 4):
        loader.add_node("P", {})
        assert graph.node_count() == n


def test_finish_statistics(graph):
    stats = graph.bulk_loader(5).finish()
    assert list(stats) == ["nodes", "edges", "duration_secs", "nodes_per_second"]
    assert stats["nodes"] == 0 and stats["edges"] == 0 and stats["nodes_per_second"] == 0.0
    assert 0 <= stats["duration_secs"] < 60
    loader = graph.bulk_loader(100)
    for i in range(250):
        loader.add_node("P", {"i": i})
    stats = loader.finish()
    assert stats["nodes"] == 250, "totals cover every flush, not only the last"
    assert isinstance(stats["duration_secs"], float) and stats["duration_secs"] > 0
    assert stats["nodes_per_second"] == pytest.approx(250 / stats["duration_secs"])


def test_finished_loader_refuses_writes(graph):
    loader = graph.bulk_loader(10)
    loader.finish()
    assert repr(loader) == "<BulkLoader: finished>"
    with pytest.raises(RuntimeError) as err:
        loader.finish()
    assert str(err.value) == FINISHED
    with pytest.raises(RuntimeError) as err:
        loader.add_node("P", {})
    assert str(err.value) == FINISHED + ". Create a new one."
    with pytest.raises(RuntimeError) as err:
        loader.add_edge("bad", "bad", "T")
    assert str(err.value) == FINISHED
    # argument conversion comes before the finished check
    with pytest.raises(TypeError) as err:
        loader.add_node(5, {})
    assert "while processing 'label'" in err.value.__notes__
    with pytest.raises(TypeError) as err:
        loader.add_edge("a", 5, "T")
    assert "while processing 'target_id'" in err.value.__notes__
    assert loader.__enter__() is loader
    assert loader.__exit__(None, None, None) is False


@needs_counts
def test_context_manager_finishes_also_on_error(graph):
    with graph.bulk_loader(100) as loader:
        loader.add_node("P", {})
    assert repr(loader) == "<BulkLoader: finished>"
    with pytest.raises(KeyError):
        with graph.bulk_loader(100) as loader:
            loader.add_node("P", {})
            raise KeyError("boom")
    assert repr(loader) == "<BulkLoader: finished>"
    assert graph.node_count() == 2, "the block's records are flushed before its error propagates"
    with graph.bulk_loader(100) as loader:
        loader.finish()  # leaving afterwards raises nothing


@pytest.mark.parametrize("value, name", [(b"x", "bytes"), ([1], "list"), ((1,), "tuple"), ({"a": 1}, "dict"),
                                         (object(), "object"), (10**400, "int")])
def test_unsupported_property_values(graph, value, name):
    loader = graph.bulk_loader(1)
    with pytest.raises(TypeError) as err:
        loader.add_node("P", {"k": value})
    assert str(err.value) == f"Unsupported property type: {name}. Supported: str, int, float, bool"
    assert loader.finish()["nodes"] == 0, "a refused node is not buffered"


def test_non_finite_float_is_refused_as_transactions_refuse_it(graph):
    loader = graph.bulk_loader(1)
    for bad, shown in ((float("nan"), "NaN"), (float("inf"), "inf")):
        with pytest.raises(ValueError) as err:
            loader.add_node("P", {"k": bad})
        assert str(err.value) == (
            f"Serialization error: JSON serialize error: property `k`: non-finite float {shown} cannot be logged")
    loader.add_node("P", {"k": 1e308})
    assert loader.finish()["nodes"] == 1, "a refused node is not buffered"


def test_property_values_and_names(graph):
    loader = graph.bulk_loader(2)
    for value in (True, 2**63 - 1, 2**70, 1.5, "", "é", None, Index(3)):
        loader.add_node("P", {"k": value})
    with pytest.raises(TypeError):
        loader.add_node("P", {1: "x"})
    with pytest.raises(TypeError) as err:
        loader.add_node("P", None)
    assert "while processing 'properties'" in err.value.__notes__
    assert loader.finish()["nodes"] == 8


@pytest.mark.skipif(not hasattr(G, "delete"), reason="needs Graph.delete")
@pytest.mark.parametrize("value, stored, not_stored", [
    (None, None, ""),  # Null, as a transaction stores it; not the empty string
    (True, True, 1),
    (2**70, float(2**70), None),
])
def test_stored_values(graph, value, stored, not_stored):
    """Graph.delete finds a node by an exact property value: it probes what
    was stored."""
    loader = graph.bulk_loader(10)
    node_id = loader.add_node("Bulk", {"x": value})
    loader.finish()
    assert graph.delete("Bulk", "x", not_stored) is None
    assert graph.delete("Bulk", "x", stored) == node_id


def test_edge_endpoints_are_parsed_not_looked_up(graph):
    loader = graph.bulk_loader(10)
    with pytest.raises(ValueError, match="^Invalid source UUID: "):
        loader.add_edge("nope", "also nope", "T")
    with pytest.raises(ValueError, match="^Invalid target UUID: "):
        loader.add_edge("67e55044-10b1-426f-9247-bb680e5fe0c8", "nope", "T")
    a = "67e55044-10b1-426f-9247-bb680e5fe0c8"
    loader.add_edge(source_id=a, target_id="{" + a + "}", label="KNOWS")
    loader.add_edge(a.replace("-", ""), "urn:uuid:" + a.upper(), "KNOWS")
    assert loader.finish()["edges"] == 2


@needs_counts
def test_loader_outlives_graph_close(db_path):
    g = G.open(db_path)
    loader = g.bulk_loader(10)
    g.close()
    ids = [loader.add_node("P", {"i": i}) for i in range(25)]
    for i in range(20):
        loader.add_edge(ids[i], ids[24 - i], "NEXT")
    assert loader.finish() ["edges"] == 20
    del loader
    g = G.open(db_path)
    assert g.node_count() == 25
    if hasattr(G, "get_stats"):
        assert g.get_stats()["total_edges"] == "20"
    g.close()


@needs_counts
def test_dropping_an_unfinished_loader_keeps_flushed_batches(graph):
    loader = graph.bulk_loader(2)
    for i in range(5):
        loader.add_node("P", {"i": i})
    del loader
    gc.collect()
    assert graph.node_count() == 4


def test_long_load_releases_the_interpreter_lock(graph):
    """While finish() writes a large batch, another Python thread runs; calls
    on the loader from that thread are refused at once instead of waiting."""
    loader = graph.bulk_loader(2**62)  # everything is written by finish
    for i in range(10_000):
        loader.add_node("P", {"i": i, "name": "n"})
    counter = [0]
    refused = set()
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            counter[0] += 1
            try:
                repr(loader)
            except RuntimeError as e:
                refused.add(str(e))
                try:
                    loader.add_node("P", {})
                except RuntimeError as e2:
                    refused.add(str(e2))

    thread = threading.Thread(target=spin)
    thread.start()
    try:
        time.sleep(0.05)
        before = counter[0]
        started = time.monotonic()
        stats = loader.finish()
        elapsed = time.monotonic() - started
        during = counter[0] - before
    finally:
        stop.set()
        thread.join()
    assert stats["nodes"] == 10_000, "no call from the other thread got in"
    # Holding the lock for the whole call would leave the counter still.
    assert elapsed > 0.02 and during > 1000, (elapsed, during)
    assert {"Already mutably borrowed", "Already borrowed"} <= refused
