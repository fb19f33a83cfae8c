"""The schema methods of Graph: labels, edge types, counts, property names,
the whole cached schema, and the explicit rebuild."""
import inspect

import pytest

import zudizid
from graph_fill import fill, names

G = zudizid.Graph

NO_ARG = ["get_labels", "get_edge_types", "get_schema", "rebuild_schema"]
ONE_ARG = {
    "get_label_properties": "label",
    "get_label_count": "label",
    "get_edge_type_properties": "edge_type",
    "get_edge_type_count": "edge_type",
}
SCHEMA_KEYS = ["node_labels", "edge_types", "node_counts", "edge_counts", "total_nodes", "total_edges",
               "node_properties", "edge_properties"]


def test_signatures():
    for name in NO_ARG:
        assert str(inspect.signature(getattr(G, name))) == "(self, /)", name
    for name, param in ONE_ARG.items():
        assert str(inspect.signature(getattr(G, name))) == f"(self, /, {param})", name


@pytest.mark.parametrize(
    "method, summary, args_line, returns_line",
    [
        ("get_labels", "Get all node labels in the graph", None, "list[str]: List of unique node labels"),
        ("get_edge_types", "Get all edge types in the graph", None, "list[str]: List of unique edge types"),
        ("get_schema", "Get complete schema information", None,
         "dict: Schema information including labels, types, properties, and counts"),
        ("get_label_properties", "Get properties for a specific node label", "label (str): The node label",
         "list[str]: List of property names"),
        ("get_label_count", "Get node count for a specific label", "label (str): The node label",
         "int: Number of nodes with this label"),
        ("get_edge_type_properties", "Get properties for a specific edge type", "edge_type (str): The edge type",
         "list[str]: List of property names"),
        ("get_edge_type_count", "Get edge count for a specific type", "edge_type (str): The edge type",
         "int: Number of edges with this type"),
    ],
)
def test_docstrings(method, summary, args_line, returns_line):
    doc = getattr(G, method).__doc__
    expected = summary + "\n\n"
    if args_line:
        expected += f"Args:\n    {args_line}\n\n"
    expected += f"Returns:\n    {returns_line}\n\nExample:\n    >>> "
    assert doc.startswith(expected)
    assert f"graph.{method}(" in doc


def test_rebuild_schema_docstring():
    assert G.rebuild_schema.__doc__ == (
        "Rebuild schema cache\n\nUse after bulk imports or major changes.\n\nExample:\n    >>> graph.rebuild_schema()"
    )


def test_empty_database(graph):
    schema = graph.get_schema()
    assert list(schema) == SCHEMA_KEYS
    assert schema == {"node_labels": [], "edge_types": [], "node_counts": {}, "edge_counts": {},
                      "total_nodes": 0, "total_edges": 0, "node_properties": {}, "edge_properties": {}}
    assert graph.get_labels() == [] and graph.get_edge_types() == []
    for name in ONE_ARG:
        assert getattr(graph, name)("Anything") in (0, [])


@pytest.fixture
def company(graph):
    """Two people (one property shared), a company without properties, KNOWS
    with a property and WORKS_AT without."""
    fill(
        graph,
        [("Person", {"name": "Ada", "age": 36}), ("Person", {"name": "Bob", "email": "b@x"}), ("Company", {})],
        [(0, 1, "KNOWS", {"since": 2020}), (0, 2, "WORKS_AT", {}), (1, 2, "WORKS_AT", {})],
    )
    return graph


def test_labels_types_counts_and_properties(company):
    g = company
    labels = g.get_labels()
    assert sorted(labels) == ["Company", "Person"]  # each once, in scan order
    assert sorted(g.get_edge_types()) == ["KNOWS", "WORKS_AT"]
    assert g.get_label_count("Person") == 2
    assert g.get_label_count(label="Person") == 2
    assert g.get_label_count("Company") == 1
    assert names(g.get_label_properties("Person")) == ["age", "email", "name"]  # "name" once
    assert names(g.get_label_properties(label="Company")) == []  # listed, with no properties
    assert g.get_edge_type_count("WORKS_AT") == 2
    assert g.get_edge_type_count(edge_type="KNOWS") == 1
    assert g.get_edge_type_properties("KNOWS") == ["since"]
    assert g.get_edge_type_properties("WORKS_AT") == []


@pytest.mark.parametrize("name", ["person", "PERSON", " Person", "Person ", "", "Nobody"])
def test_unknown_names_give_zero_and_empty(company, name):
    # exact, case-sensitive matching without trimming
    assert company.get_label_count(name) == 0
    assert company.get_label_properties(name) == []
    assert company.get_edge_type_count(name) == 0
    assert company.get_edge_type_properties(name) == []


