#include "fulltext/core/searcher.h"

#include <fmt/format.h>

namespace fendral::core {

Result<std::shared_ptr<const Searcher>> Searcher::create(schema::Schema schema,
                                                         std::vector<std::shared_ptr<const index::SegmentReader>> readers,
                                                         uint64_t opstamp) {
  return create(std::move(schema), std::move(readers), opstamp, nullptr, 100);
}

Result<std::shared_ptr<const Searcher>> Searcher::create(schema::Schema schema,
                                                         std::vector<std::shared_ptr<const index::SegmentReader>> readers,
                                                         uint64_t opstamp,
                                                         std::shared_ptr<const SearcherGeneration> generation,
                                                         size_t doc_store_cache_num_blocks) {
  if (generation) {
    std::map<index::SegmentId, std::optional<uint64_t>> segments;
    for (const auto& r : readers) segments[r->segment_id()] = r->meta().delete_opstamp();
    if (segments != generation->segments) {
      contract_violation("Set of segments referenced by this Searcher and its SearcherGeneration must match");
    }
  }
  std::shared_ptr<Searcher> s(new Searcher(std::move(schema), std::move(readers), opstamp));
  s->generation_ = std::move(generation);
  for (const auto& r : s->readers_) {
    auto store = r->open_store(doc_store_cache_num_blocks);
    if (!store) return fail(store.error());
    s->stores_.push_back(std::make_unique<store::StoreReader>(std::move(*store)));
  }
  return std::shared_ptr<const Searcher>(std::move(s));
}

uint64_t Searcher::num_docs() const {
  uint64_t n = 0;
  for (const auto& r : readers_) n += r->num_docs();
  return n;
}

Result<uint64_t> Searcher::total_num_tokens(schema::Field field) const {
  uint64_t n = 0;
  for (const auto& r : readers_) {
    auto inv = r->inverted_index(field);
    if (!inv) return fail(inv.error());
    n += (*inv)->total_num_tokens();
  }
  return n;
}

Result<uint64_t> Searcher::total_num_docs() const {
  uint64_t n = 0;
  for (const auto& r : readers_) n += r->max_doc();
  return n;
}

Result<uint64_t> Searcher::doc_freq(const schema::Term& term) const {
  uint64_t n = 0;
  for (const auto& r : readers_) {
    auto inv = r->inverted_index(term.field());
    if (!inv) return fail(inv.error());
    auto info = (*inv)->terms().get(term.serialized_value_bytes());
    if (!info) return fail(info.error());
    if (info->has_value()) n += (*info)->doc_freq;
  }
  return n;
}

Result<std::vector<ScoredDoc>> Searcher::search(const query::Query& query, size_t k) const {
  auto weight = query.weight(query::ScoringMode::enabled(schema_, *this));
  if (!weight) return fail(weight.error());
  if (k == 0) return std::vector<ScoredDoc>{};
  TopDocs top(k);
  std::vector<std::vector<ScoredDoc>> per_segment;
  per_segment.reserve(readers_.size());
  for (uint32_t ord = 0; ord < readers_.size(); ++ord) {
    auto hits = top.collect_segment(**weight, ord, *readers_[ord]);
    if (!hits) return fail(hits.error());
    per_segment.push_back(std::move(*hits));
  }
  return top.merge_results(std::move(per_segment));
}

Result<uint64_t> Searcher::count(const query::Query& query) const {
  auto weight = query.weight(query::ScoringMode::disabled(schema_));
  if (!weight) return fail(weight.error());
  uint64_t n = 0;
  for (const auto& r : readers_) {
    auto c = (*weight)->count(*r);
    if (!c) return fail(c.error());
    n += *c;
  }
  return n;
}

Result<schema::CompactDoc> Searcher::doc(DocAddress address) const {
  if (address.segment_ord >= stores_.size() || address.doc_id >= readers_[address.segment_ord]->max_doc()) {
    return fail(FendralError::invalid_argument(
        fmt::format("No document at segment {} doc {}", address.segment_ord, address.doc_id)));
  }
  const auto& store = *stores_[address.segment_ord];
  auto bytes = store.document_bytes(address.doc_id);
  if (!bytes) return fail(bytes.error());
  auto doc = schema::deserialize_doc(std::span<const uint8_t>(bytes->data(), bytes->len()), store.doc_store_version());
  if (!doc) return fail(doc.error());
  return std::move(*doc);
}

}  // namespace fendral::core
