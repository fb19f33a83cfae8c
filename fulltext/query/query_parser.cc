// Search text -> user tree (grammar) -> query objects. The logical tree of
// the design is folded into the conversion: a node is built straight into
// its query, and an emptied clause (one whose every child vanished) becomes
// nothing, as trimming would make it.
#include "fulltext/query/query_parser.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <charconv>
#include <cmath>

#include "common/io_error.h"
#include "fulltext/common/datetime.h"
#include "fulltext/query/boolean_query.h"
#include "fulltext/query/fuzzy_term_query.h"
#include "fulltext/query/phrase_prefix_query.h"
#include "fulltext/query/phrase_query.h"
#include "fulltext/query/range_query.h"
#include "fulltext/query/regex_query.h"
#include "fulltext/query/term_query.h"
#include "fulltext/query/term_set_query.h"
#include "fulltext/query_grammar/query_grammar.h"

namespace fendral::query {

using query_grammar::UserInputAst;
using query_grammar::UserInputLeaf;
using query_grammar::UserInputLiteral;
using Kind = QueryParserError::Kind;

namespace {

QueryParserError error(Kind kind, std::string message) { return {kind, std::move(message)}; }

std::string int_error(std::string_view text, bool is_signed) {
  std::string_view digits = text;
  bool negative = false;
  if (!digits.empty() && (digits[0] == '+' || (is_signed && digits[0] == '-'))) {
    negative = digits[0] == '-';
    digits.remove_prefix(1);
  }
  const char* kind = nullptr;
  if (text.empty()) {
    kind = "Empty";
  } else if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
    kind = "InvalidDigit";
  } else {
    kind = negative ? "NegOverflow" : "PosOverflow";
  }
  return fmt::format("Expected a valid integer: 'ParseIntError {{ kind: {} }}'", kind);
}

template <typename T>
std::optional<T> parse_int(std::string_view text) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  if (text.empty() || text[0] == '+') return std::nullopt;
  if constexpr (std::is_unsigned_v<T>) {
    if (text[0] == '-') return std::nullopt;
  }
  T v{};
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || p != text.data() + text.size()) return std::nullopt;
  return v;
}

// The term of a typed (not tokenized) value: nullopt for text and JSON
// fields and for the types the parser does not read.
std::optional<std::expected<schema::Term, QueryParserError>> typed_term(schema::Field field,
                                                                        const schema::FieldEntry& entry,
                                                                        std::string_view text, bool truncate_dates) {
  using R = std::expected<schema::Term, QueryParserError>;
  switch (entry.field_type.tag()) {
    case schema::FieldTypeTag::U64: {
      auto v = parse_int<uint64_t>(text);
      if (!v) return R(std::unexpected(error(Kind::ExpectedInteger, int_error(text, false))));
      return R(schema::Term::from_field_u64(field, *v));
    }
    case schema::FieldTypeTag::I64: {
      auto v = parse_int<int64_t>(text);
      if (!v) return R(std::unexpected(error(Kind::ExpectedInteger, int_error(text, true))));
      return R(schema::Term::from_field_i64(field, *v));
    }
    case schema::FieldTypeTag::F64: {
      double v = 0;
      auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
      if (text.empty() || ec != std::errc() || p != text.data() + text.size()) {
        return R(std::unexpected(error(Kind::ExpectedFloat, "Expected a float value: 'ParseFloatError { kind: Invalid }'")));
      }
      return R(schema::Term::from_field_f64(field, v));
    }
    case schema::FieldTypeTag::Bool:
      if (text == "true" || text == "false") return R(schema::Term::from_field_bool(field, text == "true"));
      return R(std::unexpected(error(Kind::ExpectedBool, "Expected a bool value: 'ParseBoolError'")));
    case schema::FieldTypeTag::Date: {
      auto nanos = parse_rfc3339(text);
      if (!nanos) return R(std::unexpected(error(Kind::InvalidDate, "The date field has an invalid format")));
      int64_t n = truncate_dates ? *nanos / 1000000000 * 1000000000 : *nanos;
      return R(schema::Term::from_field_date(field, n));
    }
    default:
      return std::nullopt;
  }
}

}  // namespace

// What a node converts to: a query (absent when the node vanished) and the
// errors met on the way.
struct QueryParser::Built {
  std::shared_ptr<const Query> query;
  std::vector<QueryParserError> errors;
  bool only_excluding = false;  // a clause whose every child is excluding
};

