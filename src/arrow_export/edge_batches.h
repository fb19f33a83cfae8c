// Record batches of edges, and the node/edge pair of a complete export.
//
// Edge batch: id, source, target, edge_type (Utf8, non-nullable), then one
// nullable Utf8 column per property name found on any edge, sorted by name
// bytes; a cell is null when the edge lacks the name, else the value's
// `property_text`. Rows keep the input order.
//
// Failures are DbError::Message:
//   "Arrow conversion error: {}"   (a Utf8 column too large)
// plus, from the complete export, the node batch's own texts.
#pragma once

#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "arrow_export/record_batch.h"
#include "storage/db_error.h"
#include "storage/node.h"

namespace zudizid::arrow_export {

// `edges` must not be empty: callers report that case themselves.
DbResult<RecordBatch> edges_to_arrow(std::span<const Edge> edges, int64_t max_text_bytes = kMaxUtf8Bytes);

// The four fixed edge columns and no rows.
RecordBatch empty_edge_batch();

// The property batch of `nodes` (selected by `label`) and the edge batch of
// every edge (the empty edge batch when there are none).
DbResult<std::pair<RecordBatch, RecordBatch>> graph_to_arrow(std::span<const Node> nodes, std::span<const Edge> edges,
                                                             std::optional<std::string_view> label);

}  // namespace zudizid::arrow_export
