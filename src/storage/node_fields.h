// Node records read for a query that needs only some of their properties:
// the other properties are skipped without being decoded. Their bytes are
// still walked, so a truncated record fails as it would in a full read; a
// record that fails only in the decoding of a skipped value reads here.
//
//   auto batch = storage::node_record_batch_with(storage, after, 512, "Person", {"age", "city"});
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "storage/node.h"
#include "storage/storage.h"

namespace zudizid {

// Node::from_msgpack keeping only the properties named in `properties`.
common::msgpack::Result<Node> node_from_msgpack_with(common::msgpack::Reader& reader,
                                                     const std::vector<std::string>& properties);

namespace storage {

// Storage::node_record_batch with each record read by node_from_msgpack_with.
DbResult<Storage::NodeBatch> node_record_batch_with(const Storage& storage, const std::optional<std::string>& after,
                                                    size_t limit, const std::optional<std::string>& label,
                                                    const std::vector<std::string>& properties);

}  // namespace storage
}  // namespace zudizid
