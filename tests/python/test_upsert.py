"""Keyed writes from Python: upsert, upsert_many and delete."""
import inspect
import re
import threading

import numpy as np
import pytest

import zudizid

ID = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")
PAIR = "upsert: provide both 'vector' and 'model', or neither"


@pytest.fixture
def g(graph):
    return graph


def key_message(excinfo):
    return excinfo.value.args[0]


@pytest.mark.parametrize(
    "method,signature,first_line",
    [
        (
            "upsert",
            "(self, /, label, key, props, vector=None, model=None, links=None)",
            "Idempotently write the desired state of a node keyed by `(label, key)`.",
        ),
        ("upsert_many", "(self, /, requests)", "Upsert many nodes. Each item is a dict with the same fields as `upsert`:"),
        ("delete", "(self, /, label, key, value)", "Delete the node identified by a business key `(label, key, value)` — the"),
    ],
)
def test_signatures_and_docstrings(method, signature, first_line):
    fn = getattr(zudizid.Graph, method)
    assert str(inspect.signature(fn)) == signature
    assert fn.__doc__.splitlines()[0] == first_line


def test_created_unchanged_updated(g):
    props = {"key": "note:a", "path": "a.md"}
    outcome, node_id = g.upsert("Chunk", "key", props)
    assert outcome == "created" and ID.match(node_id)
    assert g.upsert("Chunk", "key", dict(props)) == ("unchanged", node_id)
    assert g.upsert(label="Chunk", key="key", props={"key": "note:a", "path": "b.md"}) == ("updated", node_id)
    # Dropping a property is a change as well.
    assert g.upsert("Chunk", "key", {"key": "note:a"}) == ("updated", node_id)
    assert g.upsert("Chunk", "key", {"key": "note:a"}) == ("unchanged", node_id)


def test_argument_errors(g):
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'props'"):
        g.upsert("L", "k")
    with pytest.raises(TypeError, match="unexpected keyword argument 'vec'"):
        g.upsert("L", "k", {"k": 1}, vec=[1.0])
    with pytest.raises(TypeError) as e:
        g.upsert("L", "k", [("k", 1)])
    assert "while processing 'props'" in e.value.__notes__
    with pytest.raises(TypeError) as e:
        g.upsert("L", 5, {"k": 1})
    assert "while processing 'key'" in e.value.__notes__
    with pytest.raises(TypeError) as e:
        g.upsert("L", "k", {"k": 1}, links=({"type": "T"},))
    assert "while processing 'links'" in e.value.__notes__
    with pytest.raises(TypeError) as e:
        g.upsert_many(({"label": "L", "key": "k", "props": {"k": 1}},))
    assert "while processing 'requests'" in e.value.__notes__


def test_engine_error_for_missing_key_property(g):
    with pytest.raises(RuntimeError) as e:
        g.upsert("User", "email", {"name": "x"})
    assert str(e.value) == "upsert: key 'email' missing from props for label 'User'"


@pytest.mark.parametrize(
    "kwargs",
    [{"vector": [1.0]}, {"model": "m"}],
    ids=["vector alone", "model alone"],
)
def test_vector_and_model_come_together(g, kwargs):
    with pytest.raises(ValueError) as e:
        g.upsert("L", "k", {"k": 1}, **kwargs)
    assert str(e.value) == PAIR
    assert g.delete("L", "k", 1) is None, "nothing written"


@pytest.mark.parametrize(
    "vector,message",
    [
        ([0.0, 0.0], "embedding vector has zero norm (cosine distance is undefined for it)"),
        ([], "embedding vector is empty"),
        ([1.0, float("nan")], "embedding vector component 1 is not finite"),
        ([float("-inf")], "embedding vector component 0 is not finite"),
    ],
)
def test_vectors_cosine_cannot_compare_are_refused(g, vector, message):
    with pytest.raises(ValueError) as e:
        g.upsert("L", "k", {"k": 1}, vector=vector, model="m")
    assert str(e.value) == message
    with pytest.raises(ValueError) as e:
        g.upsert_many([{"label": "L", "key": "k", "props": {"k": 1}, "vector": vector, "model": "m"}])
    assert str(e.value) == message
    assert g.delete("L", "k", 1) is None, "nothing written"


