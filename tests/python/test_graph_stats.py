"""Graph.node_count and Graph.get_stats."""
import inspect

import pytest

import zudizid
from graph_fill import fill

G = zudizid.Graph


def test_signatures_and_docstrings():
    assert str(inspect.signature(G.node_count)) == "(self, /)"
    assert str(inspect.signature(G.get_stats)) == "(self, /)"
    assert G.node_count.__doc__ == "Get node count"
    doc = G.get_stats.__doc__
    assert doc.startswith("Get query planner statistics\n\nReturns:\n    dict: Statistics about the graph\n\nExample:\n")
    assert ">>> stats = graph.get_stats()" in doc
    assert "Total nodes" in doc and "Avg degree" in doc


def test_empty_database_values_are_text(graph):
    assert graph.node_count() == 0
    # all three values are str, avg_degree with exactly two decimals
    assert graph.get_stats() == {"total_nodes": "0", "total_edges": "0", "avg_degree": "0.00"}


@pytest.mark.parametrize(
    "n_nodes, edges, avg",
    [
        (3, [(0, 1)], "0.33"),
        (2, [(0, 1)], "0.50"),
        (3, [(0, 1), (1, 2), (2, 0), (0, 2)], "1.33"),
        (1, [(0, 0)], "1.00"),  # a self-loop counts once
    ],
)
def test_avg_degree_counts_each_edge_once(graph, n_nodes, edges, avg):
    fill(graph, [("N", {"i": i}) for i in range(n_nodes)], [(s, d, "E", {}) for s, d in edges])
    assert graph.node_count() == n_nodes
    assert graph.get_stats() == {"total_nodes": str(n_nodes), "total_edges": str(len(edges)), "avg_degree": avg}


def test_node_count_is_live_while_stats_follow_the_schema_cache(graph):
    fill(graph, [("A", {}), ("B", {})], [(0, 1, "E", {})])
    assert graph.get_stats()["total_nodes"] == "2"  # builds the cache
    fill(graph, [("C", {})])
    assert graph.node_count() == 3
    assert graph.get_stats()["total_nodes"] == "2"
    graph.rebuild_schema()
    assert graph.get_stats() == {"total_nodes": "3", "total_edges": "1", "avg_degree": "0.33"}


def test_node_count_includes_bulk_loaded_nodes_at_once(graph):
    if not hasattr(graph, "bulk_loader"):
        pytest.skip("Graph.bulk_loader is not available in this build")
    assert graph.get_stats()["total_nodes"] == "0"
    loader = graph.bulk_loader(2)
    for i in range(5):
        loader.add_node("Bulk", {"i": i})
    loader.finish()
    assert graph.node_count() == 5
    assert graph.get_stats()["total_nodes"] == "0"
    graph.rebuild_schema()
    assert graph.get_stats()["total_nodes"] == "5"


@pytest.mark.parametrize("method", ["node_count", "get_stats"])
def test_arguments_and_closed_graph(method):
    g = G.in_memory()
    with pytest.raises(TypeError):
        getattr(g, method)(1)
    g.close()
    with pytest.raises(TypeError):  # argument matching comes before the handle
        getattr(g, method)(1)
    with pytest.raises(RuntimeError, match=r"^Graph is closed$"):
        getattr(g, method)()


def test_counts_survive_reopen(db_path):
    with G.open(db_path) as g:
        fill(g, [("P", {"name": "a"}), ("P", {"name": "b"})], [(0, 1, "KNOWS", {})])
    with G.open(db_path) as g:
        assert g.node_count() == 2
        assert g.get_stats() == {"total_nodes": "2", "total_edges": "1", "avg_degree": "0.50"}
