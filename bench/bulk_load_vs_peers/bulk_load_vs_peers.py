"""Bulk load, durable commits, keyed upserts and open time against SQLite.

    PYTHONPATH=build/src/python python3 bench/bulk_load_vs_peers/bulk_load_vs_peers.py \
        [--nodes 1000000] [--edges 5000000] [--commits 2000] [--upserts 200]

One seeded graph: Person nodes (name, age, city) and KNOWS edges whose
out-degrees follow a power law. ZudizID loads it through Graph.bulk_loader;
SQLite (WAL) through executemany with synchronous=OFF and an index on the
edges' endpoints. Then durable commits of one node and one edge on 1 and on
8 threads, ZudizID against SQLite in WAL mode with synchronous=FULL (one
fsync per commit); upsert by business key with a hash index on
(Person, name); the open time of the loaded database and the process RSS.
Prints times and the ratio ours / SQLite.
"""
import argparse
import os
import random
import resource
import shutil
import sqlite3
import statistics
import tempfile
import threading
import time
import uuid

import zudizid

CITIES = ["Oslo", "Rome", "Lima", "Pune", "Kyiv", "Nuuk", "Baku", "Doha"]


def rss_mb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def make_graph(n_nodes, n_edges, seed=7):
    rnd = random.Random(seed)
    nodes = [(f"p{i}", 18 + rnd.randrange(60), CITIES[rnd.randrange(len(CITIES))]) for i in range(n_nodes)]
    # Power-law out-degree: the source's rank is n * u^2.6 (u uniform), so
    # the busiest of 1M nodes has about 25k of 5M edges.
    edges = []
    for _ in range(n_edges):
        s = min(int(n_nodes * rnd.random() ** 2.6), n_nodes - 1)
        s = (s * 7919) % n_nodes  # spread the hubs over the id range
        edges.append((s, rnd.randrange(n_nodes)))
    return nodes, edges


def timed(body):
    t0 = time.perf_counter()
    out = body()
    return time.perf_counter() - t0, out


def load_zudizid(path, nodes, edges):
    g = zudizid.Graph.open(path)
    loader = g.bulk_loader(10000)
    t0 = time.perf_counter()
    ids = [loader.add_node("Person", {"name": n, "age": a, "city": c}) for n, a, c in nodes]
    t_nodes = time.perf_counter() - t0
    for s, d in edges:
        loader.add_edge(ids[s], ids[d], "KNOWS")
    loader.finish()
    return g, ids, t_nodes, time.perf_counter() - t0


def load_sqlite(path, nodes, edges):
    db = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
    db.execute("PRAGMA journal_mode=WAL")
    db.execute("PRAGMA synchronous=OFF")
    db.execute("CREATE TABLE person (id INTEGER PRIMARY KEY, name TEXT, age INTEGER, city TEXT)")
    db.execute("CREATE TABLE knows (src INTEGER, dst INTEGER)")
    t0 = time.perf_counter()
    db.execute("BEGIN")
    db.executemany("INSERT INTO person VALUES (?, ?, ?, ?)", ((i, n, a, c) for i, (n, a, c) in enumerate(nodes)))
    db.executemany("INSERT INTO knows VALUES (?, ?)", edges)
    db.execute("CREATE INDEX knows_src ON knows (src)")
    db.execute("CREATE INDEX knows_dst ON knows (dst)")
    db.execute("COMMIT")
    return db, time.perf_counter() - t0


def commits_zudizid(g, ids, count, threads):
    per = count // threads

    def work(t):
        rnd = random.Random(t)
        for i in range(per):
            tx = g.begin_transaction()
            n = tx.add_node("Person", {"name": f"c{t}-{i}", "age": 30, "city": "Oslo"})
            tx.add_edge(n, ids[rnd.randrange(len(ids))], "KNOWS", {})
            tx.commit()

    return run_threads(work, threads)


def commits_sqlite(path, n_nodes, count, threads):
    per = count // threads

    def work(t):
        db = sqlite3.connect(path, isolation_level=None, timeout=60)
        db.execute("PRAGMA synchronous=FULL")
        rnd = random.Random(t)
        for i in range(per):
            db.execute("BEGIN IMMEDIATE")
            cur = db.execute("INSERT INTO person (name, age, city) VALUES (?, 30, 'Oslo')", (f"c{t}-{i}",))
            db.execute("INSERT INTO knows VALUES (?, ?)", (cur.lastrowid, rnd.randrange(n_nodes)))
            db.execute("COMMIT")
        db.close()

    return run_threads(work, threads)


def run_threads(work, threads):
    ts = [threading.Thread(target=work, args=(t,)) for t in range(threads)]
    t0 = time.perf_counter()
    for t in ts:
        t.start()
    for t in ts:
        t.join()
    return time.perf_counter() - t0


def row(name, ours, peer):
    ratio = f"{ours / peer:8.2f}" if peer else "       -"
    print(f"{name:<44} {ours:10.3f} s {peer:10.3f} s {ratio}", flush=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--nodes", type=int, default=1_000_000)
    ap.add_argument("--edges", type=int, default=5_000_000)
    ap.add_argument("--commits", type=int, default=2000)
    ap.add_argument("--upserts", type=int, default=200)
    args = ap.parse_args()

    nodes, edges = make_graph(args.nodes, args.edges)
    degree = {}
    for s, _ in edges:
        degree[s] = degree.get(s, 0) + 1
    print(f"graph: {len(nodes)} nodes, {len(edges)} edges, largest out-degree {max(degree.values())}; "
          f"load average {os.getloadavg()[0]:.1f}")
    print(f"{'workload':<44} {'ZudizID':>12} {'SQLite':>12} {'ratio':>8}")
    root = tempfile.mkdtemp(prefix="zudizid-bulk-bench-")
    try:
        zpath, spath = os.path.join(root, "zz"), os.path.join(root, "peer.sqlite")
        g, ids, t_nodes, t_all = load_zudizid(zpath, nodes, edges)
        sdb, s_all = load_sqlite(spath, nodes, edges)
        print(f"  (ZudizID nodes alone {t_nodes:.3f} s; RSS after load {rss_mb():.0f} MB)")
        row("bulk load", t_all, s_all)
        for threads in (1, 8):
            ours = commits_zudizid(g, ids, args.commits, threads)
            peer = commits_sqlite(spath, len(nodes), args.commits, threads)
            row(f"{args.commits} durable commits, {threads} thread(s)", ours, peer)

        g.create_index("Person", "name", "hash")
        sdb.execute("CREATE INDEX person_name ON person (name)")
        rnd = random.Random(3)
        picks = [nodes[rnd.randrange(len(nodes))] for _ in range(args.upserts)]
        ours, _ = timed(lambda: [g.upsert("Person", "name", {"name": n, "age": a + 1, "city": c}) for n, a, c in picks])
        peer, _ = timed(lambda: [sdb.execute("UPDATE person SET age = ? WHERE name = ?", (a + 1, n)) for n, a, _ in picks])
        row(f"{args.upserts} upserts by indexed key (per call x1000)", ours / args.upserts * 1000,
            peer / args.upserts * 1000)

        t_count, _ = timed(g.node_count)
        print(f"  node_count: {t_count * 1000:.1f} ms")
        g.close()
        sdb.close()
        opens = []
        for _ in range(3):
            t, g = timed(lambda: zudizid.Graph.open(zpath))
            opens.append(t)
            g.close()
        size = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(zpath) for f in fs)
        print(f"  open of the loaded database: median {statistics.median(opens):.3f} s; RSS after open "
              f"{rss_mb():.0f} MB; {size / 1e6:.0f} MB on disk")
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
