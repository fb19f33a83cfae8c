"""Graph.execute_zql and the result classes ZqlResult, QueryResult and the row iterator."""
import os

import pytest

import zudizid

G = zudizid.Graph
WRITE_KEYS = ["nodes_created", "edges_created", "nodes_deleted", "edges_deleted", "nodes_updated",
              "edges_updated", "properties_changed", "created_ids"]


def test_signature_and_classes():
    assert G.execute_zql.__text_signature__ == "($self, query)"
    assert G.execute_zql.__doc__.strip().endswith("Execute any ZQL statement and return a unified result.")
    for cls in (zudizid.ZqlResult, zudizid.QueryResult):
        with pytest.raises(TypeError):
            cls()


def test_write_result(graph):
    r = graph.execute_zql("ADD (a:Person {name: 'Ann'})-[:KNOWS {since: 2020}]->(b:Person {name: 'Bob'})")
    assert r.kind == "write"
    assert repr(r) == "<ZqlResult: write>"
    assert r.summary == ("2 nodes created, 1 edges created, 0 nodes deleted, 0 edges deleted, "
                         "0 nodes updated, 0 edges updated")
    w = r.write
    assert list(w) == WRITE_KEYS
    assert (w["nodes_created"], w["edges_created"], w["properties_changed"]) == (2, 1, 0)
    assert len(w["created_ids"]) == 2 and all(len(i) == 36 for i in w["created_ids"])
    assert r.write is not w
    assert len(r) == 0 and list(r) == []
    assert r.query is None and r.explain is None and r.profile is None and r.message is None
    with pytest.raises(TypeError, match="^ZqlResult of kind 'write' has no rows \u2014 use .write / .summary$"):
        r[0]
    with pytest.raises(OverflowError):
        r[-1]
    u = graph.execute_zql("UPDATE (n:Person {name: 'Bob'}) SET n.age = 41, n.city = 'Oslo'")
    assert u.summary.endswith("1 nodes updated, 0 edges updated")
    assert u.write["properties_changed"] == 2


def test_writes_matching_nothing_log_nothing(db_path):
    g = G.open(db_path)
    wal = os.path.join(db_path, "zovov.wal")
    g.execute_zql("ADD (a:Person {name: 'Ann'})-[:KNOWS]->(b:Person {name: 'Bob'})")
    before = os.path.getsize(wal)
    for text, key in [("UPDATE (n:Person {name: 'Nobody'}) SET n.age = 1", "nodes_updated"),
                      ("DELETE (n:Person {name: 'Nobody'})", "nodes_deleted"),
                      ("DELETE (a:Person {name: 'Bob'})-[:KNOWS]->(b:Person)", "edges_deleted")]:
        r = g.execute_zql(text)
        assert r.kind == "write" and r.write[key] == 0, text
        assert os.path.getsize(wal) == before, text
    u = g.execute_zql("UPDATE (n:Person {name: 'Ann'}) SET n.age = 2")
    assert u.write["nodes_updated"] == 1 and os.path.getsize(wal) > before
    g.close()
    g = G.open(db_path)
    assert g.node_count() == 2
    assert find_or_skip(g, "FIND n.age FROM (n:Person {name: 'Ann'})")[0] == {"n.age": 2}
    g.close()


def test_index_and_message_results(graph):
    r = graph.execute_zql("CREATE INDEX ON Person(name) TYPE BTREE")
    assert (r.kind, r.summary, r.message) == ("index", "Index created: Person_name", "Index created: Person_name")
    assert graph.execute_zql("DROP INDEX Person_name").message == "Index dropped: Person_name"
    s = graph.execute_zql("SKETCH s = ADD (n:X)")
    assert s.kind == "message"
    assert s.message == "SKETCH: not yet available via execute_statement. Use SketchManager directly."
    assert graph.node_count() == 0


@pytest.mark.parametrize("text, message", [
    ("ADD (a)<-[:R]->(b)", "Query execution error: Relationship in ADD pattern needs a direction: -> or <-"),
    ("ADD -[:R]->(b)", None),  # refused by the grammar
    ("DELETE (a)-[:R]->(b)-[:S]->(c)",
     "Query execution error: UPDATE and DELETE take one relationship: node -> rel -> node"),
    ("DELETE (a)-[:R]->{1,2}(b)", "Query execution error: UPDATE and DELETE do not take quantified relationships"),
    ("UPDATE (n) SET n.x = 1 WHERE foo(n)", "Query execution error: Unknown function in WHERE: foo"),
    ("", None),
])
def test_refusals_are_runtime_errors(graph, text, message):
    graph.execute_zql("ADD (a:P)-[:R]->(b:P)")
    with pytest.raises(RuntimeError) as err:
        graph.execute_zql(text)
    if message is None:
        assert str(err.value).startswith("Query parse error: Parse error: ")
    else:
        assert str(err.value) == message
    assert graph.node_count() == 2


def test_closed_graph(graph):
    graph.close()
    with pytest.raises(RuntimeError, match="Graph is closed"):
        graph.execute_zql("ADD (n)")


def find_or_skip(graph, text):
    try:
        return graph.execute_zql(text)
    except RuntimeError as e:
        if "FIND is not available" in str(e):
            pytest.skip("FIND is not part of this build")
        raise


def test_query_result_rows(graph):
    graph.execute_zql("ADD (n:Person {name: 'Ann', age: 30, score: 1.5})")
    graph.execute_zql("ADD (n:Person {name: 'Bob'})")
    r = find_or_skip(graph, "FIND n.name, n.age FROM (n:Person) ORDER BY n.name")
    assert r.kind == "query" and len(r) == 2
    assert r.summary == "2 rows returned"
    assert r[0] == {"n.name": "Ann", "n.age": 30}
    assert r[1] == {"n.name": "Bob"}  # a missing column is no key
    with pytest.raises(IndexError, match="^Index out of range$"):
        r[2]
    q = r.query
    assert q is not r.query
    assert q.columns == ["n.name", "n.age"]
    assert repr(q) == "<QueryResult: 2 rows, 2 columns>"
    it = iter(q)
    assert iter(it) is it
    assert list(it) == [q[0], q[1]]
    assert list(it) == []
    assert list(iter(q)) == list(r)
    star = find_or_skip(graph, "FIND all(n) FROM (n:Person {name: 'Ann'})")
    assert star[0]["n.name"] == "Ann" and star[0]["n.score"] == 1.5
    assert "n.id" in star[0] and star[0]["n.label"] == "Person"
