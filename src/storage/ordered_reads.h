// Node records read by id in one ordered pass.
//
//   auto nodes = storage::node_records_of(storage, ids).collect();  // ids ascending
//
// "node:{id}" keys sort as the ids do, so reading ascending ids visits each
// tree leaf once instead of descending from the root per id.
#pragma once

#include <vector>

#include "storage/cursor.h"
#include "storage/storage.h"

namespace zudizid::storage {

// The current records of `ids` (ascending), one decoded per step; an id
// without a record is skipped. A record that does not decode is the
// cursor's error. Ids out of order are still read, each with a descent.
Cursor<Node> node_records_of(const Storage& storage, std::vector<Uuid> ids);

}  // namespace zudizid::storage
