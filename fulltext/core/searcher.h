// A searcher: a read-only snapshot of an index, its segment readers in
// meta.json order. Shared by any number of threads. Serves as the BM25
// statistics of the weights built against it (deleted documents counted).
//
//   auto top = searcher->search(TermQuery(term, RecordOption::WithFreqs), 10);
//   for (auto& hit : *top) auto doc = searcher->doc(hit.address);
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "fulltext/core/searcher_generation.h"
#include "fulltext/core/top_docs.h"
#include "fulltext/index/segment_reader.h"
#include "fulltext/query/weight.h"
#include "fulltext/schema/document/compact_doc.h"

namespace fendral::core {

class Searcher final : public query::Bm25StatisticsProvider {
 public:
  // The opstamp is that of the commit the readers were opened from.
  static Result<std::shared_ptr<const Searcher>> create(schema::Schema schema,
                                                        std::vector<std::shared_ptr<const index::SegmentReader>> readers,
                                                        uint64_t opstamp);
  // As above, holding the generation the readers were opened as (its
  // segment map must equal the readers' ids and delete opstamps) and caching
  // that many store blocks per segment.
  static Result<std::shared_ptr<const Searcher>> create(schema::Schema schema,
                                                        std::vector<std::shared_ptr<const index::SegmentReader>> readers,
                                                        uint64_t opstamp,
                                                        std::shared_ptr<const SearcherGeneration> generation,
                                                        size_t doc_store_cache_num_blocks);

  const schema::Schema& schema() const { return schema_; }
  const std::vector<std::shared_ptr<const index::SegmentReader>>& segment_readers() const { return readers_; }
  uint64_t opstamp() const { return opstamp_; }
  // Null for a searcher built without an index reader.
  const SearcherGeneration* generation() const { return generation_.get(); }
  // Live documents over all segments.
  uint64_t num_docs() const;

  Result<uint64_t> total_num_tokens(schema::Field field) const override;
  Result<uint64_t> total_num_docs() const override;
  Result<uint64_t> doc_freq(const schema::Term& term) const override;

  // The k best live documents, by descending score then ascending address,
  // collected by TopDocs (a disjunction of terms prunes with block-WAND).
  // A posting that names a doc id >= max_doc is DataCorruption.
  Result<std::vector<ScoredDoc>> search(const query::Query& query, size_t k) const;
  // Live documents matching the query.
  Result<uint64_t> count(const query::Query& query) const;
  // The stored document at an address.
  Result<schema::CompactDoc> doc(DocAddress address) const;

 private:
  Searcher(schema::Schema s, std::vector<std::shared_ptr<const index::SegmentReader>> r, uint64_t opstamp)
      : schema_(std::move(s)), readers_(std::move(r)), opstamp_(opstamp) {}
  schema::Schema schema_;
  std::vector<std::shared_ptr<const index::SegmentReader>> readers_;
  std::vector<std::unique_ptr<store::StoreReader>> stores_;
  uint64_t opstamp_;
  std::shared_ptr<const SearcherGeneration> generation_;
};

}  // namespace fendral::core
