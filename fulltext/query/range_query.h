// The range query: the documents whose value in one field lies between two
// bounds, each included, excluded or open. Every match scores the boost.
//
//   using B = schema::TermBound<schema::Term>;
//   RangeQuery q(B{B::Kind::Included, Term::from_field_u64(price, 5)}, B{});   // price >= 5
//
// The weight picks the evaluation once per search: a fast field (other than
// a facet) reads its column (FastFieldRangeWeight, no postings); any other
// field walks its term dictionary between the bounds and ORs the postings of
// the terms found into a bitset (TermRangeWeight).
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "fulltext/columnar/reader/column.h"
#include "fulltext/fst/stream.h"
#include "fulltext/query/weight.h"
#include "fulltext/schema/term.h"
#include "fulltext/sstable/dictionary.h"

namespace fendral::query {

using TermBound = schema::TermBound<schema::Term>;

class RangeQuery final : public Query {
 public:
  RangeQuery(TermBound lower, TermBound upper) : lower_(std::move(lower)), upper_(std::move(upper)) {}

  // InvalidArgument when neither bound is set, and for a JSON field that is
  // not fast.
  Result<std::unique_ptr<Weight>> weight(const ScoringMode& mode) const override;
  const TermBound& lower_bound() const { return lower_; }
  const TermBound& upper_bound() const { return upper_; }

 private:
  TermBound lower_;
  TermBound upper_;
};

// The documents of the field's terms between two key bounds, at most `limit`
// terms in key order.
class TermRangeWeight final : public Weight {
 public:
  TermRangeWeight(schema::Field field, fst::Bound lower, fst::Bound upper, std::optional<uint64_t> limit)
      : field_(field), lower_(std::move(lower)), upper_(std::move(upper)), limit_(limit) {}
  Result<std::unique_ptr<Scorer>> scorer(const index::SegmentReader& reader, float boost) const override;

 private:
  schema::Field field_;
  fst::Bound lower_;
  fst::Bound upper_;
  std::optional<uint64_t> limit_;
};

class FastFieldRangeWeight final : public Weight {
 public:
  FastFieldRangeWeight(TermBound lower, TermBound upper) : lower_(std::move(lower)), upper_(std::move(upper)) {}
  // InvalidArgument for bounds that do not read as the field's type.
  Result<std::unique_ptr<Scorer>> scorer(const index::SegmentReader& reader, float boost) const override;

 private:
  TermBound lower_;
  TermBound upper_;
};

using U64Bound = schema::TermBound<uint64_t>;

// Byte bounds as bounds over the dictionary's term ordinals.
IoResult<std::pair<U64Bound, U64Bound>> term_bounds_to_ordinals(const sstable::Dictionary& dict,
                                                                const schema::TermBound<std::vector<uint8_t>>& lower,
                                                                const schema::TermBound<std::vector<uint8_t>>& upper);

// The docs whose column value lies within the bounds, scoring `boost`.
std::unique_ptr<Scorer> u64_range_scorer(columnar::Column<uint64_t> column, const U64Bound& lower,
                                         const U64Bound& upper, float boost, uint32_t max_doc);

}  // namespace fendral::query
