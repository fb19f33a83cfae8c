"""FIND rows of the ZQL benchmark: ZudizID against SQLite (and Kùzu when the
npm package is installed under bench/), on one seeded Person(name, age, city)
graph.

  find-index  1,000 x FIND n.age FROM (n:Person) WHERE n.name = $x
              (hash index on Person.name; SQLite index on name)
  group-by    10 x FIND n.city, count(n), avg(n.age) FROM (n:Person) GROUP BY n.city

Run: PYTHONPATH=build/src/python /usr/bin/python3 bench/zql_vs_kuzu/find_rows.py [--persons N]
Prints the median of five runs per system and the ratio ours / peer.
"""
import argparse
import os
import random
import shutil
import sqlite3
import statistics
import subprocess
import tempfile
import time

import zudizid

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

        kuzu = shutil.which("node") and os.path.isdir(os.path.join(os.path.dirname(__file__), "..", "node_modules", "kuzu"))
        print(f"persons={args.persons}  load average {os.getloadavg()[0]:.1f}")
        for row, ours, peer, goal in [("find-index", ours_find, peer_find, 2.0), ("group-by", ours_group, peer_group, 3.0)]:
            a, b = median_time(ours), median_time(peer)
            print(f"{row:11s} zudizid {a * 1000:9.1f} ms  sqlite {b * 1000:9.1f} ms  ratio {a / b:6.2f}x (goal <= {goal}x)"
                  + ("" if kuzu else "  kuzu: not installed"))
        g.close()
        db.close()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
