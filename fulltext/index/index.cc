#include "fulltext/index/index.h"

namespace fendral::index {

Result<FendralIndex> FendralIndex::create(const ManagedDirectory& directory, schema::Schema schema,
                                          IndexSettings settings) {
  auto exists = directory.exists("meta.json");
  if (!exists) return fail(FendralError(exists.error()));
  if (*exists) return fail(FendralError::index_already_exists());
  FendralIndex index(directory, std::move(schema), settings);
  if (auto r = save_new_metas(index.schema_, settings, directory); !r) return std::unexpected(r.error());
  return index;
}

Result<FendralIndex> FendralIndex::open(const ManagedDirectory& directory) {
  auto inventory = SegmentMetaInventory::create();
  auto meta = index::load_metas(directory, inventory);
  if (!meta) return std::unexpected(meta.error());
  FendralIndex index(directory, meta->schema, meta->index_settings);
  index.inventory_ = std::move(inventory);
  return index;
}

Result<schema::Schema> expect_schema(const std::optional<schema::Schema>& schema) {
  if (!schema) return fail(FendralError::index_builder_missing_argument("schema"));
  return *schema;
}

}  // namespace fendral::index
