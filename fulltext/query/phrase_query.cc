#include "fulltext/query/phrase_query.h"

#include <algorithm>
#include <cmath>
#include <fmt/format.h>

namespace fendral::query {

namespace {

class PhraseWeight final : public Weight {
 public:
  PhraseWeight(PhraseQuery::Terms terms, std::optional<Bm25Weight> similarity, uint32_t slop)
      : terms_(std::move(terms)), similarity_(std::move(similarity)), slop_(slop) {}

  Result<std::unique_ptr<Scorer>> scorer(const index::SegmentReader& reader, float boost) const override {
    auto parts = open_phrase_postings(reader, terms_, similarity_.has_value());
    if (!parts) return fail(parts.error());
    if (!*parts) return std::unique_ptr<Scorer>(std::make_unique<EmptyScorer>());
    auto s = build_phrase_scorer(std::move(**parts), terms_, similarity_, boost, slop_, reader.max_doc());
    if (!s) return fail(s.error());
    return std::unique_ptr<Scorer>(std::move(*s));
  }

 private:
  PhraseQuery::Terms terms_;
  std::optional<Bm25Weight> similarity_;
  uint32_t slop_;
};

}  // namespace

Result<std::optional<Bm25Weight>> phrase_similarity(const ScoringMode& mode, const PhraseQuery::Terms& terms) {
  const auto& entry = mode.schema->get_field_entry(terms.front().second.field());
  const auto* indexing = entry.field_type.text_indexing();
  if (indexing == nullptr || indexing->record != schema::RecordOption::WithFreqsAndPositions) {
    return fail(FendralError::schema_error(
        fmt::format("Applied phrase query on field {:?}, which does not have positions indexed", entry.name)));
  }
  if (!mode.is_scoring_enabled()) return std::optional<Bm25Weight>();
  std::vector<schema::Term> plain;
  for (const auto& [o, t] : terms) plain.push_back(t);
  auto w = Bm25Weight::for_terms(*mode.stats, plain);
  if (!w) return fail(w.error());
  return std::optional<Bm25Weight>(std::move(*w));
}

Result<std::optional<PhrasePostings>> open_phrase_postings(const index::SegmentReader& reader,
                                                           const PhraseQuery::Terms& terms, bool scoring) {
  const schema::Field field = terms.front().second.field();
  PhrasePostings out{fieldnorm::FieldNormReader::constant(reader.max_doc(), 1), {}};
  if (scoring) {
    auto r = reader.fieldnorm_reader(field);
    if (!r) return fail(r.error());
    if (r->has_value() && (*r)->num_docs() == reader.max_doc()) out.norms = std::move(**r);
  }
  auto inv = reader.inverted_index(field);
  if (!inv) return fail(inv.error());
  for (const auto& [offset, term] : terms) {
    auto info = (*inv)->terms().get(term.serialized_value_bytes());
    if (!info) return fail(info.error());
    if (!info->has_value()) return std::optional<PhrasePostings>();
    auto p = (*inv)->read_postings(**info, schema::RecordOption::WithFreqsAndPositions);
    if (!p) return fail(p.error());
    out.postings.push_back(std::move(*p));
  }
  return std::optional<PhrasePostings>(std::move(out));
}

Result<std::unique_ptr<PhraseScorer>> build_phrase_scorer(PhrasePostings parts, const PhraseQuery::Terms& terms,
                                                          const std::optional<Bm25Weight>& similarity, float boost,
                                                          uint32_t slop, uint32_t max_doc) {
  std::vector<PhraseScorer::Member> members;
  const uint32_t max_offset = terms.back().first;
  for (size_t i = 0; i < terms.size(); ++i) {
    members.push_back({std::move(parts.postings[i]), max_offset - terms[i].first});
  }
  std::optional<Bm25Weight> sim;
  if (similarity) sim = boost == 1.0f ? *similarity : similarity->boost_by(boost);
  auto s = std::make_unique<PhraseScorer>(std::move(members), std::move(sim), std::move(parts.norms), slop, max_doc);
  if (s->error()) return fail(*s->error());
  return s;
}

PhraseQuery::PhraseQuery(Terms terms, uint32_t slop) : terms_(std::move(terms)), slop_(slop) {
  std::stable_sort(terms_.begin(), terms_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
}

Result<std::unique_ptr<Weight>> PhraseQuery::weight(const ScoringMode& mode) const {
  const schema::Field field = terms_.front().second.field();
  const auto& entry = mode.schema->get_field_entry(field);
  if (!entry.is_indexed()) {
    return fail(FendralError::schema_error(fmt::format("Field {:?} is not indexed.", entry.name)));
  }
  auto sim = phrase_similarity(mode, terms_);
  if (!sim) return fail(sim.error());
  return std::unique_ptr<Weight>(std::make_unique<PhraseWeight>(terms_, std::move(*sim), slop_));
}

PhraseScorer::PhraseScorer(std::vector<Member> members, std::optional<Bm25Weight> similarity,
                           fieldnorm::FieldNormReader norms, uint32_t slop, uint32_t max_doc)
    : members_(std::move(members)), similarity_(std::move(similarity)), norms_(std::move(norms)), slop_(slop),
      max_doc_(max_doc) {
  std::stable_sort(members_.begin(), members_.end(),
                   [](const Member& a, const Member& b) { return a.postings.size_hint() < b.postings.size_hint(); });
  uint32_t candidate = 0;
  for (const auto& m : members_) candidate = std::max(candidate, m.postings.doc());
  uint32_t d = align(candidate);
  if (d != TERMINATED && !phrase_match()) advance();
}

uint32_t PhraseScorer::align(uint32_t candidate) {
  for (;;) {
    bool stable = true;
    for (auto& m : members_) {
      uint32_t d = m.postings.seek(candidate);
      if (d > candidate) {
        candidate = d;
        stable = false;
        break;
      }
    }
    if (candidate == TERMINATED) {
      // doc() is the first member's: it must end too.
      return members_.front().postings.seek(TERMINATED);
    }
    if (stable) return candidate;
  }
}

uint32_t PhraseScorer::next_common(uint32_t target) {
  if (target >= TERMINATED) return members_.front().postings.seek(TERMINATED);
  return align(members_.front().postings.seek(target));
}

uint32_t PhraseScorer::advance() {
  for (;;) {
    uint32_t d = next_common(doc() + 1);
    if (d == TERMINATED || phrase_match()) return d;
  }
}

uint32_t PhraseScorer::seek(uint32_t target) {
  if (doc() >= target) return doc();
  uint32_t d = next_common(target);
  if (d == TERMINATED || phrase_match()) return d;
  return advance();
}

uint32_t PhraseScorer::size_estimate() const {
  if (max_doc_ == 0) return 0;
  double e = members_[0].postings.size_hint();
  double smallest = e;
  double factor = 1.3;
  for (size_t i = 1; i < members_.size(); ++i) {
    factor = std::max(factor - 0.1, 1.0);
    double h = members_[i].postings.size_hint();
    smallest = std::min(smallest, h);
    e = e * (h / max_doc_) * factor;
  }
  double r = std::min(std::round(e), smallest);
  return static_cast<uint32_t>(std::min(std::max(r, 0.0), 4294967295.0));
}

uint32_t PhraseScorer::size_hint() const { return size_estimate() / (10 * static_cast<uint32_t>(members_.size())); }

float PhraseScorer::score() {
  if (!similarity_) return 1.0f;
  uint32_t d = doc();
  uint8_t id = d < max_doc_ ? norms_.fieldnorm_id(d) : 1;
  return similarity_->score(id, phrase_count_);
}

void PhraseScorer::read_positions(size_t member, std::vector<uint32_t>& out) {
  out.clear();
  auto& m = members_[member];
  if (auto r = m.postings.positions_with_offset(m.offset, out); !r && !error_) error_ = r.error();
}

uint32_t intersection_count(std::vector<uint32_t>& p, const std::vector<uint32_t>& q, bool keep) {
  size_t i = 0, j = 0, out = 0;
  uint32_t count = 0;
  while (i < p.size() && j < q.size()) {
    if (p[i] < q[j]) {
      ++i;
    } else if (p[i] > q[j]) {
      ++j;
    } else {
      if (keep) p[out++] = p[i];
      ++count;
      ++i;
      ++j;
    }
  }
  if (keep) p.resize(out);
  return count;
}

namespace {

uint32_t pair_count(const std::vector<uint32_t>& p, const std::vector<uint32_t>& q, uint32_t slop) {
  size_t i = 0, j = 0;
  uint32_t count = 0;
  while (i < p.size() && j < q.size()) {
    uint32_t a = p[i], b = q[j];
    if (a < b && b - a > slop) {
      ++i;
    } else if (a >= b && a - b > slop) {
      ++j;
    } else {
      ++i;
      while (i < p.size() && p[i] <= b) ++i;
      ++j;
      ++count;
    }
  }
  return count;
}

}  // namespace

// Merges right_ into the chain (left_, left_slops_): every left position
// within the slop of a right one, with the moves spent so far (32 bits).
uint32_t PhraseScorer::sloppy_merge(bool keep) {
  auto& p = left_;
  auto& q = right_;
  auto s = [&](size_t k) -> uint64_t { return k < left_slops_.size() ? left_slops_[k] : 0; };
  merged_.clear();
  merged_slops_.clear();
  auto emit = [&](uint32_t v, uint64_t e) {
    uint32_t e32 = static_cast<uint32_t>(std::min<uint64_t>(e, UINT32_MAX));
    if (!merged_.empty() && merged_.back() == v) {
      merged_slops_.back() = std::min(merged_slops_.back(), e32);
    } else {
      merged_.push_back(v);
      merged_slops_.push_back(e32);
    }
  };
  if (p.empty() || q.empty()) {
    if (keep) {
      p.clear();
      left_slops_.clear();
    }
    return 0;
  }
  size_t i = 0, j = 0;
  uint32_t count = 0;
  while (i < p.size() && j < q.size()) {
    const uint32_t pv = p[i], qv = q[j];
    const uint64_t a = s(i);
    uint64_t e;
    bool low_in_p;
    if (pv < qv) {
      e = uint64_t{qv - pv} + a;
      if (e > slop_) {
        ++i;
        continue;
      }
      low_in_p = true;
    } else {
      e = uint64_t{pv - qv} + a;
      if (e > slop_) {
        ++j;
        continue;
      }
      low_in_p = false;
    }
    if (keep) {
      const uint32_t low = low_in_p ? pv : qv;
      const uint32_t high = low_in_p ? qv : pv;
      emit(low, e);
      const auto& list = low_in_p ? p : q;
      for (size_t k = (low_in_p ? i : j) + 1; k < list.size() && list[k] <= high; ++k) {
        emit(list[k], uint64_t{high - list[k]} + a);
      }
      emit(high, merged_slops_.back());
    }
    ++count;
    ++i;
    ++j;
  }
  if (keep) {
    if (i < p.size()) {
      for (size_t k = i; k < p.size(); ++k) {
        uint64_t e = uint64_t{p[k] > q.back() ? p[k] - q.back() : q.back() - p[k]} + s(k);
        if (e <= slop_) emit(p[k], e);
      }
    } else if (j < q.size()) {
      uint64_t last = left_slops_.empty() ? 0 : left_slops_.back();
      for (size_t k = j; k < q.size(); ++k) {
        uint64_t e = uint64_t{q[k] > p.back() ? q[k] - p.back() : p.back() - q[k]} + last;
        if (e <= slop_) emit(q[k], e);
      }
    }
    std::swap(p, merged_);
    std::swap(left_slops_, merged_slops_);
    merged_.clear();
    merged_slops_.clear();
  }
  return count;
}

void PhraseScorer::matched_positions(std::vector<uint32_t>& out) const {
  // phrase_match left the chain of all members but the last in left_ and
  // the last member's positions in right_.
  out.clear();
  std::set_intersection(left_.begin(), left_.end(), right_.begin(), right_.end(), std::back_inserter(out));
}

bool PhraseScorer::phrase_match() {
  const size_t n = members_.size();
  read_positions(0, left_);
  if (slop_ > 0) left_slops_.clear();
  for (size_t i = 1; i + 1 < n; ++i) {
    read_positions(i, right_);
    if (slop_ == 0) {
      intersection_count(left_, right_, true);
    } else {
      sloppy_merge(true);
    }
    if (left_.empty()) {
      phrase_count_ = 0;
      return false;
    }
  }
  read_positions(n - 1, right_);
  uint32_t count;
  if (slop_ == 0) {
    count = intersection_count(left_, right_, false);
  } else if (n >= 3) {
    count = sloppy_merge(false);
  } else {
    count = pair_count(left_, right_, slop_);
  }
  phrase_count_ = count;
  return count != 0;
}

}  // namespace fendral::query
