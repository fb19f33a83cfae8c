#include "fulltext/query/phrase_prefix_query.h"

#include <fmt/format.h>

#include <algorithm>

#include "fulltext/query/automaton_weight.h"
#include "fulltext/query/range_query.h"

namespace fendral::query {

namespace {

class PhrasePrefixWeight final : public Weight {
 public:
  PhrasePrefixWeight(PhraseQuery::Terms phrase_terms, std::pair<uint32_t, schema::Term> prefix,
                     std::optional<Bm25Weight> similarity, uint32_t max_expansions)
      : phrase_terms_(std::move(phrase_terms)), prefix_(std::move(prefix)), similarity_(std::move(similarity)),
        max_expansions_(max_expansions) {}

  Result<std::unique_ptr<Scorer>> scorer(const index::SegmentReader& reader, float boost) const override {
    auto empty = [] { return Result<std::unique_ptr<Scorer>>(std::make_unique<EmptyScorer>()); };
    auto parts = open_phrase_postings(reader, phrase_terms_, similarity_.has_value());
    if (!parts) return fail(parts.error());
    if (!*parts) return empty();
    auto prefix_inv = reader.inverted_index(prefix_.second.field());
    if (!prefix_inv) return fail(prefix_inv.error());
    const auto key = prefix_.second.serialized_value_bytes();
    fst::StreamBuilder<> builder(&(*prefix_inv)->terms().fst());
    builder.ge(key);
    auto end = prefix_end(key);
    if (end) builder.lt(*end);
    auto stream = builder.into_stream();
    if (!stream) return fail(IoError(IoErrorKind::Other, stream.error().display()));
    std::vector<postings::SegmentPostings> suffixes;
    while (suffixes.size() < max_expansions_) {
      auto item = (*stream)->next();
      if (!item) return fail(dictionary_walk_error(item.error()));
      if (!*item) break;
      auto info = (*prefix_inv)->terms().term_info_from_ord((*item)->second);
      if (!info) return fail(info.error());
      auto p = (*prefix_inv)->read_postings(*info, schema::RecordOption::WithFreqsAndPositions);
      if (!p) return fail(p.error());
      suffixes.push_back(std::move(*p));
    }
    if (suffixes.empty()) return empty();
    std::unique_ptr<PhrasePrefixScorer> s;
    if (phrase_terms_.size() == 1) {
      // Offsets are sorted, so the prefix's is the largest.
      const uint32_t gap = prefix_.first - phrase_terms_.front().first;
      s = std::make_unique<PhrasePrefixScorer>(
          PhrasePrefixScorer::Single{std::move((*parts)->postings.front()), gap}, std::move(suffixes));
    } else {
      auto inner = build_phrase_scorer(std::move(**parts), phrase_terms_, similarity_, boost, 0, reader.max_doc());
      if (!inner) return fail(inner.error());
      s = std::make_unique<PhrasePrefixScorer>(std::move(*inner), std::move(suffixes));
    }
    if (s->error()) return fail(*s->error());
    return std::unique_ptr<Scorer>(std::move(s));
  }

 private:
  PhraseQuery::Terms phrase_terms_;
  std::pair<uint32_t, schema::Term> prefix_;
  std::optional<Bm25Weight> similarity_;
  uint32_t max_expansions_;
};

}  // namespace

PhrasePrefixQuery::PhrasePrefixQuery(PhraseQuery::Terms terms, uint32_t max_expansions)
    : max_expansions_(max_expansions) {
  if (terms.empty()) contract_violation("A phrase prefix query is required to have at least one term.");
  std::stable_sort(terms.begin(), terms.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  prefix_ = std::move(terms.back());
  terms.pop_back();
  phrase_terms_ = std::move(terms);
}

Result<std::unique_ptr<Weight>> PhrasePrefixQuery::weight(const ScoringMode& mode) const {
  const schema::Term& prefix = prefix_.second;
  if (phrase_terms_.empty()) {
    const auto key = prefix.serialized_value_bytes();
    auto end = prefix_end(key);
    return std::unique_ptr<Weight>(std::make_unique<TermRangeWeight>(
        prefix.field(), fst::Bound::included(key), end ? fst::Bound::excluded(*end) : fst::Bound::unbounded(),
        max_expansions_));
  }
  auto sim = phrase_similarity(mode, phrase_terms_);
  if (!sim) return fail(sim.error());
  return std::unique_ptr<Weight>(
      std::make_unique<PhrasePrefixWeight>(phrase_terms_, prefix_, std::move(*sim), max_expansions_));
}

PhrasePrefixScorer::PhrasePrefixScorer(std::variant<Single, std::unique_ptr<PhraseScorer>> phrase,
                                       std::vector<postings::SegmentPostings> suffixes)
    : phrase_(std::move(phrase)), suffixes_(std::move(suffixes)) {
  if (doc() != TERMINATED && !matches_prefix()) advance();
}

uint32_t PhrasePrefixScorer::doc() const {
  if (const auto* s = std::get_if<Single>(&phrase_)) return s->postings.doc();
  return std::get<1>(phrase_)->doc();
}

uint32_t PhrasePrefixScorer::size_hint() const {
  if (const auto* s = std::get_if<Single>(&phrase_)) return s->postings.size_hint();
  return std::get<1>(phrase_)->size_hint();
}

uint32_t PhrasePrefixScorer::move_phrase(uint32_t target) {
  if (auto* s = std::get_if<Single>(&phrase_)) return s->postings.seek(target);
  return std::get<1>(phrase_)->seek(target);
}

uint32_t PhrasePrefixScorer::advance() {
  for (;;) {
    const uint32_t d = doc();
    if (d == TERMINATED) return d;
    if (move_phrase(d + 1) == TERMINATED || matches_prefix()) return doc();
  }
}

uint32_t PhrasePrefixScorer::seek(uint32_t target) {
  if (doc() >= target) return doc();
  if (move_phrase(target) == TERMINATED || matches_prefix()) return doc();
  return advance();
}

float PhrasePrefixScorer::score() {
  if (std::holds_alternative<Single>(phrase_)) return 1.0f;
  return std::get<1>(phrase_)->score();
}

void PhrasePrefixScorer::note(const Result<void>& r) {
  if (!r && !error_) error_ = r.error();
}

bool PhrasePrefixScorer::matches_prefix() {
  const uint32_t d = doc();
  if (auto* s = std::get_if<Single>(&phrase_)) {
    phrase_positions_.clear();
    note(s->postings.positions_with_offset(s->position_offset, phrase_positions_));
  } else {
    // Each occurrence as the position right after its last term.
    std::get<1>(phrase_)->matched_positions(phrase_positions_);
    for (auto& p : phrase_positions_) p += 1;
  }
  uint32_t sum = 0;
  for (auto& suffix : suffixes_) {
    if (suffix.doc() > d || suffix.seek(d) != d) continue;
    suffix_positions_.clear();
    note(suffix.positions(suffix_positions_));
    sum += intersection_count(phrase_positions_, suffix_positions_, false);
  }
  phrase_count_ = sum;
  return sum != 0;
}

}  // namespace fendral::query
