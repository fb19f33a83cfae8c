"""Graph.knn_nodes: nearest nodes by cosine distance over stored node embeddings."""
import math
import re

import numpy as np
import pytest

import zudizid

NEEDS = ["in_memory", "add_node_embedding", "knn_nodes"]
MISSING = [m for m in NEEDS if not hasattr(zudizid.Graph, m)]
if not (hasattr(zudizid.Graph, "bulk_loader") or hasattr(zudizid.Graph, "upsert_many")):
    MISSING.append("bulk_loader or upsert_many")
pytestmark = pytest.mark.skipif(bool(MISSING), reason="needs Graph." + ", Graph.".join(MISSING))

UUID = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")


def add_nodes(g, n):
    if hasattr(g, "bulk_loader"):
        loader = g.bulk_loader(10000)
        ids = [loader.add_node("Item", {"i": i}) for i in range(n)]
        loader.finish()
        return ids
    start = add_nodes.next
    add_nodes.next += n
    done = g.upsert_many([{"label": "Item", "key": "i", "props": {"i": i}} for i in range(start, start + n)])
    return [node for _, node in done]


add_nodes.next = 0


def store(g, ids, vectors, model):
    for node, v in zip(ids, vectors):
        g.add_node_embedding(node, [float(x) for x in v], model)


@pytest.fixture
def g(graph):
    return graph


@pytest.fixture
def fan(g):
    """Five nodes at 0..4 degrees in the plane under model "m"."""
    ids = add_nodes(g, 5)
    store(g, ids, [(math.cos(math.radians(d)), math.sin(math.radians(d))) for d in range(5)], "m")
    return ids


def test_results_nearest_first_with_cosine_distances(g, fan):
    hits = g.knn_nodes([1.0, 0.0], 3, "m")
    assert [h[0] for h in hits] == fan[:3]
    for (node, dist), deg in zip(hits, range(3)):
        assert isinstance(node, str) and UUID.match(node)
        assert isinstance(dist, float)
        assert dist == pytest.approx(1 - math.cos(math.radians(deg)), abs=1e-6)
    # k beyond the stored count: every node once, nearest first; ints are fine.
    hits = g.knn_nodes((0, 1), 50, "m")
    assert [h[0] for h in hits] == fan[::-1]
    assert g.knn_nodes([1.0, 0.0], 0, "m") == []


def test_each_call_sees_embeddings_stored_before_it(g, fan):
    (extra,) = add_nodes(g, 1)
    assert extra not in [h[0] for h in g.knn_nodes([-1.0, 0.0], 10, "m")]
    g.add_node_embedding(extra, [-1.0, 0.0], "m")
    assert g.knn_nodes([-1.0, 0.0], 1, "m") == [(extra, 0.0)]


@pytest.mark.skipif(not hasattr(zudizid.Graph, "delete"), reason="needs Graph.delete")
def test_deleted_nodes_never_answer(db_path):
    """Deleting a node leaves its embedding stored; the search skips it and
    looks further, so k live answers still come back."""
    def check(g, live):
        for k in (1, 5, len(live), 50):
            hits = [node for node, _ in g.knn_nodes([1.0, 0.0], k, "m")]
            assert hits == live[:k]

    g = zudizid.Graph.open(db_path)
    ids = add_nodes(g, 30)
    store(g, ids, [(math.cos(math.radians(d)), math.sin(math.radians(d))) for d in range(30)], "m")
    assert [node for node, _ in g.knn_nodes([1.0, 0.0], 3, "m")] == ids[:3]  # cached before the deletes
    gone = set(ids[:8] + ids[10:30:3])
    for i, node in enumerate(ids):
        if node in gone:
            assert g.delete("Item", "i", i) == node
    live = [node for node in ids if node not in gone]
    check(g, live)
    g.close()
    g = zudizid.Graph.open(db_path)
    check(g, live)
    g.close()


@pytest.mark.parametrize(
    "args, text",
    [
        (([1.0, 0.0], 3, "other"), "build_embedding_index: no embeddings found for model 'other'"),
        (([1.0, 0.0], 3, "M"), "build_embedding_index: no embeddings found for model 'M'"),
        (([1.0, 0.0, 0.0], 3, "m"), "HnswIndex(m): query dimension 3 != index dimension 2"),
    ],
)
def test_engine_errors(g, fan, args, text):
    with pytest.raises(RuntimeError) as e:
        g.knn_nodes(*args)
    assert str(e.value) == text


