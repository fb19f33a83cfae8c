#include "fulltext/query/fuzzy_term_query.h"

#include <fmt/format.h>

#include <algorithm>

#include "fulltext/common/utf8.h"
#include "fulltext/query/automaton_weight.h"
#include "fulltext/query/levenshtein_automaton.h"

namespace fendral::query {

Result<std::unique_ptr<Weight>> FuzzyTermQuery::weight(const ScoringMode&) const {
  constexpr uint8_t kLimit = 3;
  if (distance_ >= kLimit) {
    return fail(FendralError::invalid_argument(fmt::format(
        "Levenshtein distance of {} is not allowed. Choose a value less than {}", distance_, kLimit)));
  }
  const auto& builder = LevenshteinBuilder::get(distance_, transposition_cost_one_);
  const auto& bytes = term_.serialized_term();
  auto not_text = [] { return fail(FendralError::invalid_argument("The fuzzy term query requires a string term.")); };
  if (bytes.empty()) return not_text();
  auto value = term_.serialized_value_bytes();
  std::string_view text(reinterpret_cast<const char*>(value.data()), value.size());
  std::optional<std::vector<uint8_t>> json_path;
  std::string_view automaton_text = text;
  if (bytes[0] == static_cast<uint8_t>(schema::ValueType::Json)) {
    auto end = std::find(value.begin(), value.end(), schema::kJsonPathEnd);
    if (end != value.end()) {
      const size_t path_len = static_cast<size_t>(end - value.begin()) + 1;
      auto nested = path_len < value.size() ? schema::value_type_from_code(value[path_len]) : std::nullopt;
      if (nested != schema::ValueType::Str) {
        return fail(FendralError::invalid_argument(
            fmt::format("The fuzzy term query requires a string path type for a json term. Found {}",
                        nested ? schema::value_type_debug(*nested) : std::string_view("unknown"))));
      }
      json_path.emplace(value.begin(), value.begin() + static_cast<std::ptrdiff_t>(path_len));
    }
    if (!is_valid_utf8(text)) {
      return fail(FendralError::invalid_argument("Failed to convert json term value bytes to utf8 string."));
    }
  } else if (bytes[0] != static_cast<uint8_t>(schema::ValueType::Str) || !is_valid_utf8(text)) {
    return not_text();
  }
  auto dfa = builder.build_dfa(automaton_text, prefix_);
  if (!dfa) return fail(dfa.error());
  return std::unique_ptr<Weight>(std::make_unique<AutomatonWeight<LevenshteinDfa>>(
      term_.field(), std::make_shared<const LevenshteinDfa>(std::move(*dfa)), std::move(json_path)));
}

}  // namespace fendral::query
