// Node records read for a query that needs only some of their properties:
// the other properties are skipped without being decoded. Their bytes are
// still walked, so a truncated record fails as it would in a full read; a
// record that fails only in the decoding of a skipped value reads here.
//
//   auto batch = storage::node_record_batch_with(storage, after, 512, "Person", {"age", "city"});
//
// A reader that only folds the records (an aggregate over a label) takes
// them as NodeFields: no property map is built and nothing is kept.
//
//   storage::visit_node_fields(storage, "Person", {"age", "city"}, [](const NodeFields& f) -> DbResult<void> {...});
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "storage/node.h"
#include "storage/storage.h"

namespace zudizid {

// Node::from_msgpack keeping only the properties named in `properties`.
common::msgpack::Result<Node> node_from_msgpack_with(common::msgpack::Reader& reader,
                                                     const std::vector<std::string>& properties);

// A node record with the values of some properties, by their position in
// the list asked for (absent: nullopt; a name stored twice: the last one).
struct NodeFields {
  Uuid id;
  std::string label;
  std::vector<std::optional<PropertyValue>> values;
  NodeKind kind = NodeKind::Individual;
};

// node_from_msgpack_with into `out` (reused from record to record): the same
// walk, so the same records fail with the same texts.
common::msgpack::Result<void> node_fields_from_msgpack(common::msgpack::Reader& reader,
                                                       const std::vector<std::string>& properties, NodeFields& out);

namespace storage {

// Storage::node_record_batch with each record read by node_from_msgpack_with.
DbResult<Storage::NodeBatch> node_record_batch_with(const Storage& storage, const std::optional<std::string>& after,
                                                    size_t limit, const std::optional<std::string>& label,
                                                    const std::vector<std::string>& properties);

// Every current node record in key order (with `label`, those of that label,
// byte for byte), each read by node_fields_from_msgpack and handed to
// `visit`: the records node_record_batch_with would return batch after
// batch. A record that does not decode, of any label, ends the walk with its
// error, as does the first error of `visit`.
DbResult<void> visit_node_fields(const Storage& storage, const std::optional<std::string>& label,
                                 const std::vector<std::string>& properties,
                                 const std::function<DbResult<void>(const NodeFields&)>& visit);

}  // namespace storage
}  // namespace zudizid
