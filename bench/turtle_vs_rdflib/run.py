#!/usr/bin/python3
"""Turtle import against rdflib on the same generated ontology.

Generates an ontology of about --triples triples (a tree of --classes
classes, individuals with plain, typed and language-tagged literals), then
times, median of --runs:
  ours    Graph.import_turtle into a fresh database on disk (read, write,
          durable before it returns)
  rdflib  rdflib.Graph().parse(data=..., format="turtle") (read only)
and prints triples/s of both and the ratio ours / rdflib (higher is better).

usage: PYTHONPATH=build/src/python run.py [--triples 1000000] [--classes 2000]
"""
import argparse
import os
import random
import shutil
import statistics
import sys
import tempfile
import time

import rdflib

import zudizid


def generate(triples, classes, seed=1):
    rng = random.Random(seed)
    lines = ["@prefix ex: <http://example.org/onto#> .",
             "@prefix owl: <http://www.w3.org/2002/07/owl#> .",
             "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .",
             "@prefix xsd: <http://www.w3.org/2001/XMLSchema#> ."]
    count = 0
    for c in range(classes):
        lines.append(f"ex:C{c} a owl:Class" + (f" ; rdfs:subClassOf ex:C{(c - 1) // 2}" if c else "") + " .")
        count += 2 if c else 1
    i = 0
    while count < triples:
        cls = rng.randrange(classes)
        lines.append(f"ex:i{i} a ex:C{cls} ; ex:name \"n{i}\" ; ex:age \"{rng.randrange(90)}\"^^xsd:integer ;\n"
                     f"  ex:note \"nota {i}\"@es ; ex:score {rng.random():.4f} ; ex:ok true .")
        count += 6
        i += 1
    return "\n".join(lines) + "\n", count, i


def median_time(fn, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--triples", type=int, default=1_000_000)
    ap.add_argument("--classes", type=int, default=2000)
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    text, count, individuals = generate(args.triples, args.classes)
    print(f"{count} triples, {args.classes} classes, {individuals} individuals, {len(text) / 1e6:.1f} MB")

    work = tempfile.mkdtemp(prefix="turtle_bench_")

    def ours():
        path = os.path.join(work, "db")
        shutil.rmtree(path, ignore_errors=True)
        g = zudizid.Graph.open(path)
        stats = g.import_turtle(text)
        g.close()
        assert stats["instances_added"] == individuals, stats

    def theirs():
        g = rdflib.Graph()
        g.parse(data=text, format="turtle")

    t_ours = median_time(ours, args.runs)
    t_theirs = median_time(theirs, args.runs)
    print(f"ours    {t_ours:8.2f} s  {count / t_ours:12.0f} triples/s")
    print(f"rdflib  {t_theirs:8.2f} s  {count / t_theirs:12.0f} triples/s")
    print(f"ours / rdflib (triples/s): {t_theirs / t_ours:.2f}")
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
