"""Writing a few nodes and edges for tests of the read-side Graph methods.

Writes go through a transaction when the build has one; otherwise through
keyed upserts, which need an identity property on every node: that is
FILL_KEY, and `names` drops it from property-name lists."""
import pytest

FILL_KEY = "_fill_id"


def names(properties):
    """Property names as written by the test, sorted."""
    return sorted(p for p in properties if p != FILL_KEY)


def fill(graph, nodes, edges=()):
    """Writes `nodes` [(label, props)] and `edges` [(src_i, dst_i, type, props)]
    (indexes into `nodes`); returns the node ids."""
    if hasattr(graph, "begin_transaction"):
        tx = graph.begin_transaction()
        ids = [tx.add_node(label, props) for label, props in nodes]
        for src, dst, edge_type, props in edges:
            tx.add_edge(ids[src], ids[dst], edge_type, props)
        tx.commit()
        return ids
    if not hasattr(graph, "upsert"):
        pytest.skip("this build has no write method")
    import uuid

    keyed = [(label, {**props, FILL_KEY: uuid.uuid4().hex}) for label, props in nodes]
    ids = [graph.upsert(label, FILL_KEY, props)[1] for label, props in keyed]
    by_source = {}
    for src, dst, edge_type, props in edges:
        label, dst_props = keyed[dst]
        by_source.setdefault(src, []).append({"type": edge_type, "target_label": label, "target_key": FILL_KEY,
                                              "target_key_value": dst_props[FILL_KEY], "props": props})
    for src, links in by_source.items():
        label, props = keyed[src]
        graph.upsert(label, FILL_KEY, props, links=links)
    return ids
