// Top-k collection: the k best hits of a query over a whole searcher.
//
// TopDocs::collect_segment keeps the best k docs of one segment while the
// weight streams that segment's matches (Weight::for_each_pruning, fed back
// the threshold after every accepted doc); TopDocs::merge_results ranks the
// per-segment lists into the final one.
//
//   TopDocs top(10);
//   for (ord...) lists.push_back(*top.collect_segment(weight, ord, reader));
//   auto hits = top.merge_results(std::move(lists));  // best first
//
// Ranking order: higher score first; equal scores by lower address. NaN
// scores rank after every number (the order stays a strict weak order).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "fulltext/index/segment_reader.h"
#include "fulltext/query/weight.h"

namespace fendral::core {

struct DocAddress {
  uint32_t segment_ord = 0;
  uint32_t doc_id = 0;
  auto operator<=>(const DocAddress&) const = default;
};

struct ScoredDoc {
  float score = 0.0f;
  DocAddress address;
  bool operator==(const ScoredDoc&) const = default;
};

// Whether (score a, doc a) ranks before (score b, doc b).
template <typename D>
bool ranks_before(float sa, const D& da, float sb, const D& db) {
  const bool na = std::isnan(sa), nb = std::isnan(sb);
  if (na != nb) return nb;
  if (!na && sa != sb) return sa > sb;
  return da < db;
}

inline bool ranks_before(const ScoredDoc& a, const ScoredDoc& b) {
  return ranks_before(a.score, a.address, b.score, b.address);
}

// A bounded top-n buffer: appends into room for 2n entries and, when full,
// cuts back to the best n, raising a threshold that later entries must
// strictly beat. No allocation after construction.
template <typename D>
class TopNComputer {
 public:
  struct Entry {
    D doc;
    float score;
  };

  explicit TopNComputer(size_t top_n) : top_n_(top_n) { buffer_.reserve(2 * std::max<size_t>(top_n, 1)); }

  void push(float score, D doc) {
    if (threshold_ && !(score > *threshold_)) return;
    if (buffer_.size() == buffer_.capacity()) threshold_ = truncate_top_n();
    buffer_.push_back({doc, score});
  }
  const std::optional<float>& threshold() const { return threshold_; }
  void set_threshold(float t) { threshold_ = t; }

  // The best top_n, in no particular order; returns the best score cut off.
  float truncate_top_n() {
    auto nth = buffer_.begin() + static_cast<std::ptrdiff_t>(top_n_);
    std::nth_element(buffer_.begin(), nth, buffer_.end(), rank);
    const float cut = nth->score;
    buffer_.resize(top_n_);
    return cut;
  }
  std::vector<Entry> into_vec() && {
    if (buffer_.size() > top_n_) truncate_top_n();
    return std::move(buffer_);
  }
  std::vector<Entry> into_sorted_vec() && {
    if (buffer_.size() > top_n_) truncate_top_n();
    std::sort(buffer_.begin(), buffer_.end(), rank);
    return std::move(buffer_);
  }

 private:
  static bool rank(const Entry& a, const Entry& b) { return ranks_before(a.score, a.doc, b.score, b.doc); }
  std::vector<Entry> buffer_;
  size_t top_n_;
  std::optional<float> threshold_;
};

class TopDocs {
 public:
  explicit TopDocs(size_t limit) : limit_(limit) {}
  size_t limit() const { return limit_; }

  // The segment's best `limit` alive docs, in no particular order. Errors of
  // the weight come back unchanged; a doc id >= max_doc is DataCorruption.
  Result<std::vector<ScoredDoc>> collect_segment(const query::Weight& weight, uint32_t segment_ord,
                                                 const index::SegmentReader& reader) const;
  // The best `limit` hits of the per-segment lists (in segment order), best
  // first.
  std::vector<ScoredDoc> merge_results(std::vector<std::vector<ScoredDoc>> per_segment) const;

 private:
  size_t limit_;
};

}  // namespace fendral::core
