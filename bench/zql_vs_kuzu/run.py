#!/usr/bin/python3
"""ZQL statements against Kùzu 0.11.3 (npm) and SQLite, shared by the ZQL benchmarks.

One seeded graph, Person(name, age, city) nodes and KNOWS(w) edges, 20k/100k
(--large: 1M/5M), is loaded into all three: ZudizID (hash index on
Person.name), Kùzu (name as primary key) and SQLite (WAL, synchronous=FULL,
index on name). Each row times one workload in every system and prints the
seconds and the ratios ours / peer (lower is better). Statement texts carry
their values written in ($x in the row descriptions).

Rows:
  update   2,000 durable  UPDATE (n:Person {name: $x}) SET n.age = $k
           vs Kùzu  MATCH (n:Person {name: $x}) SET n.age = $k
           vs SQLite UPDATE person SET age = $k WHERE name = $x (one commit each)
  path-sum 100 × FIND path_sum('w') AS s FROM (a:Person {name: $x})-[:KNOWS]->{1,2}(b)
           vs Kùzu  MATCH (a:Person {name: $x})-[e:KNOWS* ACYCLIC 1..2]->(b)
                    WHERE a <> b AND neither end among nodes(e)
                    RETURN list_sum(properties(rels(e), 'w'))
           (Kùzu's ACYCLIC checks only the inner nodes; our paths never
           revisit a node, the ends included)
  path-vm  the same sums through INIT 'total = 0' GATHER 'total = total + edge.w'
           RETURN 'total' (FIND path.result), vs the same Kùzu statement
  The sums of every start node must agree with Kùzu's (as multisets).
  hop1     1,000 x FIND count(*) FROM (a:Person {name: $x})-[:KNOWS]->(b)
           vs Kùzu  MATCH (a:Person {name: $x})-[:KNOWS]->(b) RETURN count(*)
           vs SQLite count(*) over person JOIN knows (index on knows.src)
  hop2     100 x FIND DISTINCT c.name FROM (a:Person {name: $x})-[:KNOWS]->(b)-[:KNOWS]->(c)
           vs Kùzu  MATCH ...-[:KNOWS]->(b)-[:KNOWS]->(c) RETURN DISTINCT c.name
           vs SQLite SELECT DISTINCT c.name over two joins of knows
The hop rows take the same names in every system and check that the sums
of their answers (counts; numbers of distinct names) agree.

usage: ./install-kuzu; PYTHONPATH=build/src/python bench/zql_vs_kuzu/run.py [--large] [--runs 3]
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
CITIES = ["Oslo", "Lima", "Pune", "Kyiv", "Quito", "Turku"]


def seeded_graph(nodes, edges, seed=42):
    rng = random.Random(seed)
    people = [(f"p{i}", rng.randrange(18, 90), rng.choice(CITIES)) for i in range(nodes)]
    knows = [(rng.randrange(nodes), rng.randrange(nodes), round(rng.random(), 6)) for _ in range(edges)]
    return people, knows


def updates(nodes, count, seed=7):
    rng = random.Random(seed)
    return [(f"p{rng.randrange(nodes)}", rng.randrange(18, 90)) for _ in range(count)]


def load_ours(path, people, knows):
    g = zudizid.Graph.open(path)
    loader = g.bulk_loader(100_000)
    ids = [loader.add_node("Person", {"name": n, "age": a, "city": c}) for n, a, c in people]
    loader.finish()
    tx = g.begin_transaction()
    for i, (s, t, w) in enumerate(knows):
        tx.add_edge(ids[s], ids[t], "KNOWS", {"w": w})
        if (i + 1) % 50_000 == 0:
            tx.commit()
            tx = g.begin_transaction()
    tx.commit()
    g.execute_zql("CREATE INDEX ON Person(name)")
    return g


def load_sqlite(path, people, knows):
    db = sqlite3.connect(path, isolation_level=None)
    db.execute("PRAGMA journal_mode=WAL")
    db.execute("PRAGMA synchronous=FULL")
    db.execute("CREATE TABLE person(id INTEGER PRIMARY KEY, name TEXT, age INTEGER, city TEXT)")
    db.execute("CREATE TABLE knows(src INTEGER, dst INTEGER, w REAL)")
    db.execute("BEGIN")
    db.executemany("INSERT INTO person VALUES (?,?,?,?)", ((i, n, a, c) for i, (n, a, c) in enumerate(people)))
    db.executemany("INSERT INTO knows VALUES (?,?,?)", knows)
    db.execute("COMMIT")
    db.execute("CREATE INDEX person_name ON person(name)")
    db.execute("CREATE INDEX knows_src ON knows(src)")
    return db


PATH_SUM = "FIND path_sum('w') AS s FROM (a:Person {{name: '{}'}})-[:KNOWS]->{{1,2}}(b)"
PATH_VM = ("FIND path.result AS s FROM (a:Person {{name: '{}'}})-[:KNOWS]->{{1,2}}(b) "
           "INIT 'total = 0' GATHER 'total = total + edge.w' RETURN 'total'")


def path_starts(nodes, count=100, seed=11):
    rng = random.Random(seed)
    return [f"p{rng.randrange(nodes)}" for _ in range(count)]


def path_sums(g, template, starts):
    """{start: sorted sums} of `template` run once per start."""
    return {x: sorted(r["s"] for r in g.execute_zql(template.format(x))) for x in starts}


def sums_agree(ours, peer):
    return ours.keys() == peer.keys() and all(
        len(ours[x]) == len(peer[x]) and all(abs(a - b) <= 1e-9 * max(1.0, abs(b)) for a, b in zip(ours[x], peer[x]))
        for x in ours)
HOP1 = "FIND count(*) FROM (a:Person {{name: '{}'}})-[:KNOWS]->(b)"
HOP2 = "FIND DISTINCT c.name FROM (a:Person {{name: '{}'}})-[:KNOWS]->(b)-[:KNOWS]->(c)"
SQL_HOP1 = "SELECT count(*) FROM person a JOIN knows k ON k.src = a.id WHERE a.name = ?"
SQL_HOP2 = ("SELECT DISTINCT c.name FROM person a JOIN knows k1 ON k1.src = a.id JOIN knows k2 ON k2.src = k1.dst "
            "JOIN person c ON c.id = k2.dst WHERE a.name = ?")


def hop_rows(g, db, hops, runs, rows, sums):
    """Times hop1 and hop2 in ZudizID and SQLite; keeps each system's answer sums."""
    def ours_hop1(x):
        return next(iter(dict(next(iter(g.execute_zql(HOP1.format(x))))).values()))

    def ours_hop2(x):
        return len(g.execute_zql(HOP2.format(x)))

    def lite_hop1(x):
        return db.execute(SQL_HOP1, (x,)).fetchone()[0]

    def lite_hop2(x):
        return len(db.execute(SQL_HOP2, (x,)).fetchall())

    for name, ours_fn, lite_fn in [("hop1", ours_hop1, lite_hop1), ("hop2", ours_hop2, lite_hop2)]:
        names = hops[name]
        ours, lite = [], []
        for _ in range(runs):
            got = []
            ours.append(timed(lambda: got.extend(ours_fn(x) for x in names)))
            sums.setdefault(name, {})["ours"] = sum(got)
            got = []
            lite.append(timed(lambda: got.extend(lite_fn(x) for x in names)))
            sums[name]["sqlite"] = sum(got)
        rows[name] = {"ours": statistics.median(ours), "sqlite": statistics.median(lite)}


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--large", action="store_true")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--updates", type=int, default=2000)
    args = ap.parse_args()
    nodes, edges = (1_000_000, 5_000_000) if args.large else (20_000, 100_000)
    people, knows = seeded_graph(nodes, edges)
    pick = random.Random(11)
    hops = {"hop1": [people[pick.randrange(nodes)][0] for _ in range(1000)],
            "hop2": [people[pick.randrange(nodes)][0] for _ in range(100)]}
    tmp = tempfile.mkdtemp(prefix="zql_vs_kuzu_")
    try:
        data = os.path.join(tmp, "graph.json")
        with open(data, "w") as f:
            json.dump({"people": people, "knows": knows, "hops": hops}, f)
        start = time.perf_counter()
        g = load_ours(os.path.join(tmp, "ours"), people, knows)
        db = load_sqlite(os.path.join(tmp, "peer.sqlite"), people, knows)
        print(f"loaded {nodes} Person, {edges} KNOWS into ZudizID and SQLite in {time.perf_counter() - start:.1f} s")

        rows = {}
        ours, lite = [], []
        for run in range(args.runs):
            work = updates(nodes, args.updates, seed=run)
            ours.append(timed(lambda: [g.execute_zql(f"UPDATE (n:Person {{name: '{x}'}}) SET n.age = {k}")
                                       for x, k in work]))
            lite.append(timed(lambda: [db.execute("UPDATE person SET age = ? WHERE name = ?", (k, x))
                                       for x, k in work]))
        rows["update"] = {"ours": statistics.median(ours), "sqlite": statistics.median(lite)}
        starts = path_starts(nodes)
        with open(os.path.join(tmp, "starts.json"), "w") as f:
            json.dump(starts, f)
        sums = {}
        for name, template in (("path-sum", PATH_SUM), ("path-vm", PATH_VM)):
            times = []
            for run in range(args.runs):
                times.append(timed(lambda: sums.__setitem__(name, path_sums(g, template, starts))))
            rows[name] = {"ours": statistics.median(times)}
        if sums["path-sum"] != sums["path-vm"]:
            print("MISMATCH: path_sum and the INIT/GATHER/RETURN program give different sums")
        hop_sums = {}
        hop_rows(g, db, hops, args.runs, rows, hop_sums)
        g.close()
        db.close()

        kuzu = subprocess.run(["node", os.path.join(HERE, "kuzu_run.mjs"), data, os.path.join(tmp, "kuzu"),
                               str(args.runs), str(args.updates), os.path.join(tmp, "starts.json")],
                              capture_output=True, text=True, cwd=HERE)
        if kuzu.returncode != 0:
            print("Kùzu run failed (run ./install-kuzu first):", kuzu.stderr.strip()[-400:])
        else:
            report = json.loads(kuzu.stdout.strip().splitlines()[-1])
            peer_sums = report["path_sums"]
            for name, secs in report["times"].items():
                rows.setdefault(name, {})["kuzu"] = secs
            rows["path-vm"]["kuzu"] = report["times"]["path-sum"]
            for name, total in report["sums"].items():
                hop_sums.setdefault(name, {})["kuzu"] = total
            for name in ("path-sum", "path-vm"):
                agree = sums_agree(sums[name], peer_sums)
                print(f"{name}: sums over {sum(map(len, peer_sums.values()))} Kùzu paths "
                      f"{'agree' if agree else 'DISAGREE'} with ours ({sum(map(len, sums[name].values()))} paths)")

        load = os.getloadavg()
        print(f"load average {load[0]:.1f} {load[1]:.1f} {load[2]:.1f} on {os.cpu_count()} cpus (shared machine)")

        print(f"{'row':8} {'ZudizID s':>10} {'Kùzu s':>10} {'SQLite s':>10} {'ours/Kùzu':>10} {'ours/SQLite':>12}")
        for name, r in rows.items():
            k, s = r.get("kuzu"), r.get("sqlite")
            print(f"{name:8} {r['ours']:10.3f} {'-' if k is None else round(k, 3)!s:>10} "
                  f"{'-' if s is None else round(s, 3)!s:>10} "
                  f"{'-' if not k else round(r['ours'] / k, 2)!s:>10} {'-' if not s else round(r['ours'] / s, 2)!s:>12}")
        for name, by_system in hop_sums.items():
            agree = len(set(by_system.values())) == 1
            print(f"{name} answer sums {by_system}: {'agree' if agree else 'DIFFER'}")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
