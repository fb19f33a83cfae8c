#!/usr/bin/python3
"""Graph algorithms: ours against igraph on the same seeded power-law graphs.

PageRank on a 1M-node, 5M-edge graph: ours bulk-loaded into a database and
run through the query runner (graph view + computation, no Python), igraph
(PRPACK) on the same edge list already in memory. Betweenness (normalised,
undirected) on a 20k-node, 100k-edge graph: computation only, both sides.
PageRank in Kùzu 0.11.3 (project_graph + page_rank, median of three) on the
same edge list when ./install-kuzu has installed it; otherwise its time
measured earlier on this machine is quoted. Prints absolute wall and CPU
seconds, then the ratios ours / peer (below 1 means we are faster).

usage: run.py [path to algorithms_bench] [--nodes 1000000] [--edges 5000000]
              [--bc-nodes 20000] [--bc-edges 100000] [--seed 1] [--work DIR]
The driver defaults to build/bench/algorithms_vs_igraph/algorithms_bench.
(algorithms_cli beside it is not a driver: it prints one algorithm's scores
for the peer tests in tests/python.)
"""
import argparse
import json
import os
import shutil
import subprocess
import tempfile
import time

import igraph as ig
import numpy as np

KUZU_PAGERANK_SECONDS = 4.46  # project_graph + page_rank, Kùzu 0.11.3 from npm, measured earlier
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
DEFAULT_DRIVER = os.path.join(ROOT, "build", "bench", "algorithms_vs_igraph", "algorithms_bench")


def kuzu_pagerank(work):
    """Kùzu's PageRank seconds on work/pagerank.edges, or None when not installed."""
    if not (shutil.which("node") and os.path.isdir(os.path.join(HERE, "peers", "node_modules", "kuzu"))):
        return None
    out = subprocess.run(["node", os.path.join(HERE, "kuzu_pagerank.mjs"), work], check=True, capture_output=True,
                         text=True).stdout
    return json.loads(out)


def power_law_edges(n, m, seed, exponent=2.3):
    """Chung-Lu style: both ends drawn with weight (i + 1) ** (-1 / (exponent - 1))."""
    rng = np.random.default_rng(seed)
    w = (np.arange(n, dtype=np.float64) + 1.0) ** (-1.0 / (exponent - 1.0))
    cdf = np.cumsum(w)
    cdf /= cdf[-1]
    ends = np.searchsorted(cdf, rng.random(2 * m)).astype(np.uint32)
    perm = rng.permutation(n).astype(np.uint32)  # hubs spread over the ids
    return perm[np.minimum(ends, n - 1)].reshape(m, 2)


def write_edges(path, n, edges):
    with open(path, "wb") as f:
        f.write(np.array([n, len(edges)], dtype="<u8").tobytes())
        f.write(edges.astype("<u4").tobytes())


def timed(f):
    w0, c0 = time.perf_counter(), time.process_time()
    r = f()
    return r, {"wall": time.perf_counter() - w0, "cpu": time.process_time() - c0}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("driver", nargs="?", default=DEFAULT_DRIVER)
    ap.add_argument("--nodes", type=int, default=1_000_000)
    ap.add_argument("--edges", type=int, default=5_000_000)
    ap.add_argument("--bc-nodes", type=int, default=20_000)
    ap.add_argument("--bc-edges", type=int, default=100_000)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--work")
    a = ap.parse_args()
    if os.path.basename(a.driver) == "algorithms_cli":
        ap.error(f"{a.driver}: the driver is algorithms_bench (algorithms_cli prints scores for the peer tests)")
    if not os.access(a.driver, os.X_OK):
        ap.error(f"{a.driver}: not built (cmake --build build --target algorithms_bench)")
    work = a.work or tempfile.mkdtemp(prefix="algorithms_vs_igraph-")
    os.makedirs(work, exist_ok=True)

    big = power_law_edges(a.nodes, a.edges, a.seed)
    small = power_law_edges(a.bc_nodes, a.bc_edges, a.seed + 1)
    write_edges(os.path.join(work, "pagerank.edges"), a.nodes, big)
    write_edges(os.path.join(work, "betweenness.edges"), a.bc_nodes, small)

    g, build = timed(lambda: ig.Graph(n=a.nodes, edges=big, directed=True))
    _, peer_pr = timed(lambda: g.pagerank(damping=0.85))
    del g
    gs = ig.Graph(n=a.bc_nodes, edges=small, directed=False)
    _, peer_bc = timed(lambda: gs.betweenness(directed=False))

    out = subprocess.run([a.driver, work], check=True, capture_output=True, text=True).stdout
    ours = json.loads(out)
    kuzu = kuzu_pagerank(work)

    load = os.getloadavg()
    print(f"load average {load[0]:.1f} {load[1]:.1f} {load[2]:.1f} on {os.cpu_count()} cpus (shared machine)")
    print(f"PageRank graph: {a.nodes} nodes, {a.edges} edges; betweenness graph: {a.bc_nodes} nodes, {a.bc_edges} edges")
    rows = [
        ("ours bulk load", ours["load"]),
        ("ours PageRank via runner, first after load", ours["pagerank_runner_first"]),
        ("ours PageRank via runner, again", ours["pagerank_runner_again"]),
        ("  of which graph view reads", ours["pagerank_view"]),
        ("    of which the node list", ours["pagerank_view_nodes"]),
        ("  of which computation", ours["pagerank_compute"]),
        ("igraph graph construction", build),
        ("igraph PageRank", peer_pr),
        ("ours betweenness computation", ours["betweenness_compute"]),
        ("igraph betweenness", peer_bc),
    ]
    if kuzu:
        rows.append(("Kuzu load (COPY from CSV)", {"wall": kuzu["load"], "cpu": float("nan")}))
        rows.append(("Kuzu project_graph + page_rank (median)", {"wall": kuzu["pagerank_median"], "cpu": float("nan")}))
    for name, t in rows:
        print(f"{name:45s} wall {t['wall']:8.3f} s   cpu {t['cpu']:8.3f} s")
    print("ratios ours / peer (wall; below 1 means ours is faster):")
    print(f"  PageRank computation / igraph PageRank       {ours['pagerank_compute']['wall'] / peer_pr['wall']:.3f}")
    kuzu_seconds = kuzu["pagerank_median"] if kuzu else KUZU_PAGERANK_SECONDS
    kuzu_name = "Kuzu PageRank" if kuzu else f"Kuzu ({KUZU_PAGERANK_SECONDS} s quoted, not run here)"
    for run in ("first", "again"):
        t = ours[f"pagerank_runner_{run}"]["wall"]
        print(f"  PageRank runner ({run}) / igraph PageRank    {t / peer_pr['wall']:.3f}")
        print(f"  PageRank runner ({run}) / {kuzu_name} {t / kuzu_seconds:.3f}")
    print(f"  betweenness computation / igraph             {ours['betweenness_compute']['wall'] / peer_bc['wall']:.3f}")
    if not a.work:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
