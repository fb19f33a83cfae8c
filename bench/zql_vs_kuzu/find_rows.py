"""FIND rows of the ZQL benchmark: ZudizID against SQLite and Kùzu 0.11.3
(when ./install-kuzu has put it where node finds it from this folder;
kuzu_find_rows.mjs runs it), on one seeded Person(name, age, city) graph.

  find-index  1,000 x FIND n.age FROM (n:Person) WHERE n.name = $x
              (hash index on Person.name; SQLite index on name)
  group-by    10 x FIND n.city, count(n), avg(n.age) FROM (n:Person) GROUP BY n.city

Run: PYTHONPATH=build/src/python /usr/bin/python3 bench/zql_vs_kuzu/find_rows.py [--persons N]
Prints the median of five runs per system and the ratios ours / peer.
"""
import argparse
import json
import os
import random
import shutil
import sqlite3
import statistics
import subprocess
import tempfile
import time

import zudizid

HERE = os.path.dirname(os.path.abspath(__file__))
CITIES = [f"city{i}" for i in range(50)]


def people(n, seed=20):
    rnd = random.Random(seed)
    return [(f"person{i}", rnd.randrange(18, 90), rnd.choice(CITIES)) for i in range(n)]


def median_time(fn, runs=5):
    times = []
    for _ in range(runs):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def kuzu_installed():
    """Whether node finds the kuzu package from this folder: like node, look
    in node_modules here and in every folder above (npm install puts it in
    the nearest one that already has node_modules, e.g. the repository's)."""
    d = HERE
    while True:
        if os.path.isdir(os.path.join(d, "node_modules", "kuzu")):
            return True
        parent = os.path.dirname(d)
        if parent == d:
            return False
        d = parent


def run_kuzu(tmp, rows, lookups):
    """Kùzu's median seconds per row, or the reason there are none."""
    if not shutil.which("node") or not kuzu_installed():
        return "not installed (run ./install-kuzu)"
    with open(os.path.join(tmp, "person.csv"), "w") as f:
        f.writelines(f"{name},{age},{city}\n" for name, age, city in rows)
    with open(os.path.join(tmp, "lookups.json"), "w") as f:
        json.dump(lookups, f)
    run = subprocess.run(["node", os.path.join(HERE, "kuzu_find_rows.mjs"), tmp], capture_output=True, text=True,
                         cwd=HERE)
    if run.returncode != 0:
        return "failed: " + run.stderr.strip()[-300:]
    return json.loads(run.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--persons", type=int, default=20000)
    args = ap.parse_args()
    rows = people(args.persons)
    rnd = random.Random(5)
    lookups = [rows[rnd.randrange(len(rows))][0] for _ in range(1000)]
    tmp = tempfile.mkdtemp(prefix="zql-find-bench-")
    try:
        g = zudizid.Graph.open(os.path.join(tmp, "db"))
        loader = g.bulk_loader(10000)
        for name, age, city in rows:
            loader.add_node("Person", {"name": name, "age": age, "city": city})
        loader.finish()
        g.execute_zql("CREATE INDEX ON Person(name)")

        db = sqlite3.connect(os.path.join(tmp, "peer.sqlite"))
        db.execute("PRAGMA journal_mode=WAL")
        db.execute("PRAGMA synchronous=FULL")
        db.execute("CREATE TABLE person(name TEXT, age INT, city TEXT)")
        db.executemany("INSERT INTO person VALUES (?, ?, ?)", rows)
        db.execute("CREATE INDEX person_name ON person(name)")
        db.commit()

        def ours_find():
            for x in lookups:
                r = g.execute_zql(f"FIND n.age FROM (n:Person) WHERE n.name = '{x}'")
                assert len(r) == 1

        def peer_find():
            for x in lookups:
                assert len(db.execute(f"SELECT age FROM person WHERE name = '{x}'").fetchall()) == 1

        def ours_group():
            for _ in range(10):
                assert len(g.execute_zql("FIND n.city, count(n), avg(n.age) FROM (n:Person) GROUP BY n.city")) == 50

        def peer_group():
            for _ in range(10):
                assert len(db.execute("SELECT city, count(*), avg(age) FROM person GROUP BY city").fetchall()) == 50

        kuzu = run_kuzu(tmp, rows, lookups)
        print(f"persons={args.persons}  load average {os.getloadavg()[0]:.1f}")
        for row, ours, peer, goal in [("find-index", ours_find, peer_find, 2.0), ("group-by", ours_group, peer_group, 3.0)]:
            a, b = median_time(ours), median_time(peer)
            k = kuzu.get(row) if isinstance(kuzu, dict) else None
            print(f"{row:11s} zudizid {a * 1000:9.1f} ms  sqlite {b * 1000:9.1f} ms  ratio {a / b:6.2f}x (goal <= {goal}x)"
                  + (f"  kuzu {k * 1000:9.1f} ms  ratio {a / k:6.2f}x" if k else f"  kuzu: {kuzu}"))
        g.close()
        db.close()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