def test_embedding_through_upsert(g):
    outcome, node_id = g.upsert("Doc", "k", {"k": 1}, [1, 2], "m")
    assert outcome == "created"
    assert g.get_node_embedding(node_id, "m") == [1.0, 2.0]
    assert g.upsert("Doc", "k", {"k": 1}, vector=(1.0, 2.0), model="m") == ("unchanged", node_id)
    assert g.upsert("Doc", "k", {"k": 1}, vector=[2.0, 1.0], model="m") == ("updated", node_id)
    assert g.get_node_embedding(node_id, "m") == [2.0, 1.0]


def test_links_stubs_and_reconciliation(g):
    link = {"type": "IN", "target_label": "City", "target_key": "name", "target_key_value": "Oslo"}
    with pytest.raises(RuntimeError) as e:
        g.upsert("User", "email", {"email": "a@x"}, links=[link])
    assert str(e.value) == 'Node not found: link target City.name=String("Oslo") not found (set create_target_stub to create it)'
    # Only a real bool asks for a stub.
    with pytest.raises(RuntimeError, match="^Node not found: link target"):
        g.upsert("User", "email", {"email": "a@x"}, links=[dict(link, stub=1)])
    assert g.delete("User", "email", "a@x") is None, "a failed request writes nothing"

    outcome, user = g.upsert("User", "email", {"email": "a@x"}, links=[dict(link, stub=True, props={"since": 2020})])
    assert outcome == "created"
    # Found again: stub and edge exist, nothing to write.
    assert g.upsert("User", "email", {"email": "a@x"}, links=[dict(link, stub=True)]) == ("unchanged", user)
    assert g.upsert("User", "email", {"email": "a@x"}, links=[link]) == ("unchanged", user)
    # A new link on unchanged props is an update.
    g.upsert("City", "name", {"name": "Rome"})
    rome = dict(link, target_key_value="Rome")
    assert g.upsert("User", "email", {"email": "a@x"}, links=[link, rome]) == ("updated", user)
    assert g.upsert("User", "email", {"email": "a@x"}, links=[rome]) == ("unchanged", user)
    # The stub holds only its key property.
    assert g.upsert("City", "name", {"name": "Oslo"})[0] == "unchanged"


LINK = {"type": "T", "target_label": "L", "target_key": "k", "target_key_value": 1}


@pytest.mark.parametrize(
    "link,exc,message",
    [
        (["not", "a dict"], TypeError, "each link must be a dict"),
        ({k: v for k, v in LINK.items() if k != "type"}, KeyError, "link missing 'type'"),
        ({k: v for k, v in LINK.items() if k != "target_label"}, KeyError, "link missing 'target_label'"),
        ({k: v for k, v in LINK.items() if k != "target_key"}, KeyError, "link missing 'target_key'"),
        ({k: v for k, v in LINK.items() if k != "target_key_value"}, KeyError, "link missing 'target_key_value'"),
        (dict(LINK, props=None), TypeError, "link 'props' must be a dict"),
        (dict(LINK, props=[1]), TypeError, "link 'props' must be a dict"),
        (dict(LINK, target_key_value={}), TypeError, "unsupported property value type (use str/int/float/bool/bytes/None)"),
    ],
    ids=["not a dict", "type", "target_label", "target_key", "target_key_value", "props None", "props list", "bad value"],
)
def test_link_errors(g, link, exc, message):
    with pytest.raises(exc) as e:
        g.upsert("L", "k", {"k": 1}, links=[link])
    assert e.value.args[0] == message
    with pytest.raises(exc) as e:
        g.upsert_many([{"label": "L", "key": "k", "props": {"k": 1}, "links": [link]}])
    assert e.value.args[0] == message
    assert g.delete("L", "k", 1) is None


def test_link_text_fields_must_be_str(g):
    with pytest.raises(TypeError, match="cannot be converted"):
        g.upsert("L", "k", {"k": 1}, links=[dict(LINK, type=5)])


def test_upsert_many_results_in_order(g):
    assert g.upsert_many([]) == []
    reqs = [
        {"label": "A", "key": "k", "props": {"k": 1}},
        {"label": "A", "key": "k", "props": {"k": 2}, "vector": None, "model": None, "links": None, "extra": 1},
        {"label": "A", "key": "k", "props": {"k": 1}},
    ]
    out = g.upsert_many(reqs)
    assert [o for o, _ in out] == ["created", "created", "unchanged"]
    assert out[0][1] == out[2][1] != out[1][1]
    assert g.upsert_many(reqs[:1]) == [("unchanged", out[0][1])]


GOOD = {"label": "A", "key": "k", "props": {"k": 1}}