QueryParser::Built QueryParser::convert(UserInputAst ast) const {
  if (auto* clause = std::get_if<UserInputAst::Clause>(&ast.v)) {
    Built out;
    std::vector<BooleanQuery::Clause> clauses;
    bool all_excluding = true;
    const Occur fallback = and_by_default_ ? Occur::Must : Occur::Should;
    for (auto& [occur, child] : clause->items) {
      const Occur o = occur.value_or(fallback);
      Built b = convert(std::move(child));
      for (auto& e : b.errors) out.errors.push_back(std::move(e));
      if (o != Occur::MustNot && !b.only_excluding) all_excluding = false;
      if (b.query) clauses.emplace_back(o, std::move(b.query));
    }
    out.only_excluding = all_excluding;
    if (!clauses.empty()) out.query = std::make_shared<BooleanQuery>(std::move(clauses));
    return out;
  }
  if (auto* boost = std::get_if<UserInputAst::Boost>(&ast.v)) {
    Built b = convert(std::move(*boost->inner));
    const float factor = static_cast<float>(boost->factor);
    if (std::fabs(factor - 1.0f) >= 1.1920929e-7f) {
      b.query = std::make_shared<BoostQuery>(b.query ? b.query : std::make_shared<EmptyQuery>(), factor);
    }
    return b;
  }
  auto& leaf = std::get<UserInputLeaf>(ast.v);
  Built out;
  std::visit(
      [&](auto& l) {
        using T = std::decay_t<decltype(l)>;
        if constexpr (std::is_same_v<T, UserInputLiteral>) {
          out = convert_literal(l);
        } else if constexpr (std::is_same_v<T, UserInputLeaf::All>) {
          out.query = std::make_shared<AllQuery>();
        } else if constexpr (std::is_same_v<T, UserInputLeaf::Range>) {
          out = convert_range(l);
        } else if constexpr (std::is_same_v<T, UserInputLeaf::Set>) {
          out = convert_set(l);
        } else if constexpr (std::is_same_v<T, UserInputLeaf::Exists>) {
          out.errors.push_back(error(Kind::UnsupportedQuery, "Unsupported query: Exists queries are not supported."));
        } else {
          out = convert_regex(l);
        }
      },
      leaf.v);
  // A leaf that builds nothing stands as an empty clause, which excludes.
  out.only_excluding = !out.query;
  return out;
}

QueryParser::Built QueryParser::convert_literal(const UserInputLiteral& lit) const {
  Built out;
  std::vector<schema::Field> targets;
  if (!lit.field_name) {
    if (default_fields_.empty()) {
      out.errors.push_back(error(Kind::NoDefaultField, "No default field declared and no field specified in query"));
      return out;
    }
    targets = default_fields_;
  } else {
    auto found = schema_.find_field(*lit.field_name);
    if (!found) {
      out.errors.push_back(error(Kind::FieldDoesNotExist, fmt::format("Field does not exist: '{}'", *lit.field_name)));
      return out;
    }
    if (!found->second.empty()) {
      out.errors.push_back(error(Kind::UnsupportedQuery, "Unsupported query: JSON fields are not supported."));
      return out;
    }
    targets.push_back(found->first);
  }
  std::vector<std::shared_ptr<const Query>> leaves;
  std::vector<QueryParserError> errors;
  for (schema::Field f : targets) {
    Built b = convert_target(f, lit);
    for (auto& e : b.errors) errors.push_back(std::move(e));
    if (!b.query) continue;
    auto boost = field_boosts_.find(f);
    if (boost != field_boosts_.end() && std::fabs(boost->second - 1.0f) >= 1.1920929e-7f) {
      b.query = std::make_shared<BoostQuery>(std::move(b.query), boost->second);
    }
    leaves.push_back(std::move(b.query));
  }
  if (leaves.empty()) {
    out.errors = std::move(errors);
    return out;
  }
  if (leaves.size() == 1) {
    out.query = std::move(leaves.front());
  } else {
    std::vector<BooleanQuery::Clause> clauses;
    for (auto& q : leaves) clauses.emplace_back(Occur::Should, std::move(q));
    out.query = std::make_shared<BooleanQuery>(std::move(clauses));
  }
  return out;
}

