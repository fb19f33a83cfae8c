"""Our graph algorithms against networkx and igraph where their semantics
agree, through bench/algorithms_vs_igraph's algorithms_cli."""
import json
import pathlib
import random
import subprocess

import pytest
import zudizid

nx = pytest.importorskip("networkx")
ig = pytest.importorskip("igraph")

CLI = pathlib.Path(zudizid.__file__).resolve().parents[2] / "bench" / "algorithms_vs_igraph" / "algorithms_cli"
pytestmark = pytest.mark.skipif(not CLI.exists(), reason="algorithms_cli not built")


def scores(algorithm, n, edges, *extra):
    text = f"{n}\n" + "".join(f"{u} {v}\n" for u, v in edges)
    out = subprocess.run([str(CLI), algorithm, *map(str, extra)], input=text, capture_output=True, text=True,
                         check=True)
    return json.loads(out.stdout)["scores"]


def random_digraph(seed, n, p, *, no_sinks=False, multi=False, loops=False):
    rng = random.Random(seed)
    edges = [(u, v) for u in range(n) for v in range(n) if (u != v or loops) and rng.random() < p]
    if multi:
        edges += rng.sample(edges, len(edges) // 5)
    if no_sinks:
        sources = {u for u, _ in edges}
        edges += [(u, (u + 1) % n) for u in range(n) if u not in sources]
    rng.shuffle(edges)
    return edges


def random_simple_graph(seed, n, p):
    """Each undirected pair at most once, in a random direction."""
    rng = random.Random(seed)
    edges = [(u, v) if rng.random() < 0.5 else (v, u) for u in range(n) for v in range(u + 1, n) if rng.random() < p]
    rng.shuffle(edges)
    return edges


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # networkx's own pagerank_scipy notice
@pytest.mark.parametrize("seed,n,p", [(1, 30, 0.1), (2, 120, 0.03), (3, 300, 0.02)])
def test_pagerank_without_sinks(seed, n, p):
    edges = random_digraph(seed, n, p, no_sinks=True)
    ours = scores("pagerank", n, edges)
    g = nx.DiGraph()
    g.add_nodes_from(range(n))
    g.add_edges_from(edges)
    theirs = nx.pagerank(g, alpha=0.85, tol=1e-14, max_iter=10000)
    assert max(abs(ours[v] - theirs[v]) for v in range(n)) < 1e-6
    prpack = ig.Graph(n=n, edges=edges, directed=True).pagerank(damping=0.85)
    assert max(abs(ours[v] - prpack[v]) for v in range(n)) < 1e-6


KUZU = CLI.parents[3] / "bench" / "algorithms_vs_igraph"


@pytest.mark.skipif(not (KUZU / "peers" / "node_modules" / "kuzu").exists(),
                    reason="Kùzu not installed (bench/algorithms_vs_igraph/install-kuzu)")
@pytest.mark.parametrize("seed,n,p", [(1, 30, 0.1), (3, 300, 0.02)])
def test_pagerank_against_kuzu_on_multigraphs_without_sinks(seed, n, p, tmp_path):
    edges = random_digraph(seed, n, p, no_sinks=True, multi=True, loops=True)
    ours = scores("pagerank", n, edges)
    text = f"{n}\n" + "".join(f"{u} {v}\n" for u, v in edges)
    out = subprocess.run(["node", str(KUZU / "kuzu_scores.mjs"), str(tmp_path)], input=text, capture_output=True,
                         text=True, check=True)
    theirs = json.loads(out.stdout)["scores"]
    assert max(abs(ours[v] - theirs[v]) for v in range(n)) < 1e-6


@pytest.mark.parametrize("seed,n,p", [(4, 12, 0.3), (5, 60, 0.08), (6, 150, 0.04)])
def test_betweenness_and_clustering_on_undirected_simple_graphs(seed, n, p):
    edges = random_simple_graph(seed, n, p)
    g = nx.Graph()
    g.add_nodes_from(range(n))
    g.add_edges_from(edges)
    between = scores("betweenness", n, edges)
    theirs = nx.betweenness_centrality(g, normalized=True)
    assert max(abs(between[v] - theirs[v]) for v in range(n)) < 1e-12
    raw = ig.Graph(n=n, edges=edges).betweenness(directed=False)
    scale = 2 / ((n - 1) * (n - 2))
    assert max(abs(between[v] - raw[v] * scale) for v in range(n)) < 1e-12

    clustering = scores("clustering", n, edges)
    theirs = nx.clustering(g)
    assert max(abs(clustering[v] - theirs[v]) for v in range(n)) < 1e-12


def test_degree_on_multigraphs():
    n = 80
    edges = random_digraph(7, n, 0.05, multi=True, loops=True)
    g = nx.MultiDiGraph()
    g.add_nodes_from(range(n))
    g.add_edges_from(edges)
    assert scores("degree", n, edges) == [float(g.degree(v)) for v in range(n)]


@pytest.mark.parametrize("seed", [8, 9])
def test_directed_shortest_path_lengths(seed):
    n = 70
    edges = random_digraph(seed, n, 0.03, multi=True, loops=True)
    g = nx.DiGraph()
    g.add_nodes_from(range(n))
    g.add_edges_from(edges)
    for source in (0, 17, 69):
        lengths = nx.single_source_shortest_path_length(g, source)
        assert scores("shortest_path", n, edges, source) == [float(lengths.get(v, -1)) for v in range(n)]


def test_leiden_finds_cliques_joined_by_single_edges():
    size, cliques = 7, 6
    edges = [(k * size + a, k * size + b) for k in range(cliques) for a in range(size) for b in range(a + 1, size)]
    edges += [(k * size, (k + 1) * size + 3) for k in range(cliques - 1)]
    leiden = scores("leiden", size * cliques, edges)
    assert leiden == [v // size for v in range(size * cliques)]
