#include "fulltext/query/regex_query.h"

#include "fulltext/query/automaton_weight.h"

namespace fendral::query {

std::expected<RegexQuery, std::string> RegexQuery::from_pattern(std::string_view pattern, schema::Field field) {
  auto re = fst::regex::Regex::create(pattern);
  if (!re) return std::unexpected(re.error().display());
  return RegexQuery(std::make_shared<const fst::regex::Regex>(std::move(*re)), field);
}

Result<std::unique_ptr<Weight>> RegexQuery::weight(const ScoringMode&) const {
  return std::unique_ptr<Weight>(std::make_unique<AutomatonWeight<fst::regex::Regex>>(field_, regex_));
}

}  // namespace fendral::query
