"""FIND over node patterns against sqlite3 as the reference, with no index,
a hash index and a B-tree index on the filtered property; PROFILE, EXPLAIN
and EXPORT as Python sees them."""
import csv
import io
import json
import random
import sqlite3

import pytest

import zudizid

CITIES = ["Oslo", "Rome", "Lima", "Kyiv", "Pune"]


def people(n=150, seed=7):
    rnd = random.Random(seed)
    out = []
    for i in range(n):
        age = rnd.randrange(18, 90) if rnd.random() > 0.1 else None
        city = rnd.choice(CITIES) if rnd.random() > 0.05 else None
        out.append((f"p{i:03d}", age, city))
    return out


@pytest.fixture(scope="module")
def data():
    return people()


@pytest.fixture(scope="module")
def sql(data):
    db = sqlite3.connect(":memory:")
    db.execute("CREATE TABLE person(name TEXT, age INT, city TEXT)")
    db.executemany("INSERT INTO person VALUES (?, ?, ?)", data)
    return db


def load(graph, data):
    for name, age, city in data:
        props = [f"name: '{name}'"]
        if age is not None:
            props.append(f"age: {age}")
        if city is not None:
            props.append(f"city: '{city}'")
        graph.execute_zql(f"ADD (n:Person {{{', '.join(props)}}})")


# (ZQL, the columns compared, SQL, indexed property)
CASES = [
    ("FIND n.name, n.age FROM (n:Person) WHERE n.city = 'Oslo' ORDER BY n.name", ["n.name", "n.age"],
     "SELECT name, age FROM person WHERE city = 'Oslo' ORDER BY name", "city"),
    ("FIND n.name FROM (n:Person) WHERE n.age > 40 AND n.city = 'Rome' ORDER BY n.age DESC, n.name LIMIT 5 OFFSET 3",
     ["n.name"], "SELECT name FROM person WHERE age > 40 AND city = 'Rome' ORDER BY age DESC, name LIMIT 5 OFFSET 3",
     "city"),
    ("FIND n.name FROM (n:Person) WHERE n.age = 30 ORDER BY n.name LIMIT 50", ["n.name"],
     "SELECT name FROM person WHERE age = 30 ORDER BY name LIMIT 50", "age"),
    ("FIND DISTINCT n.city FROM (n:Person) WHERE n.age >= 60 ORDER BY n.city", ["n.city"],
     "SELECT DISTINCT city FROM person WHERE age >= 60 ORDER BY city IS NULL, city", "age"),
    ("FIND DISTINCT n.age FROM (n:Person) WHERE n.city = 'Lima' ORDER BY n.age DESC LIMIT 4", ["n.age"],
     "SELECT DISTINCT age FROM person WHERE city = 'Lima' ORDER BY age IS NOT NULL, age DESC LIMIT 4", "city"),
    ("FIND n.city, count(n) AS c, avg(n.age) AS a, min(n.age) AS lo, max(n.age) AS hi, sum(n.age) AS s "
     "FROM (n:Person) WHERE n.city = 'Kyiv' GROUP BY n.city", ["n.city", "c", "a", "lo", "hi", "s"],
     "SELECT city, count(*), avg(age), min(age), max(age), total(age) FROM person WHERE city = 'Kyiv' GROUP BY city",
     "city"),
    ("FIND n.city, count(n) AS c, avg(n.age) AS a FROM (n:Person) WHERE n.age > 20 GROUP BY n.city "
     "HAVING count(n) > 20 ORDER BY c DESC", ["n.city", "c", "a"],
     "SELECT coalesce(city, 'null'), count(*) AS c, avg(age) FROM person WHERE age > 20 GROUP BY city "
     "HAVING count(*) > 20 ORDER BY c DESC", "age"),
    ("FIND count(n) AS c, max(n.age) AS m FROM (n:Person) WHERE n.city = 'Pune'", ["c", "m"],
     "SELECT count(*), max(age) FROM person WHERE city = 'Pune'", "city"),
]


@pytest.mark.parametrize("index", [None, "HASH", "BTREE"])
def test_find_matches_sqlite(data, sql, index):
    g = zudizid.Graph.in_memory()
    try:
        load(g, data)
        for zql, columns, query, prop in CASES:
            if index:
                g.execute_zql(f"CREATE INDEX ON Person({prop}) TYPE {index}")
            got = [tuple(row.get(c) for c in columns) for row in g.execute_zql(zql)]
            want = [tuple(r) for r in sql.execute(query)]
            assert got == want, zql
            if index:
                g.execute_zql(f"DROP INDEX Person_{prop}")
    finally:
        g.close()


