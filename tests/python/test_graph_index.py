"""Graph.create_index, drop_index and list_indexes."""
import inspect
import os

import pytest

import zudizid

G = zudizid.Graph
KIND_MESSAGE = "Invalid index type '{}'. Use 'hash', 'btree', or 'fulltext'"


def test_signatures_and_docstrings():
    assert str(inspect.signature(G.create_index)) == "(self, /, label, property, index_type='hash')"
    assert str(inspect.signature(G.drop_index)) == "(self, /, index_name)"
    assert str(inspect.signature(G.list_indexes)) == "(self, /)"
    create = G.create_index.__doc__
    assert create.startswith("Create an index on a property\n\nArgs:\n")
    assert "Returns:\n    str: Index name\n" in create
    assert "'Person_name'" in create and "'Person_age'" in create
    assert G.drop_index.__doc__.startswith("Drop an index\n\nArgs:\n    index_name")
    listing = G.list_indexes.__doc__
    assert listing.startswith("List all indexes\n\nReturns:\n    list[tuple]: List of (name, label, property, type) tuples")
    assert "Person_name: Person.name [Hash]" in listing and "Person_age: Person.age [BTree]" in listing


def test_empty_database_lists_nothing(graph):
    assert graph.list_indexes() == []


def create_or_skip(graph, *args, **kwargs):
    try:
        return graph.create_index(*args, **kwargs)
    except RuntimeError as e:
        if "Full-text indexes are not available" in str(e):
            pytest.skip("full-text indexes are not wired into this build")
        raise


@pytest.mark.parametrize(
    "kind, kind_text",
    [(None, "Hash"), ("hash", "Hash"), ("btree", "BTree"), ("fulltext", "FullText")],
)
def test_create_names_and_lists_the_index(graph, kind, kind_text):
    args = ("Person", "name") if kind is None else ("Person", "name", kind)
    assert create_or_skip(graph, *args) == "Person_name"
    assert graph.list_indexes() == [("Person_name", "Person", "name", kind_text)]


def test_create_over_existing_nodes(graph):
    from graph_fill import fill

    # nodes without the property, or of another label, are passed over while filling
    fill(graph, [("Person", {"name": "Ada"}), ("Person", {"age": 3}), ("Robot", {"name": 7})])
    assert graph.create_index("Person", "name") == "Person_name"
    assert graph.create_index("Robot", "name", "btree") == "Robot_name"
    assert len(graph.list_indexes()) == 2


def test_keywords_and_str_subclasses(graph):
    class Text(str):
        pass

    assert graph.create_index(label=Text("Person"), property="age", index_type=Text("btree")) == "Person_age"
    assert graph.create_index(property="name", label="Person") == "Person_name"
    assert sorted(graph.list_indexes()) == [("Person_age", "Person", "age", "BTree"),
                                            ("Person_name", "Person", "name", "Hash")]
    for item in graph.list_indexes():
        assert type(item) is tuple and all(type(x) is str for x in item)


@pytest.mark.parametrize("kind", ["Hash", "BTREE", "full-text", "", " hash", "hash ", "taxonomy", "Taxonomy"])
def test_invalid_kinds_create_nothing(graph, kind):
    with pytest.raises(ValueError) as info:
        graph.create_index("Person", "name", kind)
    assert str(info.value) == KIND_MESSAGE.format(kind)
    assert graph.list_indexes() == []


@pytest.mark.parametrize("label, prop, message", [
    ("", "", "Index label must not be empty or whitespace only"),
    (" ", "name", "Index label must not be empty or whitespace only"),
    ("Person", "", "Index property must not be empty or whitespace only"),
    ("Person", "\t", "Index property must not be empty or whitespace only"),
])
def test_blank_label_or_property_is_refused(db_path, label, prop, message):
    """The stored list drops blank entries at open, so such an index would vanish."""
    with G.open(db_path) as graph:
        with pytest.raises(ValueError) as info:
            graph.create_index(label, prop)
        assert str(info.value) == message
        assert graph.list_indexes() == []
    with G.open(db_path) as graph:
        assert graph.list_indexes() == []


def test_argument_errors(graph):
    with pytest.raises(TypeError) as info:
        graph.create_index("Person", "name", None)  # a default is not the same as None
    assert "while processing 'index_type'" in info.value.__notes__
    with pytest.raises(TypeError) as info:
        graph.create_index("Person", 5)
    assert "while processing 'property'" in info.value.__notes__
    for call in [
        lambda: graph.create_index("Person"),
        lambda: graph.create_index("Person", "name", "hash", "extra"),
        lambda: graph.create_index("Person", "name", kind="hash"),
        lambda: graph.drop_index(),
        lambda: graph.drop_index(None),
        lambda: graph.list_indexes(1),
    ]:
        with pytest.raises(TypeError):
            call()
    assert graph.list_indexes() == []


def test_duplicate_names_are_refused_whatever_the_kind(graph):
    graph.create_index("Person", "name")
    with pytest.raises(RuntimeError) as info:
        graph.create_index("Person", "name", "btree")
    assert str(info.value) == "Index error: Index Person_name already exists"
    # label and property are joined without escaping, so these collide too
    graph.create_index("A_b", "c")
    with pytest.raises(RuntimeError, match=r"^Index error: Index A_b_c already exists$"):
        graph.create_index("A", "b_c")
    assert sorted(graph.list_indexes()) == [("A_b_c", "A_b", "c", "Hash"), ("Person_name", "Person", "name", "Hash")]


def test_drop(graph):
    assert graph.drop_index("Nobody_here") is None
    assert graph.drop_index("_taxonomy") is None
    graph.create_index("Person", "name")
    graph.create_index("Person", "age", "btree")
    assert graph.drop_index(index_name="Person_name") is None
    assert graph.list_indexes() == [("Person_age", "Person", "age", "BTree")]
    assert graph.create_index("Person", "name", "btree") == "Person_name"
    assert sorted(graph.list_indexes()) == [("Person_age", "Person", "age", "BTree"),
                                            ("Person_name", "Person", "name", "BTree")]


def test_closed_graph():
    g = G.in_memory()
    g.close()
    with pytest.raises(RuntimeError, match=r"^Graph is closed$"):
        g.create_index("Person", "name")
    # the handle is taken before the kind is examined
    with pytest.raises(RuntimeError, match=r"^Graph is closed$"):
        g.create_index("Person", "name", "nope")
    with pytest.raises(RuntimeError, match=r"^Graph is closed$"):
        g.drop_index("Person_name")
    with pytest.raises(RuntimeError, match=r"^Graph is closed$"):
        g.list_indexes()
    # argument conversion still comes first
    with pytest.raises(TypeError) as info:
        g.drop_index(123)
    assert "while processing 'index_name'" in info.value.__notes__
    with pytest.raises(TypeError):
        g.create_index("Person", "name", None)


def test_indexes_persist_across_reopen(db_path):
    with G.open(db_path) as g:
        assert g.create_index("Person", "name") == "Person_name"
        assert g.create_index("Person", "age", "btree") == "Person_age"
    assert os.path.exists(os.path.join(db_path, "indexes", "metadata.bin"))
    with G.open(db_path) as g:
        assert sorted(g.list_indexes()) == [("Person_age", "Person", "age", "BTree"),
                                            ("Person_name", "Person", "name", "Hash")]
        g.drop_index("Person_name")
    with G.open(db_path) as g:
        assert g.list_indexes() == [("Person_age", "Person", "age", "BTree")]
        with pytest.raises(RuntimeError, match="already exists"):
            g.create_index("Person", "age")
