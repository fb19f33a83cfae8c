"""Path queries through FIND: the path program, path functions in WHERE and
as columns, DISTINCT before ORDER BY before LIMIT, and the refusals."""
import random

import pytest


def rows(result):
    return [dict(r) for r in result]


def add_chain(graph, name, amounts):
    """A chain name0 -> name1 -> ... whose KNOWS edges carry `amounts`."""
    text = f"(n0:Person {{name: '{name}0'}})"
    for i, w in enumerate(amounts):
        text += f"-[:KNOWS {{amount: {w}}}]->(n{i + 1}:Person {{name: '{name}{i + 1}'}})"
    graph.execute_zql("ADD " + text)


def test_program_sums_equal_python_sums(graph):
    rng = random.Random(7)
    chains = {f"c{k}": [rng.randint(-50, 50) for _ in range(rng.randint(1, 4))] for k in range(5)}
    for name, amounts in chains.items():
        add_chain(graph, name, amounts)
    for name, amounts in chains.items():
        q = (f"FIND b.name, path.result, path_sum('amount') AS s FROM (a:Person {{name: '{name}0'}})-[:KNOWS]->{{1,4}}(b) "
             "INIT 'total = 0' GATHER 'total = total + edge.amount' RETURN 'total'")
        got = rows(graph.execute_zql(q))
        want = [{"b.name": f"{name}{d}", "path.result": sum(amounts[:d]), "s": sum(amounts[:d])}
                for d in range(1, len(amounts) + 1)]
        assert got == want


def test_path_result_in_where_and_state(graph):
    add_chain(graph, "x", [5, 1, 7])
    q = ("FIND b.name, path.state FROM (a:Person {name: 'x0'})-[:KNOWS]->{1,3}(b) WHERE path.result > 5 "
         "INIT 'total = 0' INIT 'hops = 0' GATHER 'total = total + edge.amount' GATHER 'hops = hops + 1' RETURN 'total'")
    assert rows(graph.execute_zql(q)) == [
        {"b.name": "x2", "path.state": {"total": 6, "hops": 2}},
        {"b.name": "x3", "path.state": {"total": 13, "hops": 3}},
    ]


def test_distinct_then_order_then_limit(graph):
    for name, amounts in {"p": [1, 1], "q": [2], "r": [1, 1]}.items():
        add_chain(graph, name, amounts)
    q = "FIND DISTINCT path_sum('amount') AS s FROM (a:Person)-[:KNOWS]->{1,2}(b) ORDER BY s DESC LIMIT 2"
    assert rows(graph.execute_zql(q)) == [{"s": 2}, {"s": 1}]
    q = "FIND b.name FROM (a:Person)-[:KNOWS]->(b) ORDER BY b.name LIMIT 2 OFFSET 1"
    assert rows(graph.execute_zql(q)) == [{"b.name": "p2"}, {"b.name": "q1"}]
    assert rows(graph.execute_zql("FIND b.name FROM (a:Person)-[:KNOWS]->(b) LIMIT 0")) == []


@pytest.mark.parametrize("query, message", [
    ("FIND a.name FROM (a:Nobody)-[:KNOWS]->{1,2}(b) RETURN '* 2'", None),
    ("FIND a.name FROM (a:Person)-[:KNOWS]->{1,2}(b) GATHER 'hops = hops + 1'",
     "Query execution error: VM variable 'hops' is not defined; initialize it with INIT or assign it earlier in GATHER"),
    ("FIND a.name FROM (a:Person)-[:KNOWS]->{1,2}(b) RETURN 'path.end'",
     "Query execution error: RETURN must produce a scalar value (Int, Float, Bool, String, or Null) in Path Queries F4-C"),
    ("FIND a.name FROM (a:Person)-[:KNOWS]->(b) WHERE median(b.x) = 1 AND path_sum('amount') > 0",
     "Query execution error: Unknown function in WHERE: median"),
    ("FIND a.name FROM (a:Person)-[:KNOWS]->(b) WHERE path.result = 1",
     "Semantic validation error: path.result requires a RETURN clause in Path Queries F4-C"),
    ("FIND path_sum(amount) FROM (a:Person)-[:KNOWS]->(b)",
     "Query execution error: path reducer argument must be a string literal, e.g. path_sum(\"amount\")"),
    ("FIND a.name FROM (a:Person)-[:KNOWS]->{1,}(b)",
     "Query execution error: Unbounded quantified traversals are not supported in Path Queries F1; provide an upper bound"),
])
def test_refusals(graph, query, message):
    add_chain(graph, "e", [1])
    with pytest.raises(RuntimeError) as err:
        graph.execute_zql(query)
    if message is None:
        assert str(err.value).startswith("Query parse error: ")
    else:
        assert str(err.value) == message


def test_overflow_wraps_without_a_signal(graph):
    big = 9223372036854775807
    add_chain(graph, "o", [big, 1])
    q = ("FIND path_sum('amount') AS s, path_eval('-9223372036854775807 - 1 % -1') AS m FROM "
         "(a:Person {name: 'o0'})-[:KNOWS]->{2,2}(b)")
    assert rows(graph.execute_zql(q)) == [{"s": -9223372036854775808, "m": -9223372036854775807}]


def test_index_on_start_property_changes_nothing(graph):
    rng = random.Random(3)
    for k in range(4):
        add_chain(graph, f"i{k}", [rng.randint(0, 9) for _ in range(3)])
    graph.execute_zql("ADD (z:Person {name: 'i00'})-[:KNOWS {amount: 4}]->(y:Person {name: 'dup'})")
    queries = [
        "FIND b.name, path.depth FROM (a:Person {name: 'i00'})-[:KNOWS]->{1,3}(b)",
        "FIND b.name FROM (a:Person)-[:KNOWS]->(b) WHERE a.name = 'i10'",
        "FIND c.name FROM (a:Person)-[:KNOWS]->(b)-[:KNOWS]->(c) WHERE a.name = 'i20' AND path_sum('amount') >= 0",
        "FIND a.name FROM (a:Person {name: 'i30'})-[:KNOWS]->(a)",
    ]
    before = [rows(graph.execute_zql(q)) for q in queries]
    assert before[0] and before[1] and before[2]
    graph.create_index("Person", "name")
    assert [rows(graph.execute_zql(q)) for q in queries] == before