QueryParser::Built QueryParser::convert_target(schema::Field field, const UserInputLiteral& lit) const {
  Built out;
  const auto& entry = schema_.get_field_entry(field);
  const std::string& text = lit.phrase;
  auto fail = [&](Kind k, std::string message) {
    out.errors.push_back(error(k, std::move(message)));
    return out;
  };
  auto term = [&](schema::Term t) {
    out.query = term_query(std::move(t));
    return out;
  };
  if (!entry.is_indexed()) return fail(Kind::FieldNotIndexed, fmt::format("The field '{}' is not declared as indexed", entry.name));
  if (entry.field_type.tag() != schema::FieldTypeTag::Str) {
    auto t = typed_term(field, entry, text, true);
    if (!t) {
      return fail(Kind::UnsupportedQuery, fmt::format("Unsupported query: terms of field {} are not supported.",
                                                      zudizid::common::debug_quote(entry.name)));
    }
    if (!*t) {
      out.errors.push_back(std::move(t->error()));
      return out;
    }
    return term(std::move(**t));
  }
  const auto* indexing = entry.field_type.text_indexing();
  auto analyzer = tokenizers_.get(indexing->tokenizer);
  if (!analyzer) {
    return fail(Kind::UnknownTokenizer, fmt::format("The tokenizer '{}' for the field '{}' is unknown",
                                                    zudizid::common::debug_quote(indexing->tokenizer), zudizid::common::debug_quote(entry.name)));
  }
  PhraseQuery::Terms terms;
  auto stream = analyzer->token_stream(text);
  while (stream->advance()) {
    const auto& t = stream->token();
    terms.emplace_back(static_cast<uint32_t>(t.position), schema::Term::from_field_text(field, t.text));
  }
  if (terms.size() >= 2) {
    if (indexing->record != schema::RecordOption::WithFreqsAndPositions) {
      return fail(Kind::FieldWithoutPositions, fmt::format("The field '{}' does not have positions indexed", entry.name));
    }
    if (lit.prefix) {
      out.query = std::make_shared<PhrasePrefixQuery>(std::move(terms));
      return out;
    }
    out.query = std::make_shared<PhraseQuery>(std::move(terms), lit.slop);
    return out;
  }
  if (lit.prefix) {
    return fail(Kind::PhraseTooShort,
                fmt::format("The phrase '{}' does not produce at least two terms using the tokenizer '{}'",
                            zudizid::common::debug_quote(text), zudizid::common::debug_quote(indexing->tokenizer)));
  }
  if (terms.empty()) return out;
  return term(std::move(terms.front().second));
}

std::shared_ptr<const Query> QueryParser::term_query(schema::Term term) const {
  if (auto f = field_fuzzy_.find(term.field()); f != field_fuzzy_.end()) {
    return std::make_shared<FuzzyTermQuery>(std::move(term), f->second.distance, f->second.transposition_cost_one,
                                            f->second.prefix);
  }
  return std::make_shared<TermQuery>(std::move(term), schema::RecordOption::WithFreqs);
}

