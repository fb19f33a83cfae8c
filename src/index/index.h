// The interface every kind of secondary index implements.
//
// An index maps property values to the ids of the nodes that carry them. The
// index manager owns each one under a name. Index objects have no lock of
// their own: insert, remove, clear and add_subclass are called with exclusive
// access (the manager's registry write lock, or before registration), while
// query, len and as_taxonomy may run from several threads at once.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <utility>
#include <vector>

#include "storage/node.h"
#include "index/index_query.h"

namespace zudizid::taxonomy {
class TaxonomyIndex;
}

namespace zudizid::index {

class Index {
 public:
  virtual ~Index() = default;

  virtual DbResult<void> insert(PropertyValue value, const Uuid& node_id) = 0;
  // Inserts every entry; stops at the first failure. Indexes whose changes
  // cost a commit each (full-text) make one commit for the whole batch.
  virtual DbResult<void> insert_batch(std::vector<std::pair<PropertyValue, Uuid>> entries) {
    for (auto& [value, id] : entries) {
      if (auto r = insert(std::move(value), id); !r) return r;
    }
    return {};
  }
  virtual DbResult<void> remove(const PropertyValue& value, const Uuid& node_id) = 0;
  // A fresh list of node ids.
  virtual DbResult<std::vector<Uuid>> query(const IndexQuery& query) const = 0;
  virtual DbResult<void> clear() = 0;
  virtual std::uint64_t len() const = 0;

  // Records that `child` is a direct subclass of `parent`. Only the taxonomy
  // index keeps links; every other kind succeeds without effect.
  virtual DbResult<void> add_subclass(const Uuid& child, const Uuid& parent) {
    return {};
  }
  // The class hierarchy behind a taxonomy index as an unchanging snapshot
  // (later changes to the index do not reach it); null for every other kind.
  virtual std::shared_ptr<const taxonomy::TaxonomyIndex> as_taxonomy() const { return nullptr; }
};

}  // namespace zudizid::index
