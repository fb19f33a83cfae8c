// The handle of one index: its managed directory, schema, settings, the two
// tokenizer registries and the inventory of live segment metas. Copies share
// all of them.
#pragma once

#include <memory>
#include <optional>

#include "fulltext/directory/managed_directory.h"
#include "fulltext/index/index_meta.h"
#include "fulltext/tokenizer/tokenizer_manager.h"

namespace fendral::index {

class FendralIndex {
 public:
  // Creates a new index: saves meta.json with no segments. Fails with
  // IndexAlreadyExists when the directory already holds meta.json.
  static Result<FendralIndex> create(const ManagedDirectory& directory, schema::Schema schema, IndexSettings settings);
  // Opens the index committed in the directory.
  static Result<FendralIndex> open(const ManagedDirectory& directory);

  const ManagedDirectory& directory() const { return *directory_; }
  const schema::Schema& schema() const { return schema_; }
  const IndexSettings& settings() const { return settings_; }
  const tokenizer::TokenizerManager& tokenizers() const { return tokenizers_; }
  const tokenizer::TokenizerManager& fast_field_tokenizers() const { return fast_field_tokenizers_; }
  const std::shared_ptr<SegmentMetaInventory>& inventory() const { return inventory_; }

  // A fresh segment: new random id, max_doc 0, no deletes.
  SegmentMeta new_segment_meta() const { return inventory_->new_segment_meta(SegmentId::generate_random(), 0); }
  // The committed meta, read again from meta.json.
  Result<IndexMeta> load_metas() const { return index::load_metas(*directory_, inventory_); }

 private:
  FendralIndex(const ManagedDirectory& d, schema::Schema s, IndexSettings settings)
      : directory_(std::make_shared<ManagedDirectory>(d)), schema_(std::move(s)), settings_(settings) {}

  std::shared_ptr<ManagedDirectory> directory_;
  schema::Schema schema_;
  IndexSettings settings_;
  tokenizer::TokenizerManager tokenizers_ = tokenizer::TokenizerManager::default_manager();
  tokenizer::TokenizerManager fast_field_tokenizers_ = tokenizer::TokenizerManager::default_manager();
  std::shared_ptr<SegmentMetaInventory> inventory_ = SegmentMetaInventory::create();
};

// The schema given to an index builder, or IndexBuilderMissingArgument "schema".
Result<schema::Schema> expect_schema(const std::optional<schema::Schema>& schema);

}  // namespace fendral::index
