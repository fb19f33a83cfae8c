// The fuzzy term query: every term of the term's field within `distance`
// edits (0, 1 or 2, counted in code points) of the term's text, or, with
// `prefix`, every term that begins with such a text. Every match scores the
// boost; the query never reads statistics.
//
//   FuzzyTermQuery q(Term::from_field_text(body, "kitten"), 1, true, false);
//
// A JSON term matches only keys of its own path, and only text values.
#pragma once

#include <memory>

#include "fulltext/query/weight.h"
#include "fulltext/schema/term.h"

namespace fendral::query {

class FuzzyTermQuery final : public Query {
 public:
  FuzzyTermQuery(schema::Term term, uint8_t distance, bool transposition_cost_one, bool prefix)
      : term_(std::move(term)), distance_(distance), transposition_cost_one_(transposition_cost_one),
        prefix_(prefix) {}

  // InvalidArgument: distance 3 or more; a term that is not text (or a JSON
  // text value); invalid UTF-8; a text whose automaton is too large.
  Result<std::unique_ptr<Weight>> weight(const ScoringMode& mode) const override;

  const schema::Term& term() const { return term_; }
  uint8_t distance() const { return distance_; }
  bool transposition_cost_one() const { return transposition_cost_one_; }
  bool prefix() const { return prefix_; }

 private:
  schema::Term term_;
  uint8_t distance_;
  bool transposition_cost_one_;
  bool prefix_;
};

}  // namespace fendral::query
