#!/usr/bin/python3
"""Arrow export against SQLite fetching the same rows into Python.

Loads a seeded graph (nodes with six properties of mixed kinds, edges with
two) into a fresh ZudizID database (nodes through the bulk loader, edges
through transactions, which carry edge properties) and the same rows into
SQLite (WAL, synchronous=FULL), then times, median of --runs:
  to_arrow(label) vs SELECT * FROM nodes WHERE label = ? (fetchall)
  to_arrow()      vs SELECT id, label, 6 FROM nodes (fetchall)
  edges_to_arrow  vs SELECT * FROM edges (fetchall)
and prints seconds, MB/s of Arrow bytes and the ratio ours / SQLite (lower
is better). The first stream of each kind is decoded by apache-arrow as a
check of row counts.

usage: PYTHONPATH=build/src/python run.py [--nodes 1000000] [--edges 2000000]
"""
import argparse
import json
import os
import random
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time
import uuid

import zudizid

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LABELS = ["Person", "City", "Company", "Product"]


def node_props(rng, i):
    return {"name": f"n{i}", "age": rng.randrange(100), "score": rng.random(), "active": rng.random() < 0.5,
            "city": rng.choice(["Oslo", "Lima", "Pune", "Kyiv"]), "rank": i if i % 3 else f"r{i}"}


def median_time(fn, runs):
    times, result = [], None
    for _ in range(runs):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def rows_of(data, tmp):
    path = os.path.join(tmp, "check.arrow")
    with open(path, "wb") as f:
        f.write(data)
    out = subprocess.run(["node", os.path.join(ROOT, "tests/python/arrow_read.mjs"), "--rows", path],
                         capture_output=True, text=True)
    if out.returncode != 0:
        sys.exit(f"apache-arrow could not decode our stream ({len(data)} bytes), exit {out.returncode}:\n"
                 f"{out.stderr[-2000:]}")
    return json.loads(out.stdout)[0]["rows"]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--nodes", type=int, default=1_000_000)
    ap.add_argument("--edges", type=int, default=2_000_000)
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    rng = random.Random(42)
    tmp = tempfile.mkdtemp(prefix="arrow_bench_")

    g = zudizid.Graph.open(os.path.join(tmp, "db"))
    db = sqlite3.connect(os.path.join(tmp, "peer.sqlite"))
    db.execute("PRAGMA journal_mode=WAL")
    db.execute("PRAGMA synchronous=FULL")
    db.execute("CREATE TABLE nodes(id TEXT PRIMARY KEY, label TEXT, name, age, score, active, city, rank)")
    db.execute("CREATE INDEX nodes_label ON nodes(label)")
    db.execute("CREATE TABLE edges(id TEXT PRIMARY KEY, source TEXT, target TEXT, edge_type TEXT, weight, note)")

    start = time.perf_counter()
    loader = g.bulk_loader(100_000)
    ids, rows = [], []
    for i in range(args.nodes):
        label, props = LABELS[i % len(LABELS)], node_props(rng, i)
        node_id = loader.add_node(label, props)
        ids.append(node_id)
        rows.append((node_id, label, *props.values()))
    loader.finish()
    db.executemany("INSERT INTO nodes VALUES (?,?,?,?,?,?,?,?)", rows)
    erows = []
    tx = g.begin_transaction()
    for i in range(args.edges):
        s, t = rng.choice(ids), rng.choice(ids)
        props = {"weight": rng.random(), "note": f"e{i}"}
        eid = tx.add_edge(s, t, "LINKS", props)
        erows.append((eid, s, t, "LINKS", props["weight"], props["note"]))
        if (i + 1) % 50_000 == 0:
            tx.commit()
            tx = g.begin_transaction()
    tx.commit()
    db.executemany("INSERT INTO edges VALUES (?,?,?,?,?,?)", erows)
    db.commit()
    print(f"loaded {args.nodes} nodes, {args.edges} edges in {time.perf_counter() - start:.1f} s")
    del rows, erows

    cases = [
        ("to_arrow('Person')", lambda: g.to_arrow("Person"),
         lambda: db.execute("SELECT * FROM nodes WHERE label = ?", ("Person",)).fetchall(), args.nodes // 4),
        ("to_arrow()", lambda: g.to_arrow(),
         lambda: db.execute("SELECT id, label, 6 FROM nodes").fetchall(), args.nodes),
        ("edges_to_arrow()", lambda: g.edges_to_arrow(),
         lambda: db.execute("SELECT * FROM edges").fetchall(), args.edges),
    ]
    print(f"{'export':<20} {'ours s':>8} {'MB/s':>8} {'sqlite s':>9} {'ours/sqlite':>12}")
    for name, ours, peer, rows_expected in cases:
        t_ours, data = median_time(ours, args.runs)
        t_peer, fetched = median_time(peer, args.runs)
        assert rows_of(data, tmp) == rows_expected == len(fetched), name
        print(f"{name:<20} {t_ours:8.3f} {len(data) / t_ours / 1e6:8.1f} {t_peer:9.3f} {t_ours / t_peer:12.2f}")
    g.close()
    db.close()
    shutil.rmtree(tmp)


if __name__ == "__main__":
    sys.exit(main())
