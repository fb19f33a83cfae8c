#include "index/taxonomy_index.h"

#include "index/value_keys.h"

namespace zudizid::index {

taxonomy::TaxonomyIndex& TaxonomyIndexAdapter::writable() {
  if (shared_.exchange(false, std::memory_order_acq_rel)) {
    hierarchy_ = std::make_shared<taxonomy::TaxonomyIndex>(*hierarchy_);
  }
  return *hierarchy_;
}

std::shared_ptr<const taxonomy::TaxonomyIndex> TaxonomyIndexAdapter::as_taxonomy() const {
  shared_.store(true, std::memory_order_release);
  return hierarchy_;
}

DbResult<void> TaxonomyIndexAdapter::insert(PropertyValue value,
                                                          const Uuid& node_id) {
  if (const std::string* name = as_string(value)) writable().register_class(node_id, *name);
  return {};
}

DbResult<void> TaxonomyIndexAdapter::remove(const PropertyValue&,
                                                          const Uuid& node_id) {
  writable().remove_class(node_id);
  return {};
}

DbResult<std::vector<Uuid>> TaxonomyIndexAdapter::query(
    const IndexQuery& query) const {
  const auto* eq = std::get_if<IndexQuery::Equals>(&query.q);
  const std::string* name = eq ? as_string(eq->value) : nullptr;
  if (!name) {
    return std::unexpected(
        DbError::message("TaxonomyIndex only supports IndexQuery::Equals(String(label))"));
  }
  std::vector<Uuid> out;
  if (auto id = hierarchy_->class_id_by_name(*name)) out.push_back(*id);
  return out;
}

DbResult<void> TaxonomyIndexAdapter::clear() {
  writable().clear();
  return {};
}

DbResult<void> TaxonomyIndexAdapter::add_subclass(const Uuid& child,
                                                                const Uuid& parent) {
  return writable().add_subclass(parent, child);
}

}  // namespace zudizid::index
