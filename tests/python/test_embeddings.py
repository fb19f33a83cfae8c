"""Embedding methods: node and edge embeddings and path references."""
import inspect
import threading
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
    g.add_node_embedding(node, [4.0, 5.0, 6.0], "m")
    assert g.get_node_embedding(model="m", node_id=node) == [4.0, 5.0, 6.0]
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
    # Same three names replace.
    assert g.add_path_reference_embedding(name="fraud", node_model="nm", edge_model="em", vector=[3.0, 0, 0, 1]) is None
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


def test_vectors_of_one_model_share_one_length(db_path):
    """The first vector of a model sets its length; another length is refused
    before anything is written, also after a reopen, so searches keep working."""
    g = zudizid.Graph.open(db_path)
    tx = g.begin_transaction()
    a, b = tx.add_node("Doc", {}), tx.add_node("Doc", {})
    edge = tx.add_edge(a, b, "LINK")
    tx.commit()
    g.add_node_embedding(a, [1.0, 0.0, 0.0], "m")
    refusals = [
        (lambda: g.add_node_embedding(b, [1.0, 1.0], "m"),
         "embedding vector has length 2, but model 'm' holds node vectors of length 3"),
        (lambda: g.upsert("Doc", "k", {"k": 1}, vector=[1.0], model="m"),
         "embedding vector has length 1, but model 'm' holds node vectors of length 3"),
    ]
    g.add_edge_embedding(edge, [1.0, 0.0], "em")
    refusals.append((lambda: g.add_edge_embedding(edge, [1.0], "em"),
                     "embedding vector has length 1, but model 'em' holds edge vectors of length 2"))
    g.add_path_reference_embedding("r1", "m", "em", [1.0] * 10)
    refusals.append((lambda: g.add_path_reference_embedding("r2", "m", "em", [1.0] * 4),
                     "path reference vector has length 4, but the references of node_model 'm' and "
                     "edge_model 'em' have length 10"))

    def check():
        for call, message in refusals:
            with pytest.raises(ValueError) as e:
                call()
            assert str(e.value) == message
        assert g.knn_nodes([1.0, 0.0, 0.0], 5, "m") == [(a, 0.0)]
        assert g.delete("Doc", "k", 1) is None, "the refused upsert wrote nothing"

    check()
    g.close()
    g = zudizid.Graph.open(db_path)
    check()
    g.add_node_embedding(b, [0.0, 1.0, 0.0], "m")
    assert [n for n, _ in g.knn_nodes([1.0, 0.0, 0.0], 5, "m")] == [a, b]
    g.close()


def test_concurrent_first_stores_agree_on_one_length(graph):
    tx = graph.begin_transaction()
    nodes = [tx.add_node("Doc", {}) for _ in range(16)]
    tx.commit()
    start = threading.Barrier(len(nodes))
    refused = []

    def store(i, node):
        start.wait()
        try:
            graph.add_node_embedding(node, [1.0] * (2 + i % 2), "c")
        except ValueError:
            refused.append(node)

    threads = [threading.Thread(target=store, args=(i, n)) for i, n in enumerate(nodes)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    stored = [n for n in nodes if n not in refused]
    assert len(refused) == 8 and len(stored) == 8
    lengths = {len(graph.get_node_embedding(n, "c")) for n in stored}
    assert len(lengths) == 1
    assert len(graph.knn_nodes([1.0] * lengths.pop(), 16, "c")) == 8


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
