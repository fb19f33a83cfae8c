"""Full-text indexes and Graph.search_hybrid."""
import pytest

import zudizid
from graph_fill import fill

TEXTS = ["the big cat", "a big dog", "cat food", "dog and cat", "nothing here"]


def make(graph):
    ids = fill(graph, [("Doc", {"body": t}) for t in TEXTS])
    assert graph.create_index("Doc", "body", "fulltext") == "Doc_body"
    return ids


def text_hits(graph, text, **kw):
    return [h["node_id"] for h in graph.search_hybrid(text=text, k=10, **kw)]


def test_in_memory_query_ranks_and_shapes():
    g = zudizid.Graph.in_memory()
    ids = make(g)
    hits = g.search_hybrid(text="cat")
    assert {h["node_id"] for h in hits} == {ids[0], ids[2], ids[3]}
    for rank, h in enumerate(hits):
        assert list(h) == ["node_id", "score", "text_rank", "vector_rank"]
        assert h["text_rank"] == rank and h["vector_rank"] is None
        assert h["score"] == pytest.approx(1 / (60 + rank), rel=1e-6)
    assert set(text_hits(g, '"big cat"')) == {ids[0]}
    assert set(text_hits(g, "cat -dog")) == {ids[0], ids[2]}
    assert g.search_hybrid(text="cat", k=0) == []
    with pytest.raises(RuntimeError, match="Failed to parse query: Syntax Error: a AND"):
        g.search_hybrid(text="a AND")
    with pytest.raises(RuntimeError, match="provide at least one of"):
        g.search_hybrid()
    with pytest.raises(ValueError):
        g.search_hybrid(text="cat", vector=[1.0, 0.0])


def test_no_fulltext_index():
    g = zudizid.Graph.in_memory()
    with pytest.raises(RuntimeError, match="no full-text index exists"):
        g.search_hybrid(text="cat")


def test_reopen_keeps_the_index(tmp_path):
    path = str(tmp_path / "db")
    g = zudizid.Graph.open(path)
    ids = make(g)
    g.close()
    g = zudizid.Graph.open(path)
    assert set(text_hits(g, "dog")) == {ids[1], ids[3]}
    g.close()


def bm25_scores(texts, query_terms):
    """BM25 in float32 straight from the texts (short texts: the field length
    is the token count), terms added in query order; {index: score}."""
    import numpy as np

    f = np.float32
    docs = [t.split() for t in texts]
    n_docs = len(docs)
    avg = f(sum(len(d) for d in docs)) / f(n_docs)
    scores = {}
    for term in query_terms:
        holders = [i for i, d in enumerate(docs) if term in d]
        n = len(holders)
        idf = np.log((f(n_docs - n) + f(0.5)) / (f(n) + f(0.5)) + f(1.0), dtype=np.float32)
        weight = f(2.2) * idf
        for i in holders:
            tf = f(docs[i].count(term))
            norm = ((f(len(docs[i])) * f(0.75)) / avg + f(0.25)) * f(1.2)
            scores[i] = scores.get(i, f(0.0)) + (tf / (norm + tf)) * weight
    return scores


def assert_ranks_by_bm25(graph, ids, texts, query, k):
    """The text ranking lists the k best BM25 scores, best first (equal
    scores in any order)."""
    expected = bm25_scores(texts, query.split(" OR "))
    by_id = {ids[i]: s for i, s in expected.items()}
    hits = graph.search_hybrid(text=query, k=k)
    assert [h["text_rank"] for h in hits] == list(range(len(hits)))
    assert [by_id[h["node_id"]] for h in hits] == sorted(expected.values(), reverse=True)[:k]


def test_fill_commits_once_and_matches_per_node_inserts(tmp_path):
    import json
    import os

    words = ["alpha", "beta", "gamma", "delta", "eps"]

    def text(i):
        return f"{words[i % 5]} {words[(i * 7) % 5]} n{i % 97}" + " pad" * (i % 4)

    queries = ["alpha OR n3", "n5", "beta OR pad OR n96"]
    n = 100_000
    texts = [text(i) for i in range(n)]
    path = str(tmp_path / "db")
    g = zudizid.Graph.open(path)
    ids = fill(g, [("Doc", {"body": t}) for t in texts])
    g.create_index("Doc", "body", "fulltext")
    for q in queries:
        assert_ranks_by_bm25(g, ids, texts, q, 50)
    # The fill commits once: one segment per indexing worker, not per node.
    metas = [json.load(open(os.path.join(r, "meta.json"))) for r, _, fs in os.walk(path) if "meta.json" in fs]
    (meta,) = [m for m in metas if isinstance(m, dict) and "segments" in m]
    assert 1 <= len(meta["segments"]) <= 8
    assert sum(s["max_doc"] for s in meta["segments"]) == n
    g.close()

    # The same nodes written one commit each (index first) rank alike. Each
    # commit adds a segment, so this side keeps to 500 nodes (seconds).
    small = texts[:500]
    a = zudizid.Graph.in_memory()
    a_ids = fill(a, [("Doc", {"body": t}) for t in small])
    a.create_index("Doc", "body", "fulltext")
    b = zudizid.Graph.in_memory()
    b.create_index("Doc", "body", "fulltext")
    b_ids = [fill(b, [("Doc", {"body": t})])[0] for t in small]
    for q in queries:
        assert_ranks_by_bm25(a, a_ids, small, q, 40)
        assert_ranks_by_bm25(b, b_ids, small, q, 40)


def test_deleted_nodes_never_come_back(db_path):
    """After deletes, no search_hybrid call (text, vector or both) names a
    deleted node, before and after a reopen, and live nodes still fill k."""
    import math

    g = zudizid.Graph.open(db_path)
    n = 40
    ids = fill(g, [("Doc", {"k": i, "body": "cat " * (1 + i % 5) + f"w{i}"}) for i in range(n)])
    g.create_index("Doc", "body", "fulltext")
    for i, node in enumerate(ids):
        g.add_node_embedding(node, [math.cos(math.radians(i)), math.sin(math.radians(i))], "m")
    calls = [dict(text="cat"), dict(vector=[1.0, 0.0], model="m"), dict(text="cat", vector=[1.0, 0.0], model="m")]
    for kw in calls:  # rankings cached before the deletes
        assert len(g.search_hybrid(k=5, **kw)) == 5
    gone = {ids[i] for i in range(0, n, 3)} | {ids[4]}
    for i, node in enumerate(ids):
        if node in gone:
            assert g.delete("Doc", "k", i) == node

    def check(graph):
        for kw in calls:
            for k in (1, 5, 20, 100):
                hits = [h["node_id"] for h in graph.search_hybrid(k=k, **kw)]
                assert not gone & set(hits), (kw, k)
                assert len(hits) == min(k, n - len(gone)), (kw, k)

    check(g)
    g.close()
    g = zudizid.Graph.open(db_path)
    check(g)
    g.close()
