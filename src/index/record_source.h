// What the index layer and the schema cache read of the stored graph: full
// scans of the current nodes and of the edges. The storage layer (or the
// graph engine) implements it; tests implement it over in-memory fixtures.
#pragma once

#include <expected>
#include <string_view>
#include <vector>

#include "storage/node.h"

namespace zudizid::index {

class RecordSource {
 public:
  virtual ~RecordSource() = default;
  // Every current node record, in key order.
  virtual DbResult<std::vector<Node>> scan_current_nodes() = 0;
  // Every edge record, in key order.
  virtual DbResult<std::vector<Edge>> scan_edges() = 0;
  // The current nodes whose label equals `label` byte for byte, in scan
  // order. The default filters scan_current_nodes.
  virtual DbResult<std::vector<Node>> get_nodes_by_label(std::string_view label);
};

}  // namespace zudizid::index
