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


def test_fill_commits_once_and_matches_per_node_inserts():
    n = 100_000
    words = ["alpha", "beta", "gamma", "delta", "eps"]
    nodes = [("Doc", {"body": f"{words[i % 5]} {words[(i * 7) % 5]} n{i % 97}"}) for i in range(n)]
    g = zudizid.Graph.in_memory()
    fill(g, nodes)
    g.create_index("Doc", "body", "fulltext")
    filled = g.search_hybrid(text="alpha n3", k=50)
    assert len(filled) == 50
    # The same documents added node by node (index first) rank alike.
    small = nodes[:300]
    a = zudizid.Graph.in_memory()
    fill(a, small)
    a.create_index("Doc", "body", "fulltext")
    b = zudizid.Graph.in_memory()
    b.create_index("Doc", "body", "fulltext")
    for node in small:
        fill(b, [node])
    ra = [(h["score"], h["text_rank"]) for h in a.search_hybrid(text="alpha n3", k=20)]
    rb = [(h["score"], h["text_rank"]) for h in b.search_hybrid(text="alpha n3", k=20)]
    assert ra == rb
