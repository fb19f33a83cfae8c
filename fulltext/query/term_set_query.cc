#include "fulltext/query/term_set_query.h"

#include <fmt/format.h>

#include <algorithm>

#include "fulltext/common/io.h"
#include "fulltext/fst/builder.h"
#include "fulltext/query/automaton_weight.h"
#include "fulltext/query/boolean_query.h"

namespace fendral::query {

namespace {

// The FST set of one field's value bytes, as the walk's automaton.
struct SetAutomaton {
  using State = std::optional<uint64_t>;
  fst::Fst set;
  State start() const { return set.automaton_start(); }
  State accept(State s, uint8_t b) const { return set.automaton_accept(s, b); }
  bool is_match(State s) const { return set.automaton_is_match(s); }
  bool can_match(State s) const { return set.automaton_can_match(s); }
};

std::expected<fst::Fst, fst::Error> build_set(const std::vector<schema::Term>& terms) {
  std::vector<uint8_t> bytes;
  bytes.reserve(10240);
  VecWriter out(&bytes);
  auto builder = fst::Builder::create(&out);
  if (!builder) return std::unexpected(builder.error());
  for (const auto& t : terms) {
    if (auto ok = builder->insert(t.serialized_value_bytes(), 0); !ok) return std::unexpected(ok.error());
  }
  if (auto ok = builder->finish(); !ok) return std::unexpected(ok.error());
  return fst::Fst::open(OwnedBytes::from_vector(std::move(bytes)));
}

}  // namespace

TermSetQuery::TermSetQuery(std::vector<schema::Term> terms) {
  for (auto& t : terms) terms_map_[t.field()].push_back(std::move(t));
  for (auto& [field, list] : terms_map_) {
    std::sort(list.begin(), list.end(),
              [](const schema::Term& a, const schema::Term& b) { return a.serialized_term() < b.serialized_term(); });
    list.erase(std::unique(list.begin(), list.end()), list.end());
  }
}

Result<std::unique_ptr<Weight>> TermSetQuery::weight(const ScoringMode& mode) const {
  std::vector<BooleanWeight::Clause> clauses;
  for (const auto& [field, terms] : terms_map_) {
    const auto& entry = mode.schema->get_field_entry(field);
    if (!entry.is_indexed()) return fail(FendralError::schema_error(fmt::format("Field {} is not indexed.", entry.name)));
    auto set = build_set(terms);
    if (!set) return fail(IoError(IoErrorKind::Other, set.error().display()));
    auto automaton = std::make_shared<const SetAutomaton>(SetAutomaton{std::move(*set)});
    clauses.emplace_back(Occur::Should, std::make_unique<AutomatonWeight<SetAutomaton>>(field, std::move(automaton)));
  }
  return std::unique_ptr<Weight>(std::make_unique<BooleanWeight>(std::move(clauses), 1, false, ScoreCombiner::Unit));
}

}  // namespace fendral::query
