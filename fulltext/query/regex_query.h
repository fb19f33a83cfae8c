// The regex query: every term of one field that a compiled regular
// expression matches in full (fst/regex). Every match scores the boost.
//
//   auto re = fst::regex::Regex::create("ca.*");
//   RegexQuery q(std::make_shared<const fst::regex::Regex>(std::move(*re)), body);
#pragma once

#include <memory>

#include "fulltext/fst/regex/regex.h"
#include "fulltext/query/weight.h"
#include "fulltext/schema/schema.h"

namespace fendral::query {

class RegexQuery final : public Query {
 public:
  RegexQuery(std::shared_ptr<const fst::regex::Regex> regex, schema::Field field)
      : regex_(std::move(regex)), field_(field) {}
  // Compiles `pattern`; the compiler's error text when it does not.
  static std::expected<RegexQuery, std::string> from_pattern(std::string_view pattern, schema::Field field);

  // Never fails; the expression is shared with the weight.
  Result<std::unique_ptr<Weight>> weight(const ScoringMode& mode) const override;
  const fst::regex::Regex& regex() const { return *regex_; }
  schema::Field field() const { return field_; }

 private:
  std::shared_ptr<const fst::regex::Regex> regex_;
  schema::Field field_;
};

}  // namespace fendral::query
