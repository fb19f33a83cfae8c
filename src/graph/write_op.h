// WriteOp: one single write operation sent to the write applier (or applied
// directly when it has ended). Not logged: only commits reach the log.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "storage/node.h"
#include "storage/property_value.h"

namespace zudizid::graph {

struct WriteOp {
  // Adds or replaces the current record; unless `skip_indexing`, the
  // property index and the secondary indexes drop the replaced record's
  // entries and take the new ones.
  struct PutNode {
    Node node;
    bool skip_indexing = false;
  };
  // Adds (or re-puts) an edge; its next version is valid from `timestamp`.
  struct PutEdge {
    Edge edge;
    uint64_t timestamp = 0;
  };
  // Deletes a node with its incident edges.
  struct DeleteNode {
    Uuid node_id;
  };
  // Deletes an edge, closing its version at `timestamp`.
  struct DeleteEdge {
    Uuid edge_id;
    uint64_t timestamp = 0;
  };
  struct IndexProperty {
    std::string property;
    PropertyValue value;
    Uuid node_id;
  };
  struct UnindexProperty {
    std::string property;
    PropertyValue value;
    Uuid node_id;
  };

  std::variant<PutNode, PutEdge, DeleteNode, DeleteEdge, IndexProperty, UnindexProperty> op;
};

}  // namespace zudizid::graph
