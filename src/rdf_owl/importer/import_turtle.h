// Importing Turtle into a graph: class nodes, "subClassOf" edges between
// them and individual nodes with their properties, all recognised by local
// names (see term_values.h).
//
//   auto stats = import_turtle(graph, text, hierarchy);
//
// - A text that is not Turtle is refused before anything is written.
// - Pass 1 writes a Class node per declared class (`x rdf:type owl:Class`),
//   reusing a current Class node of that label; pass 2 writes an edge
//   "subClassOf" per link and adds it to `hierarchy`; later passes collect
//   individuals (subjects typed with a known class, the first type wins) and
//   their properties, and write each individual not already present (same
//   label and "iri").
// - Blank nodes never become classes, and a link whose two ends share a
//   local name is skipped: both count in `triples_skipped` and write nothing.
// - Success is reported only after what was written is durable.
// - `hierarchy` keeps what was registered even when the import fails; the
//   caller decides whether to install it.
#pragma once

#include <cstdint>
#include <string_view>

#include "graph/graph.h"
#include "index/taxonomy.h"
#include "storage/db_error.h"

namespace zudizid::rdf_owl::importer {

struct ImportStats {
  uint64_t classes_added = 0;
  uint64_t subclass_edges_added = 0;
  uint64_t instances_added = 0;
  uint64_t triples_skipped = 0;
};

DbResult<ImportStats> import_turtle(graph::Graph& graph, std::string_view text, taxonomy::TaxonomyIndex& hierarchy);

}  // namespace zudizid::rdf_owl::importer

namespace zudizid::graph {

// Imports into an open graph and, on success, installs the updated class
// hierarchy as the graph's "_taxonomy" index. Imports are serialised, so
// overlapping ones neither drop each other's classes from the hierarchy nor
// write a class node twice.
DbResult<rdf_owl::importer::ImportStats> import_turtle(Graph& graph, std::string_view text);

}  // namespace zudizid::graph
