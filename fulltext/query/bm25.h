// BM25 for one term (or the summed idf of several), in single precision with
// every operation in the written order, so that scores are bit-exact:
//   idf    = ln((N - n + 0.5) / (n + 0.5) + 1)       N - n exact in integers
//   cache  = ((T[id] * 0.75) / avgdl + 0.25) * 1.2   per fieldnorm id
//   score  = (tf / (cache[id] + tf)) * weight         weight = 2.2 * idf * boost
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "fulltext/error/error.h"
#include "fulltext/schema/term.h"

namespace fendral::query {

// Where a weight takes its statistics from (the searcher). Counts include
// deleted documents.
class Bm25StatisticsProvider {
 public:
  virtual ~Bm25StatisticsProvider() = default;
  virtual Result<uint64_t> total_num_tokens(schema::Field field) const = 0;
  virtual Result<uint64_t> total_num_docs() const = 0;
  virtual Result<uint64_t> doc_freq(const schema::Term& term) const = 0;
};

class Bm25Weight {
 public:
  static constexpr float K1 = 1.2f;
  static constexpr float B = 0.75f;

  Bm25Weight(float idf, float average_fieldnorm);
  static float idf(uint64_t doc_freq, uint64_t total_docs);
  static Bm25Weight for_one_term(uint64_t doc_freq, uint64_t total_docs, float average_fieldnorm);
  // Contract: at least one term, all of one field.
  static Result<Bm25Weight> for_terms(const Bm25StatisticsProvider& stats, std::span<const schema::Term> terms);
  // Scoring disabled: idf 1.0, average fieldnorm 1.0.
  static Bm25Weight disabled() { return Bm25Weight(1.0f, 1.0f); }

  Bm25Weight boost_by(float boost) const;
  float score(uint8_t fieldnorm_id, uint32_t term_freq) const;
  // An upper bound of score over every document: the tf factor is below 1,
  // so no document scores more than the weight itself.
  float max_score() const { return weight_; }
  float weight() const { return weight_; }
  float average_fieldnorm() const { return average_fieldnorm_; }

 private:
  std::shared_ptr<const std::array<float, 256>> cache_;
  float weight_;
  float average_fieldnorm_;
};

}  // namespace fendral::query
