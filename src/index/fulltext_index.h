// FullTextIndex: a secondary index of kind FullText, one engine index per
// (label, property) with the fields "node_id" (raw, stored) and "content"
// (default analyzer, positions). One document per indexed (node, string).
//
//   auto idx = FullTextIndex::open(dir);              // nullopt: in memory
//   idx->insert(PropertyValue::string("big cat"), id);  // committed, visible
//   idx->query({IndexQuery::FullText{"cat OR dog"}});   // ids, best first
//
// insert, remove and clear each commit and reload before returning, so the
// next query sees them; insert_batch adds all its documents first and commits
// once. Engine failures (and broken engine contracts) come back as
// DbError::Index with the operation's text, never as an abort.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>

#include "fulltext/core/index_reader.h"
#include "fulltext/index/index.h"
#include "fulltext/indexer/index_writer.h"
#include "index/index.h"

namespace zudizid::index {

class FullTextIndex final : public Index {
 public:
  static constexpr std::size_t kWriterBudget = 50'000'000;
  static constexpr std::size_t kMaxHits = 1000;

  static DbResult<std::unique_ptr<FullTextIndex>> open(const std::optional<std::filesystem::path>& dir);

  DbResult<void> insert(PropertyValue value, const Uuid& node_id) override;
  DbResult<void> insert_batch(std::vector<std::pair<PropertyValue, Uuid>> entries) override;
  DbResult<void> remove(const PropertyValue& value, const Uuid& node_id) override;
  // At most kMaxHits ids in BM25 order (equal scores by segment, then doc);
  // a node indexed twice is listed twice.
  DbResult<std::vector<Uuid>> query(const IndexQuery& query) const override;
  // Like query, but at most `limit` ids (still at most kMaxHits): only those
  // hits' stored documents are read.
  DbResult<std::vector<Uuid>> search(const std::string& text, std::size_t limit) const;
  DbResult<void> clear() override;
  std::uint64_t len() const override;

 private:
  FullTextIndex(fendral::index::FendralIndex index, std::unique_ptr<fendral::core::IndexReader> reader,
                std::unique_ptr<fendral::indexer::IndexWriter> writer)
      : index_(std::move(index)), reader_(std::move(reader)), writer_(std::move(writer)) {}

  DbResult<void> add(const PropertyValue& value, const Uuid& node_id);
  DbResult<void> commit();

  fendral::index::FendralIndex index_;
  std::unique_ptr<fendral::core::IndexReader> reader_;
  std::unique_ptr<fendral::indexer::IndexWriter> writer_;
  fendral::schema::Field node_id_field_ = 0;
  fendral::schema::Field content_field_ = 1;
};

}  // namespace zudizid::index
