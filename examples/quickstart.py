"""ZudizID in five minutes: write a small graph, bulk-load, upsert, store
embeddings, look at schema and statistics, close, reopen and read it back.

Run it with `scripts/demo` (which builds and installs the module first) or,
from a build tree, `PYTHONPATH=build/src/python python3 examples/quickstart.py`.
"""
import os
import random
import tempfile

import zudizid


def write(path):
    graph = zudizid.Graph.open(path)
    print(f"opened {graph!r} at {path}")

    # A few nodes and edges in one ACID transaction.
    tx = graph.begin_transaction()
    alice = tx.add_node("Person", {"name": "Alice", "age": 34})
    bob = tx.add_node("Person", {"name": "Bob", "age": 29})
    acme = tx.add_node("Company", {"name": "Acme", "founded": 1999})
    tx.add_edge(alice, bob, "KNOWS", {"since": 2015})
    tx.add_edge(alice, acme, "WORKS_AT", None)
    tx.add_edge(bob, acme, "WORKS_AT", {"role": "engineer"})
    tx.commit()
    print(f"transaction committed: Alice={alice}")

    # Thousands of records in large batches.
    rng = random.Random(7)
    with graph.bulk_loader(1000) as loader:
        ids = [loader.add_node("Sensor", {"serial": f"S-{i:05d}", "reading": rng.random()}) for i in range(5000)]
        for i in range(1, len(ids)):
            loader.add_edge(ids[i - 1], ids[i], "NEXT")
        stats = loader.finish()
    print(f"bulk load: {stats['nodes']} nodes, {stats['edges']} edges")

    # Idempotent writes keyed by a business key, with links and an embedding.
    outcome, note = graph.upsert(
        "Note", "slug", {"slug": "intro", "text": "hello graph"},
        vector=[0.1, 0.7, 0.2], model="demo-3d",
        links=[{"type": "MENTIONS", "target_label": "Topic", "target_key": "name",
                "target_key_value": "graphs", "stub": True}],
    )
    print(f"upsert Note 'intro': {outcome}")
    again, _ = graph.upsert("Note", "slug", {"slug": "intro", "text": "hello graph"})
    print(f"same upsert again: {again}")

    graph.add_node_embedding(alice, [0.9, 0.1, 0.0], "demo-3d")
    graph.add_node_embedding(bob, [0.8, 0.2, 0.1], "demo-3d")
    graph.create_index("Person", "name")

    print(f"labels: {sorted(graph.get_labels())}")
    print(f"edge types: {sorted(graph.get_edge_types())}")
    graph.close()
    print(f"closed: {graph!r}")
    return alice, note


def read(path, alice, note):
    with zudizid.Graph.open(path) as graph:
        print(f"reopened {graph!r}")
        print(f"nodes: {graph.node_count()}")
        for label in ("Person", "Company", "Sensor", "Note", "Topic"):
            print(f"  {label}: {graph.get_label_count(label)}")
        print(f"  NEXT edges: {graph.get_edge_type_count('NEXT')}")
        print(f"Person properties: {sorted(graph.get_label_properties('Person'))}")
        print(f"indexes: {graph.list_indexes()}")
        print(f"Alice's embedding: {graph.get_node_embedding(alice, 'demo-3d')}")
        print(f"nearest to Alice: {graph.knn_nodes([0.9, 0.1, 0.0], 2, 'demo-3d')}")
        outcome, node = graph.upsert("Note", "slug", {"slug": "intro", "text": "hello graph"})
        assert (outcome, node) == ("unchanged", note)
        print(f"Note 'intro' is still there: {outcome}")
        stats = graph.get_stats()
        print(f"stats: total_nodes={stats['total_nodes']} total_edges={stats['total_edges']} "
              f"avg_degree={stats['avg_degree']}")
        counts = {label: graph.get_label_count(label) for label in ("Person", "Company", "Sensor")}
        assert counts == {"Person": 2, "Company": 1, "Sensor": 5000}, counts


def main():
    with tempfile.TemporaryDirectory(prefix="zudizid-demo-") as tmp:
        path = os.path.join(tmp, "demo.db")
        alice, note = write(path)
        read(path, alice, note)
    print(f"zudizid {zudizid.__version__}: all data survived the reopen")


if __name__ == "__main__":
    main()