std::expected<schema::Term, QueryParserError> QueryParser::boundary_term(schema::Field field, std::string_view json_path,
                                                                         std::string_view text) const {
  const auto& entry = schema_.get_field_entry(field);
  const auto tag = entry.field_type.tag();
  const bool is_json = tag == schema::FieldTypeTag::JsonObject;
  if (!entry.is_indexed() && !entry.is_fast()) {
    return std::unexpected(error(Kind::FieldNotIndexed, fmt::format("The field '{}' is not declared as indexed", entry.name)));
  }
  if (!json_path.empty() && !is_json) {
    return std::unexpected(error(Kind::UnsupportedQuery, fmt::format("Unsupported query: Json path is not supported for field {}",
                                                                     zudizid::common::debug_quote(entry.name))));
  }
  if (is_json) {
    const auto& options = std::get<schema::JsonObjectOptions>(entry.field_type.options());
    auto prefix = schema::Term::from_field_json_path(field, json_path, options.expand_dots_enabled);
    if (auto typed = schema::append_json_value_to_term(prefix, text, false)) return std::move(*typed);
    prefix.append_type_and_value(schema::ValueType::Str,
                                 std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    return prefix;
  }
  if (tag == schema::FieldTypeTag::Str) {
    const auto* indexing = entry.field_type.text_indexing();
    if (indexing == nullptr) {
      return std::unexpected(error(Kind::FieldNotIndexed, fmt::format("The field '{}' is not declared as indexed", entry.name)));
    }
    auto analyzer = tokenizers_.get(indexing->tokenizer);
    if (!analyzer) {
      return std::unexpected(error(Kind::UnknownTokenizer,
                                   fmt::format("The tokenizer '{}' for the field '{}' is unknown",
                                               zudizid::common::debug_quote(indexing->tokenizer),
                                               zudizid::common::debug_quote(entry.name))));
    }
    std::vector<schema::Term> tokens;
    auto stream = analyzer->token_stream(text);
    while (stream->advance()) tokens.push_back(schema::Term::from_field_text(field, stream->token().text));
    if (tokens.size() == 1) return std::move(tokens.front());
    std::vector<std::string> shown;
    for (const auto& t : tokens) shown.push_back(t.debug());
    return std::unexpected(error(Kind::UnsupportedQuery,
                                 fmt::format("Unsupported query: Range query boundary cannot have multiple tokens: {} [{}].",
                                             zudizid::common::debug_quote(text), fmt::join(shown, ", "))));
  }
  auto t = typed_term(field, entry, text, false);
  if (!t) {
    return std::unexpected(error(Kind::UnsupportedQuery, fmt::format("Unsupported query: terms of field {} are not supported.",
                                                                     zudizid::common::debug_quote(entry.name))));
  }
  return std::move(*t);
}

std::optional<std::pair<schema::Field, std::string_view>> QueryParser::resolve_field(
    const std::optional<std::string>& name, std::string_view without_field, Built& out) const {
  if (!name) {
    out.errors.push_back(error(Kind::UnsupportedQuery, fmt::format("Unsupported query: {}", without_field)));
    return std::nullopt;
  }
  auto found = schema_.find_field(*name);
  if (!found) out.errors.push_back(error(Kind::FieldDoesNotExist, fmt::format("Field does not exist: '{}'", *name)));
  return found;
}

QueryParser::Built QueryParser::convert_range(const UserInputLeaf::Range& range) const {
  Built out;
  auto found = resolve_field(range.field, "Range query need to target a specific field.", out);
  if (!found) return out;
  auto bound = [&](const query_grammar::UserInputBound& b) {
    using BK = query_grammar::UserInputBound::Kind;
    if (b.kind == BK::Unbounded || b.value == "*") return TermBound{};
    auto t = boundary_term(found->first, found->second, b.value);
    if (!t) {
      out.errors.push_back(std::move(t.error()));
      return TermBound{};
    }
    return TermBound{b.kind == BK::Inclusive ? TermBound::Kind::Included : TermBound::Kind::Excluded, std::move(*t)};
  };
  TermBound lower = bound(range.lower);
  TermBound upper = bound(range.upper);
  if (lower.kind != TermBound::Kind::Unbounded || upper.kind != TermBound::Kind::Unbounded) {
    out.query = std::make_shared<RangeQuery>(std::move(lower), std::move(upper));
  }
  return out;
}

QueryParser::Built QueryParser::convert_set(const UserInputLeaf::Set& set) const {
  Built out;
  auto found = resolve_field(set.field, "Set query need to target a specific field.", out);
  if (!found) return out;
  std::vector<schema::Term> terms;
  for (const auto& e : set.elements) {
    auto t = boundary_term(found->first, found->second, e);
    if (t) {
      terms.push_back(std::move(*t));
    } else {
      out.errors.push_back(std::move(t.error()));
    }
  }
  out.query = std::make_shared<TermSetQuery>(std::move(terms));
  return out;
}

QueryParser::Built QueryParser::convert_regex(const UserInputLeaf::Regex& regex) const {
  Built out;
  auto unsupported = [&](std::string why) {
    out.errors.push_back(error(Kind::UnsupportedQuery, "Unsupported query: " + why));
    return out;
  };
  if (!allow_regex_) return unsupported("Regex queries are not allowed.");
  auto found = resolve_field(regex.field, "Regex query need to target a specific field.", out);
  if (!found) return out;
  if (!found->second.empty()) return unsupported("Regex query does not support json paths.");
  if (schema_.get_field_entry(found->first).field_type.tag() != schema::FieldTypeTag::Str) {
    return unsupported("Regex query only supported on text fields");
  }
  auto q = RegexQuery::from_pattern(regex.pattern, found->first);
  if (!q) return unsupported("Invalid regex: " + q.error());
  out.query = std::make_shared<RegexQuery>(std::move(*q));
  return out;
}

std::expected<std::shared_ptr<const Query>, QueryParserError> QueryParser::parse(std::string_view text) const {
  auto ast = query_grammar::parse_query(text);
  if (!ast) return std::unexpected(error(Kind::SyntaxError, fmt::format("Syntax Error: {}", text)));
  const auto* top = std::get_if<UserInputAst::Clause>(&ast->v);
  const bool top_is_leaf = std::holds_alternative<UserInputLeaf>(ast->v);
  bool empty_clause = top != nullptr && top->items.empty();
  Built b = convert(query_grammar::simplify(std::move(*ast)));
  if (top_is_leaf && !b.query) empty_clause = true;
  if (!empty_clause && b.only_excluding) {
    b.errors.push_back(error(Kind::OnlyExcludingTerms, "Invalid query: Only excluding terms given"));
  }
  if (!b.errors.empty()) return std::unexpected(std::move(b.errors.front()));
  if (!b.query) return std::shared_ptr<const Query>(std::make_shared<EmptyQuery>());
  return std::move(b.query);
}

}  // namespace fendral::query
