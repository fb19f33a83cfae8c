"""A test-sized run of a real data set: a Debian `Packages` index written by the
test itself (a few hundred stanzas with versioned and alternative
dependencies, multi-line descriptions and non-ASCII text), loaded through the
public API only, indexed, embedded, closed and reopened; every count exact."""
import hashlib
import random

import pytest

import zudizid

EXTERNAL = [f"lib{name}" for name in ("c6", "ssl3", "z1g", "stdc++6", "gcc-s1", "zstd1", "lzma5")]


def write_packages(path, count=300, seed=7):
    rng = random.Random(seed)
    names = [f"pkg-{i:04d}" for i in range(count)]
    with open(path, "w", encoding="utf-8") as out:
        for i, name in enumerate(names):
            deps = []
            for _ in range(rng.randint(0, 4)):
                first = rng.choice(names[:i] + EXTERNAL) if i else rng.choice(EXTERNAL)
                if rng.random() < 0.3:
                    first += f" (>= {rng.randint(1, 9)}.{rng.randint(0, 20)})"
                if rng.random() < 0.2:
                    first += " | " + rng.choice(EXTERNAL)
                deps.append(first)
            out.write(f"Package: {name}\n")
            out.write(f"Version: {rng.randint(0, 3)}.{rng.randint(0, 40)}-{rng.randint(1, 5)}\n")
            out.write("Architecture: amd64\n")
            if deps:
                out.write("Depends: " + ", ".join(deps) + "\n")
            out.write(f"Description: tool number {i} for café-grade packaging\n")
            for line in range(rng.randint(1, 3)):
                out.write(f" Long description line {line} of {name}, with words {rng.randint(0, 999)}.\n")
                out.write(" .\n")
            out.write("\n")


def parse_packages(path):
    """Stanzas as dicts; continuation lines joined to their field with newlines."""
    stanzas, current, field = [], {}, None
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            line = line.rstrip("\n")
            if not line:
                if current:
                    stanzas.append(current)
                current, field = {}, None
            elif line.startswith(" "):
                current[field] += "\n" + line[1:]
            else:
                field, _, value = line.partition(": ")
                current[field] = value
    if current:
        stanzas.append(current)
    return stanzas


def dependencies(stanza):
    """The first alternative of each dependency, without its version, once each."""
    seen = []
    for dep in filter(None, stanza.get("Depends", "").split(", ")):
        name = dep.split(" | ")[0].split(" (")[0]
        if name not in seen:
            seen.append(name)
    return seen


def vector(text, dim=16):
    v = [0.0] * dim
    v[0] = 1.0
    for word in text.split():
        h = hashlib.blake2b(word.encode(), digest_size=2).digest()
        v[h[0] % dim] += 1.0 + h[1] / 255.0
    return v


def requests(stanzas):
    return [{
        "label": "Package",
        "key": "name",
        "props": {"name": s["Package"], "version": s["Version"], "architecture": s["Architecture"],
                  "description": s["Description"]},
        "links": [{"type": "DEPENDS", "target_label": "Package", "target_key": "name", "target_key_value": dep,
                   "stub": True} for dep in dependencies(s)],
    } for s in stanzas]


def test_debian_packages_load_reopen_counts_exact(tmp_path):
    path = tmp_path / "Packages"
    write_packages(path)
    stanzas = parse_packages(path)
    assert len(stanzas) == 300
    reqs = requests(stanzas)
    names = {s["Package"] for s in stanzas}
    stubs = {dep for s in stanzas for dep in dependencies(s)} - names
    edges = sum(len(dependencies(s)) for s in stanzas)
    db = str(tmp_path / "db")

    with zudizid.Graph.open(db) as g:
        ids = {}
        for first in range(0, len(reqs), 50):
            for req, (outcome, node_id) in zip(reqs[first:first + 50], g.upsert_many(reqs[first:first + 50])):
                assert outcome == "created"
                ids[req["props"]["name"]] = node_id
        assert g.create_index("Package", "name") == "Package_name"
        for s in stanzas:
            g.add_node_embedding(ids[s["Package"]], vector(s["Description"]), "desc")
        assert g.node_count() == len(names) + len(stubs)

    with zudizid.Graph.open(db) as g:
        assert g.node_count() == len(names) + len(stubs)
        g.rebuild_schema()
        assert g.get_label_count("Package") == len(names) + len(stubs)
        assert g.get_edge_type_count("DEPENDS") == edges
        assert g.list_indexes() == [("Package_name", "Package", "name", "Hash")]
        # Everything came back as written: the same requests change nothing.
        for first in range(0, len(reqs), 50):
            outcomes = g.upsert_many(reqs[first:first + 50])
            assert outcomes == [("unchanged", ids[r["props"]["name"]]) for r in reqs[first:first + 50]]
        assert g.node_count() == len(names) + len(stubs)
        for s in stanzas[::37]:
            stored = g.get_node_embedding(ids[s["Package"]], "desc")
            assert stored == pytest.approx(vector(s["Description"]))
            nearest, distance = g.knn_nodes(stored, 1, "desc")[0]
            assert distance == pytest.approx(0.0, abs=1e-5)
            assert g.get_node_embedding(nearest, "desc") == stored