def test_another_length_is_refused_and_search_keeps_working(g, fan):
    (odd,) = add_nodes(g, 1)
    with pytest.raises(ValueError) as e:
        g.add_node_embedding(odd, [1.0, 2.0, 3.0], "m")
    assert str(e.value) == "embedding vector has length 3, but model 'm' holds node vectors of length 2"
    assert [h[0] for h in g.knn_nodes([1.0, 0.0], 3, "m")] == fan[:3]


@pytest.mark.parametrize(
    "query, text",
    [
        ([0.0, 0.0], "knn_nodes: query_vector is a zero vector; the cosine distance cannot rank by it"),
        ([], "knn_nodes: query_vector is a zero vector; the cosine distance cannot rank by it"),
        ([1.0, float("nan")], "knn_nodes: query_vector: vector component 1 is not a finite number"),
        ([float("inf"), 0.0], "knn_nodes: query_vector: vector component 0 is not a finite number"),
        ([1e300, 1.0], "knn_nodes: query_vector: vector component 0 is not a finite number"),
        ([3e19, 1.0], "knn_nodes: query_vector: vector component 0 is too large for DistCosine"),
    ],
)
def test_unrankable_queries_are_refused(g, fan, query, text):
    with pytest.raises(ValueError) as e:
        g.knn_nodes(query, 3, "m")
    assert str(e.value) == text


@pytest.mark.parametrize(
    "args, exc, param",
    [
        (("ab", 3, "m"), TypeError, "query_vector"),
        (([1.0, "x"], 3, "m"), TypeError, "query_vector"),
        (([1.0, 0.0], -1, "m"), OverflowError, "k"),
        (([1.0, 0.0], 2.0, "m"), TypeError, "k"),
        (([1.0, 0.0], None, "m"), TypeError, "k"),
        (([1.0, 0.0], 3, 7), TypeError, "model"),
    ],
)
def test_argument_conversion(g, fan, args, exc, param):
    with pytest.raises(exc) as e:
        g.knn_nodes(*args)
    assert f"while processing '{param}'" in getattr(e.value, "__notes__", [])


def test_signature_keywords_and_closed_graph(g, fan):
    assert zudizid.Graph.knn_nodes.__text_signature__ == "($self, query_vector, k, model)"
    assert zudizid.Graph.knn_nodes.__doc__.startswith("Busca los k nodos más cercanos en el espacio de embeddings.")
    assert g.knn_nodes(model="m", k=1, query_vector=[1, 0]) == [(fan[0], 0.0)]
    with pytest.raises(TypeError):
        g.knn_nodes([1.0, 0.0], 3)
    g.close()
    with pytest.raises(RuntimeError, match="^Graph is closed$"):
        g.knn_nodes([1.0, 0.0], 3, "m")


def clustered(rng, n, centers):
    """n points around the given cluster centres."""
    dim = centers.shape[1]
    return (centers[rng.integers(0, len(centers), n)] + rng.normal(0, 0.35, (n, dim))).astype(np.float32)


@pytest.mark.skipif(not hasattr(zudizid.Graph, "bulk_loader"), reason="20k nodes need the bulk loader")
def test_recall_at_10_against_brute_force(g):
    """20k x 128 clustered vectors, the fixed build (M 24, ef_construction 400)
    and the fixed search ef 30 of knn_nodes: recall@10 against exact cosine
    neighbours computed by numpy. Every call builds the index afresh."""
    rng = np.random.default_rng(42)
    n, dim, k = 20000, 128, 10
    centers = rng.normal(0, 1, (200, dim)).astype(np.float32)
    data = clustered(rng, n, centers)
    ids = add_nodes(g, n)
    store(g, ids, data, "clip")
    queries = clustered(rng, 8, centers)  # held-out points of the same clusters
    unit = data.astype(np.float64) / np.linalg.norm(data.astype(np.float64), axis=1, keepdims=True)
    pos = {node: i for i, node in enumerate(ids)}
    found = 0
    for q in queries:
        qd = q.astype(np.float64)
        truth = set(np.argsort(-(unit @ (qd / np.linalg.norm(qd))))[:k])
        hits = g.knn_nodes(q.tolist(), k, "clip")
        assert len(hits) == k
        assert [d for _, d in hits] == sorted(d for _, d in hits)
        found += len(truth & {pos[node] for node, _ in hits})
    assert found / (k * len(queries)) >= 0.95