def test_group_text_and_refusals(graph):
    for zql in ["ADD (n:P {k: 3})", "ADD (n:P {k: '3'})", "ADD (n:P {k: 'null'})", "ADD (n:P)"]:
        graph.execute_zql(zql)
    rows = list(graph.execute_zql("FIND n.k, count(n) AS c FROM (n:P) GROUP BY n.k"))
    assert sorted((r["n.k"], r["c"]) for r in rows) == [("3", 1), ("3", 1), ("null", 1), ("null", 1)]
    errors = {
        "FIND n FROM (n:P) WHERE count(n) > 1":
            "Semantic validation error: Aggregation functions not allowed in WHERE clause. Use HAVING instead.",
        "UPDATE (n) SET m.x = 1": "Semantic validation error: Variable 'm' in SET not found in pattern",
        "FIND n FROM (n:P) AT TIMESTAMP 3": "Query execution error: AT TIMESTAMP is not supported: FIND reads the "
                                            "current data only",
        "FIND n.k FROM (n:P) EXPORT PARQUET 'x.parquet'":
            "Query execution error: EXPORT PARQUET is not supported: export as CSV or JSON",
    }
    for zql, message in errors.items():
        with pytest.raises(RuntimeError) as e:
            graph.execute_zql(zql)
        assert str(e.value) == message


# Aggregates without WHERE fold the label scan as it is read; {w} = WHERE
# 1 = 1 sends the same query down the node road, which keeps the nodes.
FOLDED = [
    "FIND n.k, count(n), sum(n.v), avg(n.v), min(n.v), max(n.v) FROM (n:F){w} GROUP BY n.k",
    "FIND n.k AS key, n.w, count(n.v) AS c, max(n.w) AS top FROM (n:F){w} ORDER BY top DESC, key",
    "FIND n.label, count(n), min(n.k) FROM (n){w} GROUP BY n.label",
    "FIND n.id, sum(n.v) FROM (n:F){w} GROUP BY n.id",
    "FIND count(n), avg(n.v), min(n.k), max(n.v) AS m, sum(n.w) FROM (n:F){w}",
    "FIND count(n), avg(n.v) FROM (n:Nobody){w}",
    "FIND DISTINCT n.w, count(n) FROM (n:F){w} ORDER BY n.w LIMIT 2 OFFSET 1",
    "FIND n.k, min(n.missing) FROM (n:F){w} GROUP BY n.k",
]


@pytest.mark.parametrize("zql", FOLDED)
def test_folded_aggregates_match_node_road(graph, zql):
    # Mixed kinds under one property: Int and Float sum together, a String
    # or Null is no number, min/max order across kinds, an absent k groups
    # as null, ties of min/max keep the earliest.
    for props in ["k: 'a', v: 1, w: 2", "k: 'a', v: 2.5", "k: 3, v: 'x', w: 2", "v: null, w: 1.0", "k: 'a', w: 7",
                  "k: '3', v: -4, w: 2"]:
        graph.execute_zql(f"ADD (n:F {{{props}}})")
    graph.execute_zql("ADD (n:G {k: 'z'})")

    def run(where):
        try:
            r = graph.execute_zql(zql.format(w=where))
            return r.query.columns, list(r)
        except RuntimeError as e:
            return str(e)

    folded, node_road = run(""), run(" WHERE 1 = 1")
    assert folded == node_road
    if "missing" in zql:
        assert folded == "Query execution error: No values found for min()"


def test_profile_and_explain(graph):
    graph.execute_zql("ADD (n:P {k: 1})")
    r = graph.execute_zql("PROFILE FIND n.k FROM (n:P)")
    p = r.profile
    assert isinstance(p, zudizid.ProfileResult) and r.profile is not p
    assert (p.statement_type, p.columns, p.rows_returned, p.path_query, p.path_metrics) == ("query", ["n.k"], 1,
                                                                                            False, None)
    assert repr(p) == f"<ProfileResult: 1 rows, {p.execution_ms:.3f} ms>"
    assert r.summary == f"PROFILE query: 1 rows, {p.execution_ms:.3f} ms"
    assert "→ LABEL SCAN: P | rows=~1 | cost=1.00" in p.plan
    assert graph.execute_zql("EXPLAIN FIND n FROM (n)").explain.startswith("┌")
    with pytest.raises(TypeError):
        zudizid.ProfileResult()


def add_texts(graph, texts):
    tx = graph.begin_transaction()
    for i, t in enumerate(texts):
        tx.add_node("T", {"i": i, "s": t})
    tx.commit()


TEXTS = ["plain", "a,b", 'say "hi"', "line\nfeed", "cr\ronly", "tab\tbell\x07", "é"]


@pytest.mark.parametrize("options", ["", " WITH separator = ';'", " WITH header = false"])
def test_export_csv_reads_back(graph, tmp_path, options):
    add_texts(graph, TEXTS)
    path = tmp_path / "out.csv"
    sep = ";" if "separator" in options else ","
    opts = options + ("," if options else " WITH") + f" path = '{path}'"
    r = graph.execute_zql(f"FIND n.i, n.s FROM (n:T) ORDER BY n.i EXPORT CSV{opts}")
    assert r.kind == "export" and r.summary == f"Exported {len(TEXTS)} rows as CSV"
    assert path.read_bytes().decode() == r.content
    rows = list(csv.reader(io.StringIO(r.content, newline=""), delimiter=sep))
    if "header" not in options:
        assert rows.pop(0) == ["n.i", "n.s"]
    assert rows == [[str(i), t] for i, t in enumerate(TEXTS)]


