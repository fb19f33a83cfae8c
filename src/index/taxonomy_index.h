// The taxonomy index: the class hierarchy reached through the Index
// interface. Inserting a String value names the node as a class; removing
// forgets the class; the only query is a class-name lookup. Links come in
// through add_subclass. Everything lives in memory.
#pragma once

#include "index/index.h"
#include "rdf_owl/taxonomy.h"

namespace zudizid::index {

class TaxonomyIndexAdapter final : public Index {
 public:
  TaxonomyIndexAdapter() = default;
  explicit TaxonomyIndexAdapter(taxonomy::TaxonomyIndex hierarchy)
      : hierarchy_(std::move(hierarchy)) {}

  // A String value is the class name; any other value is ignored.
  std::expected<void, DbError> insert(PropertyValue value, const Uuid& node_id) override;
  // Forgets the class whatever the value.
  std::expected<void, DbError> remove(const PropertyValue& value, const Uuid& node_id) override;
  // Equals(String name) only: zero or one class id.
  std::expected<std::vector<Uuid>, DbError> query(const IndexQuery& query) const override;
  std::expected<void, DbError> clear() override;
  // Named classes.
  std::uint64_t len() const override { return hierarchy_.len(); }
  std::expected<void, DbError> add_subclass(const Uuid& child, const Uuid& parent) override;
  const taxonomy::TaxonomyIndex* as_taxonomy() const override { return &hierarchy_; }

 private:
  taxonomy::TaxonomyIndex hierarchy_;
};

}  // namespace zudizid::index
