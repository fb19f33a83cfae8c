"""Graph.import_turtle, ELReasoner and Inference."""
import inspect
import os
import signal
import subprocess
import sys
import textwrap
import threading
import uuid

import pytest

import zudizid

PREFIXES = """@prefix ex: <http://example.org/> .
@prefix owl: <http://www.w3.org/2002/07/owl#> .
@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .
"""
KEYS = ["classes_added", "subclass_edges_added", "instances_added", "triples_skipped"]


def test_import_result_and_arguments(graph):
    assert str(inspect.signature(zudizid.Graph.import_turtle)) == "(self, /, ttl_source)"
    assert zudizid.Graph.import_turtle.__doc__.startswith("Importa una fuente Turtle (OWL/RDF) en el grafo.")
    empty = graph.import_turtle("")
    assert list(empty) == KEYS and all(type(v) is int and v == 0 for v in empty.values())
    got = graph.import_turtle(PREFIXES + "ex:Dog a owl:Class ; rdfs:subClassOf ex:Animal .\n"
                              "ex:rex a ex:Dog ; ex:age 3 ; ex:name \"Rex\" .")
    assert got == dict(zip(KEYS, [1, 1, 1, 2]))
    assert graph.node_count() == 3
    for bad in (b"ex:a ex:b ex:c .", None, 3):
        with pytest.raises(TypeError):
            graph.import_turtle(bad)
    with pytest.raises(RuntimeError) as info:
        graph.import_turtle(PREFIXES + "ex:A a owl:Class .\nex:B ex:p")
    assert str(info.value) == "Turtle syntax error at line 5, column 10: text ends inside a statement"
    assert graph.node_count() == 3


def test_closed_graph():
    g = zudizid.Graph.in_memory()
    g.close()
    with pytest.raises(RuntimeError, match="Graph is closed"):
        g.import_turtle(PREFIXES)


CHILD = textwrap.dedent(
    """
    import sys, zudizid
    g = zudizid.Graph.open(sys.argv[1])
    for i in range(1000):
        text = sys.argv[2] + "ex:C%d rdfs:subClassOf ex:C%d . ex:x%d a ex:C%d ." % (i, i + 1, i, i)
        print(g.import_turtle(text)["instances_added"], i, flush=True)
    """
)


def test_acknowledged_imports_survive_sigkill(db_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    child = subprocess.Popen([sys.executable, "-c", CHILD, db_path, PREFIXES], stdout=subprocess.PIPE, text=True,
                             env=env)
    acked = []
    try:
        while len(acked) < 15:
            line = child.stdout.readline()
            if not line:
                break
            acked.append(int(line.split()[1]))
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait()
    assert len(acked) == 15
    g = zudizid.Graph.open(db_path)
    labels = g.get_labels()
    for i in acked:
        assert f"C{i}" in labels and f"C{i + 1}" in labels
    # Each acknowledged import wrote an individual labelled with its class.
    again = g.import_turtle(PREFIXES + "".join(f"ex:x{i} a ex:C{i} .\n" for i in acked))
    assert again["instances_added"] == 0
    g.close()


def test_overlapping_imports_keep_one_class_per_name(graph):
    def run(t):
        text = PREFIXES + "".join(f"ex:K{(i + t) % 12} rdfs:subClassOf ex:K{(i + t) % 12 + 1} .\n" for i in range(8))
        graph.import_turtle(text)

    threads = [threading.Thread(target=run, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert graph.node_count() == len(graph.get_labels())


# ---- ELReasoner

def ids(n):
    return [str(uuid.uuid4()) for _ in range(n)]


def test_reasoner_basics():
    animal, mammal, dog = ids(3)
    r = zudizid.ELReasoner()
    assert repr(r) == "ELReasoner(axioms=0, derived=0)"
    for node, name in ((animal, "Animal"), (mammal, "Mammal"), (dog, "Dog")):
        assert r.register_class(node, name) is None
    assert r.assert_subclass(mammal, animal) == []
    (inf,) = r.assert_subclass(sub=dog, super_class=mammal)
    assert (inf.sub, inf.super_class, inf.rule) == (dog, animal, "CR1")
    assert list(inf.to_dict().items()) == [("sub", dog), ("super_class", animal), ("rule", "CR1")]
    assert repr(inf) == f"Inference(sub={dog}, super_class={animal}, rule=CR1)"
    assert r.is_subclass_of(dog, animal) and not r.is_subclass_of(animal, dog)
    assert sorted(r.superclasses(dog)) == sorted([mammal, animal])
    assert sorted(r.subclasses(animal)) == sorted([mammal, dog])
    assert (r.axiom_count(), r.derived_count()) == (2, 1)
    assert r.classify_all() == []
    assert [(i.sub, i.super_class, i.rule) for i in r.derived_inferences()] == [(dog, animal, "CR1")]
    assert repr(r) == "ELReasoner(axioms=2, derived=1)"


def test_reasoner_ids_and_errors():
    a, b, c, d = ids(4)
    r = zudizid.ELReasoner()
    with pytest.raises(TypeError):
        zudizid.ELReasoner(1)
    assert r.is_subclass_of("nope", a) is False
    assert r.superclasses("nope") == [] and r.subclasses("nope") == []
    with pytest.raises(ValueError) as info:
        r.register_class("nope", "X")
    assert str(info.value) == "Invalid UUID: nope"
    with pytest.raises(RuntimeError) as info:
        r.assert_subclass(a, a.upper())
    assert str(info.value) == "assert_subclass: self-loops are not allowed (sub == super_class)"
    with pytest.raises(RuntimeError) as info:
        r.assert_existential(a, "r", "{" + a + "}")
    assert str(info.value) == "assert_existential: sub == filler is not meaningful"
    with pytest.raises(TypeError):
        r.assert_subclass(a, 5)
    # Any accepted form comes back lower-case and hyphenated.
    r.assert_subclass(a.upper(), "urn:uuid:" + b)
    (inf,) = r.assert_subclass(b.replace("-", ""), "{" + c.upper() + "}")
    assert (inf.sub, inf.super_class) == (a, c)
    assert sorted(r.superclasses(a.upper())) == sorted([b, c])
    # CR2 and CR3 through Python.
    r.register_class(a, "A")
    (cr2,) = r.assert_conjunction(b, c, d)
    assert (cr2.sub, cr2.super_class, cr2.rule) == (a, d, "CR2")
    e, f = ids(2)
    assert r.assert_existential(e, "has", a) == []
    (cr3,) = r.assert_existential_domain("has", b, f)
    assert (cr3.sub, cr3.super_class, cr3.rule) == (e, f, "CR3")
    assert zudizid.ELReasoner.assert_subclass.__doc__.startswith("Assert sub")
    assert str(inspect.signature(zudizid.ELReasoner.assert_existential_domain)) == "(self, /, role, filler, result)"
