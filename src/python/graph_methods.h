// The `Graph` class's methods come in groups, one file each; the type joins
// the groups' tables in this order. Each returns its entries without the
// terminating sentinel.
#pragma once

#include <span>

#include "python/py.h"

namespace zudizid::python {

std::span<const PyMethodDef> graph_open_methods();       // graph_open.cc: open methods, close, with
std::span<const PyMethodDef> graph_txn_methods();        // graph_txn.cc: transactions, bulk loader
std::span<const PyMethodDef> graph_stats_methods();      // graph_stats.cc: counts and statistics
std::span<const PyMethodDef> graph_upsert_methods();     // graph_upsert.cc: upsert and delete
std::span<const PyMethodDef> graph_embedding_methods();  // graph_embeddings.cc: embeddings
std::span<const PyMethodDef> graph_vector_methods();     // graph_vector.cc: nearest-neighbour search
std::span<const PyMethodDef> graph_schema_methods();     // graph_schema.cc: schema
std::span<const PyMethodDef> graph_index_methods();      // graph_index.cc: secondary indexes
std::span<const PyMethodDef> graph_arrow_methods();      // graph_arrow.cc: Arrow export
std::span<const PyMethodDef> graph_ontology_methods();   // graph_ontology.cc: Turtle import
std::span<const PyMethodDef> graph_zql_methods();        // graph_zql.cc: ZQL statements

}  // namespace zudizid::python