@pytest.mark.parametrize(
    "bad,exc,message",
    [
        (5, TypeError, "upsert_many: each request must be a dict"),
        ({"key": "k", "props": {"k": 2}}, KeyError, "request missing 'label'"),
        ({"label": "A", "props": {"k": 2}}, KeyError, "request missing 'key'"),
        ({"label": "A", "key": "k"}, KeyError, "request missing 'props'"),
        ({"label": "A", "key": "k", "props": None}, TypeError, "'props' must be a dict"),
        ({"label": "A", "key": "k", "props": {"k": 2}, "links": ()}, TypeError, "'links' must be a list"),
        ({"label": "A", "key": "k", "props": {"k": 2}, "model": "m"}, ValueError, PAIR),
        ({"label": "A", "key": "k", "props": {"k": 2}, "vector": [1.0], "model": None}, ValueError, PAIR),
    ],
    ids=["not a dict", "label", "key", "props", "props None", "links tuple", "model alone", "vector alone"],
)
def test_upsert_many_malformed_item_writes_nothing(g, bad, exc, message):
    with pytest.raises(exc) as e:
        g.upsert_many([GOOD, bad])
    assert e.value.args[0] == message
    assert g.delete("A", "k", 1) is None, "the valid first item was not written"


def test_upsert_many_engine_failure_keeps_earlier_requests(g):
    reqs = [GOOD, {"label": "A", "key": "k", "props": {"k": 2}}, {"label": "A", "key": "x", "props": {"k": 3}}]
    with pytest.raises(RuntimeError, match="^upsert: key 'x' missing from props for label 'A'$"):
        g.upsert_many(reqs)
    assert g.delete("A", "k", 1) is not None
    assert g.delete("A", "k", 2) is not None
    assert g.delete("A", "k", 3) is None


def test_delete(g):
    assert g.delete("Note", "key", "note:intro") is None
    _, node_id = g.upsert("Note", "key", {"key": "note:intro"})
    assert g.delete(label="Note", key="key", value="note:intro") == node_id
    assert g.delete("Note", "key", "note:intro") is None
    assert g.delete("Note", "key", "note:intro") is None


def test_delete_with_a_list_value_looks_up_bytes(g):
    _, node_id = g.upsert("Blob", "k", {"k": b"\x01\x02"})
    assert g.delete("Blob", "k", [1, 2]) == node_id


def test_dict_and_list_subclasses_are_accepted(g):
    class Props(dict):
        pass

    class Links(list):
        pass

    link = Props(type="T", target_label="Tag", target_key="n", target_key_value=1, stub=np.True_)
    outcome, node_id = g.upsert("L", "k", Props(k=1), links=Links([link]))
    assert outcome == "created"
    assert g.upsert_many(Links([Props(label="L", key="k", props=Props(k=1), links=Links([link]))])) == [
        ("unchanged", node_id)
    ]
    assert g.upsert("Tag", "n", {"n": 1})[0] == "unchanged", "the numpy bool asked for a stub"


def test_delete_refuses_an_ambiguous_key(g):
    # Two business keys whose nodes share a value of the first key's property.
    first = g.upsert("L", "a", {"a": 1})[1]
    g.upsert("L", "b", {"b": 5, "a": 1})
    with pytest.raises(RuntimeError) as e:
        g.delete("L", "a", 1)
    assert str(e.value) == "Ambiguous upsert key: 2 nodes match L.a=Int(1); deduplicate before deleting"
    with pytest.raises(RuntimeError, match="^Ambiguous upsert key: 2 nodes match L.a=Int.1.; deduplicate before upserting$"):
        g.upsert("L", "a", {"a": 1})
    assert g.delete("L", "b", 5) is not None
    assert g.delete("L", "a", 1) == first


def test_closed_graph():
    g = zudizid.Graph.in_memory()
    g.close()
    for call in [
        lambda: g.upsert("L", "k", {"k": 1}),
        lambda: g.upsert("L", "k", {"k": 1}, vector=[1.0]),  # the pair check comes after the handle
        lambda: g.upsert("L", "k", {"k": 1}, links=[5]),
        lambda: g.upsert_many([5]),
        lambda: g.upsert_many([]),
        lambda: g.delete("L", "k", {}),
    ]:
        with pytest.raises(RuntimeError, match="^Graph is closed$"):
            call()
    # Argument types are checked first.
    with pytest.raises(TypeError):
        g.upsert("L", "k", 5)
    with pytest.raises(TypeError):
        g.upsert_many((1,))
    with pytest.raises(TypeError):
        g.delete(1, "k", 1)


