// The term-set query: the documents holding any of a set of terms, over one
// or several fields; every match scores the boost, however many of the terms
// it holds. Per field the terms become an in-memory FST set that steers the
// walk of the field's dictionary.
//
//   TermSetQuery q({Term::from_field_text(body, "cat"), Term::from_field_u64(id, 7)});
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "fulltext/query/weight.h"
#include "fulltext/schema/term.h"

namespace fendral::query {

class TermSetQuery final : public Query {
 public:
  // Groups the terms by field, each list sorted by term bytes without repeats.
  explicit TermSetQuery(std::vector<schema::Term> terms);

  // SchemaError "Field {} is not indexed." for the first field that is not;
  // IoError when one field's terms carry different type codes.
  Result<std::unique_ptr<Weight>> weight(const ScoringMode& mode) const override;
  const std::map<schema::Field, std::vector<schema::Term>>& terms_map() const { return terms_map_; }

 private:
  std::map<schema::Field, std::vector<schema::Term>> terms_map_;
};

}  // namespace fendral::query
