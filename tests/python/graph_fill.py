"""Writing a few nodes and edges for tests of the read-side Graph methods."""
import pytest


def writer(graph):
    """A transaction to write through, or skip when this build has no write path."""
    if not hasattr(graph, "begin_transaction"):
        pytest.skip("Graph.begin_transaction is not available in this build")
    return graph.begin_transaction()


def fill(graph, nodes, edges=()):
    """Commits `nodes` [(label, props)] and `edges` [(src_i, dst_i, type, props)]
    (indexes into `nodes`) in one transaction; returns the node ids."""
    tx = writer(graph)
    ids = [tx.add_node(label, props) for label, props in nodes]
    for src, dst, edge_type, props in edges:
        tx.add_edge(ids[src], ids[dst], edge_type, props)
    tx.commit()
    return ids