@pytest.mark.parametrize("options", ["", " WITH pretty = true", " WITH jsonl = true"])
def test_export_json_reads_back(graph, options):
    add_texts(graph, TEXTS + ["\x00\x1f\b\f"])
    content = graph.execute_zql(f"FIND n.i, n.s FROM (n:T) ORDER BY n.i EXPORT JSON{options}").content
    if "jsonl" in options:
        got = [json.loads(line) for line in content.split("\n")]
    else:
        got = json.loads(content)
    assert got == [{"n.i": i, "n.s": t} for i, t in enumerate(TEXTS + ["\x00\x1f\b\f"])]
    assert not any(c in content for c in "\x00\x07\x08\x0c")


def test_export_failure_keeps_file(graph, tmp_path):
    graph.execute_zql("ADD (n:T {i: 1})")
    missing = tmp_path / "missing" / "out.json"
    with pytest.raises(RuntimeError) as e:
        graph.execute_zql(f"FIND n.i FROM (n:T) EXPORT JSON WITH path = '{missing}'")
    assert str(e.value).startswith(f"Query execution error: Failed to write JSON export to '{missing}': ")
    assert graph.execute_zql("FIND n.i FROM (n:T) EXPORT JSON").content == '[{"n.i":1}]'


WORDS = ["cat", "dog", "bird", "fish"]


def hybrid_graph():
    """Docs d0..d11 with texts over WORDS, 2-d embeddings under 'm' at spread
    angles, a full-text index on Doc(body); d12 has no embedding."""
    import math

    g = zudizid.Graph.in_memory()
    tx = g.begin_transaction()
    ids = [tx.add_node("Doc", {"name": f"d{i}", "body": f"{WORDS[i % 4]} {WORDS[(i * 3) % 4]} w{i}"})
           for i in range(13)]
    tx.commit()
    for i, node_id in enumerate(ids[:12]):
        g.add_node_embedding(node_id, [math.cos(i * 0.25), math.sin(i * 0.25)], "m")
    return g, {node_id: f"d{i}" for i, node_id in enumerate(ids)}


def test_hybrid_matches_search_hybrid():
    g, names = hybrid_graph()
    try:
        with pytest.raises(RuntimeError) as missing:
            g.search_hybrid(text="cat", vector=[1.0, 0.0], model="m")
        with pytest.raises(RuntimeError) as e:
            g.execute_zql("FIND n.name FROM (n:Doc) WHERE hybrid(n, 'cat', 'd0', 'm')")
        assert str(e.value) == str(missing.value), "the search's own error passes unchanged"
        g.create_index("Doc", "body", "fulltext")

        def found(text, k):
            return sorted(names[h["node_id"]] for h in g.search_hybrid(text=text, vector=[1.0, 0.0], model="m", k=k))

        def zql(where, tail=""):
            return [r["n.name"] for r in g.execute_zql(f"FIND n.name FROM (n:Doc) WHERE {where} ORDER BY n.name{tail}")]

        everyone = sorted(names.values())
        for text in ["cat", "bird OR fish", "w7", "nothing"]:
            call = f"hybrid(n, '{text}', 'd0', 'm')"
            assert zql(call) == found(text, 10), text
            # k = limit + offset: the page after the first is there.
            assert zql(call, " LIMIT 2 OFFSET 1") == found(text, 3)[1:3], text
            # Membership, not a hard filter: OR and NOT see every node.
            assert zql(f"{call} OR n.name = 'd12'") == sorted(set(found(text, 10)) | {"d12"}), text
            assert zql(f"!{call}") == [n for n in everyone if n not in found(text, 10)], text
            assert zql(f"n.name != 'd1' AND {call}") == [n for n in found(text, 10) if n != "d1"], text
        errors = {
            "hybrid(n, 'cat', 'zz', 'm')": "Query execution error: hybrid: reference node 'zz' not found",
            "hybrid(n, 'cat', 'd12', 'm')":
                "Query execution error: hybrid: reference node 'd12' has no embedding for model 'm'",
            "hybrid(n, 'cat', 'd0', 'q')":
                "Query execution error: hybrid: reference node 'd0' has no embedding for model 'q'",
        }
        for where, message in errors.items():
            with pytest.raises(RuntimeError) as e:
                zql(where)
            assert str(e.value) == message
        # Text arguments that are not literals: no search, the call restricts nothing.
        assert zql("hybrid(n, n.body, 'zz', 'm')") == everyone
    finally:
        g.close()
