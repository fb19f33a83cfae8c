// The taxonomy index: the class hierarchy reached through the Index
// interface. Inserting a String value names the node as a class; removing
// forgets the class; the only query is a class-name lookup. Links come in
// through add_subclass. Everything lives in memory.
//
// as_taxonomy hands out the hierarchy itself as a shared read-only snapshot
// instead of a copy. The next change after a snapshot went out copies the
// hierarchy first (copy on write), so a snapshot never changes under its
// readers; changes made while no snapshot is out cost no copy.
#pragma once

#include <atomic>
#include <memory>

#include "index/index.h"
#include "index/taxonomy.h"

namespace zudizid::index {

class TaxonomyIndexAdapter final : public Index {
 public:
  TaxonomyIndexAdapter() : TaxonomyIndexAdapter(taxonomy::TaxonomyIndex{}) {}
  explicit TaxonomyIndexAdapter(taxonomy::TaxonomyIndex hierarchy)
      : hierarchy_(std::make_shared<taxonomy::TaxonomyIndex>(std::move(hierarchy))) {}

  // A String value is the class name; any other value is ignored.
  DbResult<void> insert(PropertyValue value, const Uuid& node_id) override;
  // Forgets the class whatever the value.
  DbResult<void> remove(const PropertyValue& value, const Uuid& node_id) override;
  // Equals(String name) only: zero or one class id.
  DbResult<std::vector<Uuid>> query(const IndexQuery& query) const override;
  DbResult<void> clear() override;
  // Named classes.
  std::uint64_t len() const override { return hierarchy_->len(); }
  DbResult<void> add_subclass(const Uuid& child, const Uuid& parent) override;
  std::shared_ptr<const taxonomy::TaxonomyIndex> as_taxonomy() const override;

 private:
  // The hierarchy to change: a private copy when a snapshot is out.
  taxonomy::TaxonomyIndex& writable();

  std::shared_ptr<taxonomy::TaxonomyIndex> hierarchy_;
  // Set when a snapshot went out; readers set it under the registry's read
  // lock, writers clear it under the write lock.
  mutable std::atomic<bool> shared_{false};
};

}  // namespace zudizid::index
