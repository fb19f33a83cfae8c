// The handle's secondary-index operations: create, drop and list the indexes
// of its registry. The registry does the work (naming, the metadata file,
// filling from current nodes); these only reach it through the handle, which
// may lack one (then creating and dropping fail, and the list is empty).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "graph/graph.h"
#include "index/index_metadata.h"
#include "index/index_type.h"

namespace zudizid::graph {

// Returns the index name "{label}_{property}"; "Index {} already exists"
// when that name is taken.
DbResult<std::string> create_index(Graph& graph, std::string_view label, std::string_view property,
                                   index::IndexType type);

// An absent name is no error; the metadata file is rewritten either way.
DbResult<void> drop_index(Graph& graph, std::string_view name);

// Every user-created index's record (the built-in "_taxonomy" has none), in
// no promised order. Never fails.
std::vector<index::IndexMetadata> list_indexes(const Graph& graph);

}  // namespace zudizid::graph
