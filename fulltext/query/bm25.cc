#include "fulltext/query/bm25.h"

#include <cmath>
#include <fmt/format.h>

#include "fulltext/fieldnorm/fieldnorm_code.h"

namespace fendral::query {

Bm25Weight::Bm25Weight(float idf, float average_fieldnorm)
    : weight_(2.2f * idf), average_fieldnorm_(average_fieldnorm) {
  auto cache = std::make_shared<std::array<float, 256>>();
  for (int id = 0; id < 256; ++id) {
    float dl = static_cast<float>(fieldnorm::length_of_id(static_cast<uint8_t>(id)));
    (*cache)[id] = ((dl * 0.75f) / average_fieldnorm + 0.25f) * 1.2f;
  }
  cache_ = std::move(cache);
}

float Bm25Weight::idf(uint64_t doc_freq, uint64_t total_docs) {
  float x = static_cast<float>(total_docs - doc_freq);
  float n = static_cast<float>(doc_freq);
  return std::log((x + 0.5f) / (n + 0.5f) + 1.0f);
}

Bm25Weight Bm25Weight::for_one_term(uint64_t doc_freq, uint64_t total_docs, float average_fieldnorm) {
  return Bm25Weight(idf(doc_freq, total_docs), average_fieldnorm);
}

Result<Bm25Weight> Bm25Weight::for_terms(const Bm25StatisticsProvider& stats, std::span<const schema::Term> terms) {
  if (terms.empty()) contract_violation("Bm25Weight::for_terms needs at least one term");
  auto tokens = stats.total_num_tokens(terms[0].field());
  if (!tokens) return fail(tokens.error());
  auto total = stats.total_num_docs();
  if (!total) return fail(total.error());
  float avg = static_cast<float>(*tokens) / static_cast<float>(*total);
  float sum = 0.0f;
  for (const auto& term : terms) {
    auto n = stats.doc_freq(term);
    if (!n) return fail(n.error());
    if (*n > *total) contract_violation(fmt::format("{} >= {}", *total, *n));
    if (terms.size() == 1) return for_one_term(*n, *total, avg);
    sum = sum + idf(*n, *total);
  }
  return Bm25Weight(sum, avg);
}

Bm25Weight Bm25Weight::boost_by(float boost) const {
  Bm25Weight copy = *this;
  if (boost != 1.0f) copy.weight_ = weight_ * boost;
  return copy;
}

float Bm25Weight::score(uint8_t fieldnorm_id, uint32_t term_freq) const {
  float t = static_cast<float>(term_freq);
  float n = (*cache_)[fieldnorm_id];
  return (t / (n + t)) * weight_;
}

}  // namespace fendral::query
