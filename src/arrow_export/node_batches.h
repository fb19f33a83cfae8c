// Record batches of nodes.
//
// Summary batch (`nodes_to_arrow`): id Utf8, label Utf8, property_count
// Int64, all non-nullable, one row per node in input order.
//
// Property batch (`nodes_to_arrow_with_properties`): id Utf8, label Utf8
// (non-nullable), then one nullable column per property name that holds a
// scalar (Bool, Int, Float, String) in some selected node. A column's type
// is the one scalar kind its name holds (Bool, Int64, Float64, Utf8), or
// Utf8 when it holds several ("mixed"). Cells: an absent name is null; in a
// typed column a non-scalar value is null; in a Utf8 column every present
// value is its `property_text`. Property columns come in the order their
// names are first met; readers find them by name.
//
// Failures are DbError::Message with the exact texts:
//   "Cannot convert empty node list to Arrow"    (summary, no nodes)
//   "No nodes to export"                          (property batch, no nodes)
//   "No nodes found with label '{}'"              (no node has the label)
//   "Arrow conversion error: {}" / "Failed to create RecordBatch: {}"
//                                                  (a Utf8 column too large)
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "arrow_export/record_batch.h"
#include "storage/cursor.h"
#include "storage/db_error.h"
#include "storage/node.h"

namespace zudizid::arrow_export {

// What a summary row holds of a node.
struct NodeSummary {
  Uuid id;
  std::string label;
  int64_t property_count = 0;
};

DbResult<RecordBatch> nodes_to_arrow(std::span<const Node> nodes, int64_t max_text_bytes = kMaxUtf8Bytes);
DbResult<RecordBatch> nodes_to_arrow(std::span<const NodeSummary> nodes, int64_t max_text_bytes = kMaxUtf8Bytes);
// The same batch from a cursor, read one node at a time: no node list is
// held. The cursor's first error is the result.
DbResult<RecordBatch> nodes_to_arrow(storage::Cursor<Node>& nodes, int64_t max_text_bytes = kMaxUtf8Bytes);

// With a label, keeps the nodes whose label equals it byte for byte (the
// empty label selects unlabelled nodes); without one, keeps every node.
DbResult<RecordBatch> nodes_to_arrow_with_properties(std::span<const Node> nodes,
                                                     std::optional<std::string_view> label,
                                                     int64_t max_text_bytes = kMaxUtf8Bytes);

}  // namespace zudizid::arrow_export