def race(threads, body):
    """Runs body(t) on `threads` threads started together; returns what they raised."""
    errors = []
    start = threading.Barrier(threads)

    def worker(t):
        try:
            start.wait()
            body(t)
        except Exception as e:  # reported by the caller
            errors.append(e)

    running = [threading.Thread(target=worker, args=(t,)) for t in range(threads)]
    for t in running:
        t.start()
    for t in running:
        t.join()
    return errors


def test_concurrent_upserts_keep_one_node_per_key(g):
    keys = [f"k{i}" for i in range(25)]
    seen = {k: set() for k in keys}
    lock = threading.Lock()

    def upserts(t):
        # Every thread walks the keys in the same order, so the first upsert
        # of each key races between threads; the values differ per thread.
        for i in range(200):
            k = keys[i % len(keys)]
            outcome, node_id = g.upsert("Item", "name", {"name": k, "v": (i + t) % 3})
            with lock:
                seen[k].add(node_id)

    assert race(8, upserts) == []
    assert all(len(ids) == 1 for ids in seen.values()), seen
    assert g.node_count() == len(keys)
    # Exactly one node per key: the delete is not ambiguous and finds the same id.
    for k in keys:
        assert g.delete("Item", "name", k) == next(iter(seen[k]))
        assert g.delete("Item", "name", k) is None


def test_links_to_one_missing_target_make_one_stub(g):
    """Two links of one request, and 8 threads linking to the same missing
    targets (and upserting some of them), leave one node per target key."""
    def link(city, link_type="IN"):
        return {"type": link_type, "target_label": "City", "target_key": "name", "target_key_value": city,
                "stub": True}

    g.upsert("User", "email", {"email": "self"}, links=[link("Oslo"), link("Oslo", "BORN_IN")])
    cities = [f"c{i}" for i in range(6)]

    def upserts(t):
        for i in range(30):
            if i % 10 == t:
                g.upsert("City", "name", {"name": cities[i % len(cities)]})
            else:
                g.upsert("User", "email", {"email": f"u{t}-{i}"},
                         links=[link(cities[i % len(cities)]), link(cities[(i + t) % len(cities)], "VISITED")])

    assert race(8, upserts) == []
    assert g.get_edge_type_count("BORN_IN") == 1
    # One node per key: the delete is not ambiguous, and a second finds nothing.
    for city in ["Oslo"] + cities:
        assert g.delete("City", "name", city) is not None
        assert g.delete("City", "name", city) is None


@pytest.mark.parametrize("index", [None, "hash", "btree"])
def test_keyed_lookups_answer_alike_with_an_index(graph, index):
    # The same script with and without an index on (L, k): an index lookup
    # must find exactly the nodes the label scan finds.
    if index:
        graph.create_index("L", "k", index)
    seen = {}

    def name(node_id):
        return None if node_id is None else seen.setdefault(node_id, len(seen))

    log = []
    for props in ({"k": 1}, {"k": 1.0}, {"k": "1"}, {"k": 1, "x": 2}, {"k": -0.0}):
        outcome, node_id = graph.upsert("L", "k", props)
        log.append((outcome, name(node_id)))
    graph.upsert("M", "k", {"k": 7})  # another label's node with the key
    loader = graph.bulk_loader(10)
    loader.add_node("L", {"k": 9})
    loader.finish()
    tx = graph.begin_transaction()
    tx.add_node("L", {"k": 5})
    tx.commit()
    for key in (7, 9, 5, 0.0):
        outcome, node_id = graph.upsert("L", "k", {"k": key})
        log.append((outcome, name(node_id)))
    graph.upsert("L", "j", {"j": 1, "k": 5})  # a second node listed under k=5
    with pytest.raises(RuntimeError, match="^Ambiguous upsert key: 2 nodes match L.k=Int.5."):
        graph.delete("L", "k", 5)
    for key in (1, 1.0, "1", 9, 9):
        log.append(name(graph.delete("L", "k", key)))
    log.append(graph.upsert("L", "k", {"k": 1})[0])
    assert log == [
        ("created", 0), ("created", 1), ("created", 2), ("updated", 0), ("created", 3),
        ("created", 4), ("unchanged", 5), ("unchanged", 6), ("unchanged", 3),
        0, 1, 2, 5, None, "created",
    ]
