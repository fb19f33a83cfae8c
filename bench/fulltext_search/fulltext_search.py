"""Full-text search through the Python module against SQLite FTS5.

100,000 Zipf documents as nodes; times Graph.create_index(..., "fulltext")
(which fills the index over the stored nodes with one commit) against an FTS5
build of the same texts (inserts and one commit), then 1,000 top-10 queries
(500 of one term, 500 of two terms OR-ed) through Graph.search_hybrid(text=...,
k=10) against FTS5's `ORDER BY rank LIMIT 10` loop. Both stores are on disk.
Prints the medians and the ratios ours / FTS5.

    PYTHONPATH=build/src/python python3 bench/fulltext_search/fulltext_search.py [num_docs] [runs]
"""
import math
import os
import random
import shutil
import sqlite3
import statistics
import sys
import tempfile
import time

import zudizid


def zipf_rank(rng, n):
    return min(int(math.exp(rng.random() * math.log(n + 1.0))) - 1, n - 1)


def workload(num_docs, seed=7):
    rng = random.Random(seed)
    docs = [" ".join(f"t{zipf_rank(rng, 50000)}" for _ in range(4 + rng.randrange(30))) for _ in range(num_docs)]
    queries = []
    for q in range(1000):
        terms = [f"t{zipf_rank(rng, 5000)}"]
        if q % 2:
            terms.append(f"t{zipf_rank(rng, 5000)}")
        queries.append(terms)
    return docs, queries


def run_ours(root, docs, queries):
    path = os.path.join(root, "graph")
    g = zudizid.Graph.open(path)
    tx = g.begin_transaction()
    for t in docs:
        tx.add_node("Doc", {"body": t})
    tx.commit()
    started = time.perf_counter()
    g.create_index("Doc", "body", "fulltext")
    build = time.perf_counter() - started
    started, hits = time.perf_counter(), 0
    for terms in queries:
        hits += len(g.search_hybrid(text=" OR ".join(terms), k=10))
    search = time.perf_counter() - started
    g.close()
    shutil.rmtree(path)
    return build, search, hits


def run_fts5(root, docs, queries):
    path = os.path.join(root, "fts.db")
    db = sqlite3.connect(path)

    started = time.perf_counter()
    db.execute("CREATE VIRTUAL TABLE docs USING fts5(body)")
    db.executemany("INSERT INTO docs(body) VALUES (?)", ((t,) for t in docs))
    db.commit()
    build_s = time.perf_counter() - started
    started, hits = time.perf_counter(), 0
    for terms in queries:
        hits += len(db.execute("SELECT rowid FROM docs WHERE docs MATCH ? ORDER BY rank LIMIT 10",
                               (" OR ".join(terms),)).fetchall())
    search = time.perf_counter() - started
    db.close()
    os.remove(path)
    return build_s, search, hits


def main():
    num_docs = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    docs, queries = workload(num_docs)
    ours, fts5 = [], []
    root = tempfile.mkdtemp(prefix="fulltext-search-py-")
    try:
        for _ in range(runs):
            ours.append(run_ours(root, docs, queries))
            fts5.append(run_fts5(root, docs, queries))
    finally:
        shutil.rmtree(root, ignore_errors=True)
    ob, os_ = statistics.median(r[0] for r in ours), statistics.median(r[1] for r in ours)
    fb, fs = statistics.median(r[0] for r in fts5), statistics.median(r[1] for r in fts5)
    print(f"documents: {num_docs}, 1000 top-10 queries, median of {runs} runs")
    print(f"create_index fill  {ob:8.3f} s   fts5 build {fb:8.3f} s   ours/fts5 {ob / fb:.3f}x (target <= 2.0)")
    print(f"search_hybrid loop {os_:8.3f} s   fts5 loop  {fs:8.3f} s   ours/fts5 {os_ / fs:.3f}x (target <= 1.0)"
          f"   hits {ours[0][2]} / {fts5[0][2]}")


if __name__ == "__main__":
    main()
