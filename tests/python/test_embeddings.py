"""Embedding methods: node and edge embeddings and path references."""
import inspect
import uuid

import pytest

import zudizid

E8 = "Query execution error: PathReferenceEmbedding E-8 cannot persist "


@pytest.fixture
def g(graph):
    return graph


@pytest.fixture
def node(g):
    return g.upsert("Doc", "k", {"k": 1})[1]


@pytest.mark.parametrize(
    "method,signature,summary",
    [
        ("add_node_embedding", "(self, /, node_id, vector, model)", "Agrega un embedding vectorial a un nodo existente."),
        ("add_edge_embedding", "(self, /, edge_id, vector, model)", "Agrega un embedding vectorial a una arista existente."),
        (
            "add_path_reference_embedding",
            "(self, /, name, node_model, edge_model, vector)",
            "Persiste un embedding de referencia de path para usar con",
        ),
        ("get_node_embedding", "(self, /, node_id, model)", "Recupera el vector de embedding de un nodo."),
    ],
)
def test_signatures_and_docstrings(method, signature, summary):
    fn = getattr(zudizid.Graph, method)
    assert str(inspect.signature(fn)) == signature
    assert fn.__doc__.splitlines()[0] == summary


def test_node_embedding_round_trip_and_replace(g, node):
    assert g.add_node_embedding(node, [1, 2, 3], "m") is None
    assert g.add_node_embedding(node_id=node.upper(), vector=(0.5,), model="other") is None
    assert g.get_node_embedding(node, "m") == [1.0, 2.0, 3.0]
    assert g.get_node_embedding(node, "other") == [0.5]
    g.add_node_embedding(node, [4.0, 5.0], "m")
    assert g.get_node_embedding(model="m", node_id=node) == [4.0, 5.0]
    # An empty model name is a name like any other.
    g.add_node_embedding(node, [1.0], "")
    assert g.get_node_embedding(node, "") == [1.0]


def test_missing_node_and_missing_embedding(g, node):
    ghost = str(uuid.uuid4())
    with pytest.raises(RuntimeError) as e:
        g.add_node_embedding(ghost.upper(), [1.0], "m")
    assert str(e.value) == f"Node not found: {ghost}"
    with pytest.raises(RuntimeError) as e:
        g.get_node_embedding(node, "M")
    assert str(e.value) == f"Embedding not found for node {node} model M"
    with pytest.raises(RuntimeError) as e:
        g.get_node_embedding(ghost, "m")
    assert str(e.value) == f"Embedding not found for node {ghost} model m"


def test_embedding_outlives_its_node(g, node):
    g.add_node_embedding(node, [1.0, 1.0], "m")
    assert g.delete("Doc", "k", 1) == node
    assert g.get_node_embedding(node, "m") == [1.0, 1.0]


def test_missing_edge(g):
    ghost = str(uuid.uuid4())
    with pytest.raises(RuntimeError) as e:
        g.add_edge_embedding(ghost.upper(), [1.0], "m")
    assert str(e.value) == f"Edge not found: {ghost}"


@pytest.mark.parametrize(
    "method,args,message",
    [
        ("add_node_embedding", ("nope", [1.0], "m"), "Invalid node_id UUID: "),
        ("get_node_embedding", ("1234", "m"), "Invalid node_id UUID: "),
        ("add_edge_embedding", ("", [1.0], "m"), "Invalid edge_id UUID: "),
    ],
)
def test_invalid_ids(g, method, args, message):
    with pytest.raises(ValueError) as e:
        getattr(g, method)(*args)
    assert str(e.value).startswith(message) and len(str(e.value)) > len(message)


@pytest.mark.parametrize(
    "vector,message",
    [
        ([], "embedding vector is empty"),
        ([0, 0, 0], "embedding vector has zero norm (cosine distance is undefined for it)"),
        ([1e-30, -1e-30], "embedding vector has zero norm (cosine distance is undefined for it)"),
        ([1.0, float("nan")], "embedding vector component 1 is not finite"),
        ([float("inf"), 1.0], "embedding vector component 0 is not finite"),
        ([1e20], "embedding vector component 0 is too large (its square overflows 32-bit floats)"),
    ],
    ids=["empty", "zeros", "squares underflow", "nan", "inf", "square overflows"],
)
def test_vectors_cosine_cannot_compare_are_refused(g, node, vector, message):
    g.add_node_embedding(node, [1.0], "m")
    with pytest.raises(ValueError) as e:
        g.add_node_embedding(node, vector, "m")
    assert str(e.value) == message
    with pytest.raises(ValueError) as e:
        g.add_edge_embedding(str(uuid.uuid4()), vector, "m")
    assert str(e.value) == message
    assert g.get_node_embedding(node, "m") == [1.0], "the stored vector is untouched"


def test_argument_conversion_names_the_argument(g, node):
    for call, param in [
        (lambda: g.add_node_embedding(5, [1.0], "m"), "node_id"),
        (lambda: g.add_node_embedding(node, "abc", "m"), "vector"),
        (lambda: g.add_node_embedding(node, [1.0], None), "model"),
        (lambda: g.add_path_reference_embedding("r", b"n", "e", [1.0]), "node_model"),
        (lambda: g.get_node_embedding(node, 1), "model"),
    ]:
        with pytest.raises(TypeError) as e:
            call()
        assert f"while processing '{param}'" in e.value.__notes__
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'model'"):
        g.add_node_embedding(node, [1.0])


def test_path_references(g):
    assert g.add_path_reference_embedding("fraud", "nm", "em", [1.0, 0.0, 2.0, 1.0]) is None
    # Same three names replace; no dimension rule is applied.
    assert g.add_path_reference_embedding(name="fraud", node_model="nm", edge_model="em", vector=[3.0]) is None
    assert g.add_path_reference_embedding("fraud", "nm2", "em", [float("1e-3")]) is None


@pytest.mark.parametrize(
    "vector,text",
    [
        ([], "an empty vector"),
        ([0.0, -0.0], "a zero-norm vector"),
        ([1e-30, 1e-30], "a zero-norm vector"),
        ([1.0, float("nan")], "a vector with a non-finite norm"),
        ([float("inf")], "a vector with a non-finite norm"),
        ([3e19], "a vector with a non-finite norm"),
    ],
)
def test_path_reference_refusals(g, vector, text):
    with pytest.raises(RuntimeError) as e:
        g.add_path_reference_embedding("r", "n", "e", vector)
    assert str(e.value) == E8 + text


def test_path_reference_names_with_nul_are_refused(g):
    with pytest.raises(RuntimeError, match="must not contain NUL"):
        g.add_path_reference_embedding("a\0b", "n", "e", [1.0])


def test_closed_graph(node):
    g = zudizid.Graph.in_memory()
    g.close()
    for call in [
        lambda: g.add_node_embedding("not-a-uuid", [1.0], "m"),
        lambda: g.add_node_embedding(node, [0.0], "m"),
        lambda: g.add_edge_embedding("x", [1.0], "m"),
        lambda: g.add_path_reference_embedding("r", "n", "e", []),
        lambda: g.get_node_embedding("x", "m"),
    ]:
        with pytest.raises(RuntimeError, match="^Graph is closed$"):
            call()
    with pytest.raises(TypeError):
        g.add_node_embedding("x", "not a vector", "m")