def test_get_schema_shape(company):
    s = company.get_schema()
    assert list(s) == SCHEMA_KEYS
    assert s["node_labels"] == company.get_labels()
    assert s["edge_types"] == company.get_edge_types()
    assert s["node_counts"] == {"Person": 2, "Company": 1}
    assert s["edge_counts"] == {"KNOWS": 1, "WORKS_AT": 2}
    assert s["total_nodes"] == sum(s["node_counts"].values()) == 3
    assert s["total_edges"] == sum(s["edge_counts"].values()) == 3
    assert {k: names(v) for k, v in s["node_properties"].items()} == {"Person": ["age", "email", "name"],
                                                                       "Company": []}
    assert s["edge_properties"] == {"KNOWS": ["since"], "WORKS_AT": []}
    # every call builds fresh objects
    s["node_labels"].append("X")
    assert "X" not in company.get_schema()["node_labels"]


def test_answers_stay_as_of_the_last_rebuild(graph):
    fill(graph, [("Old", {"a": 1})])
    assert graph.get_labels() == ["Old"]
    fill(graph, [("New", {"b": 2})], [])
    assert graph.get_labels() == ["Old"]
    assert graph.get_label_count("New") == 0
    assert graph.rebuild_schema() is None
    assert sorted(graph.get_labels()) == ["New", "Old"]
    assert graph.get_label_count("New") == 1
    assert names(graph.get_label_properties("New")) == ["b"]


def test_non_ascii_names_round_trip(graph):
    fill(graph, [("Städte", {"naïve": 1, "名前": "x"})], [(0, 0, "→", {})])
    assert graph.get_labels() == ["Städte"]
    assert names(graph.get_label_properties("Städte")) == sorted(["naïve", "名前"])
    assert graph.get_edge_types() == ["→"]
    assert graph.get_edge_type_count("→") == 1


@pytest.mark.parametrize("name, param", ONE_ARG.items())
def test_argument_errors(graph, name, param):
    method = getattr(graph, name)
    with pytest.raises(TypeError) as info:
        method(1)
    assert f"while processing '{param}'" in getattr(info.value, "__notes__", [])
    with pytest.raises(TypeError):
        method(None)
    with pytest.raises(TypeError):
        method()
    with pytest.raises(TypeError):
        method("a", "b")
    with pytest.raises(TypeError):
        method(**{param: "a", "other": 1})
    with pytest.raises(TypeError):
        method("a", **{param: "a"})


@pytest.mark.parametrize("name", NO_ARG)
def test_no_argument_methods_refuse_arguments(graph, name):
    with pytest.raises(TypeError):
        getattr(graph, name)(1)
    with pytest.raises(TypeError):
        getattr(graph, name)(x=1)


def test_closed_graph():
    g = G.in_memory()
    g.close()
    for name in NO_ARG:
        with pytest.raises(RuntimeError, match=r"^Graph is closed$"):
            getattr(g, name)()
    for name, param in ONE_ARG.items():
        with pytest.raises(RuntimeError, match=r"^Graph is closed$"):
            getattr(g, name)("Person")
        with pytest.raises(TypeError) as info:  # the argument is converted first
            getattr(g, name)(123)
        assert f"while processing '{param}'" in info.value.__notes__


def test_schema_is_rebuilt_after_reopen(db_path):
    with G.open(db_path) as g:
        fill(g, [("A", {"x": 1})])
        assert g.get_labels() == ["A"]
        fill(g, [("B", {})])
        assert g.get_labels() == ["A"]  # stale until rebuilt
    with G.open(db_path) as g:
        assert sorted(g.get_labels()) == ["A", "B"]  # a fresh cache is built at the first query


def test_concurrent_rebuilds_and_queries_see_whole_snapshots(graph):
    import threading

    fill(graph, [("L%d" % (i % 7), {"p%d" % (i % 3): i}) for i in range(60)], [(i, i + 1, "E%d" % (i % 4), {})
                                                                              for i in range(59)])
    errors = []

    def worker(rebuild):
        try:
            for _ in range(30):
                if rebuild:
                    graph.rebuild_schema()
                s = graph.get_schema()
                assert s["total_nodes"] == sum(s["node_counts"].values()) == 60
                assert s["total_edges"] == sum(s["edge_counts"].values()) == 59
                assert sorted(s["node_labels"]) == sorted(s["node_counts"]) == sorted(s["node_properties"])
        except Exception as e:  # noqa: BLE001 -- reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(i % 2 == 0,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
