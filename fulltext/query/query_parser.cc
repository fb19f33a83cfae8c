// Search text -> user tree (grammar) -> query objects. The logical tree of
// the design is folded into the conversion: a node is built straight into
// its query, and an emptied clause (one whose every child vanished) becomes
// nothing, as trimming would make it.
#include "fulltext/query/query_parser.h"

#include <fmt/format.h>

#include <charconv>
#include <cmath>

#include "common/io_error.h"
#include "fulltext/query/boolean_query.h"
#include "fulltext/query/phrase_query.h"
#include "fulltext/query/term_query.h"
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
          if (!l.field) {
            out.errors.push_back(error(Kind::UnsupportedQuery, "Unsupported query: Range query need to target a specific field."));
          } else if (!schema_.find_field(*l.field)) {
            out.errors.push_back(error(Kind::FieldDoesNotExist, fmt::format("Field does not exist: '{}'", *l.field)));
          } else {
            out.errors.push_back(error(Kind::UnsupportedQuery, "Unsupported query: Range queries are not supported."));
          }
        } else if constexpr (std::is_same_v<T, UserInputLeaf::Set>) {
          out.errors.push_back(error(Kind::UnsupportedQuery, "Unsupported query: Set queries are not supported."));
        } else if constexpr (std::is_same_v<T, UserInputLeaf::Exists>) {
          out.errors.push_back(error(Kind::UnsupportedQuery, "Unsupported query: Exists queries are not supported."));
        } else {
          out.errors.push_back(error(Kind::UnsupportedQuery, "Unsupported query: Regex queries are not allowed."));
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
    out.query = std::make_shared<TermQuery>(std::move(t), schema::RecordOption::WithFreqs);
    return out;
  };
  if (!entry.is_indexed()) return fail(Kind::FieldNotIndexed, fmt::format("The field '{}' is not declared as indexed", entry.name));
  switch (entry.field_type.tag()) {
    case schema::FieldTypeTag::U64: {
      auto v = parse_int<uint64_t>(text);
      if (!v) return fail(Kind::ExpectedInteger, int_error(text, false));
      return term(schema::Term::from_field_u64(field, *v));
    }
    case schema::FieldTypeTag::I64: {
      auto v = parse_int<int64_t>(text);
      if (!v) return fail(Kind::ExpectedInteger, int_error(text, true));
      return term(schema::Term::from_field_i64(field, *v));
    }
    case schema::FieldTypeTag::F64: {
      double v = 0;
      auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
      if (text.empty() || ec != std::errc() || p != text.data() + text.size()) {
        return fail(Kind::ExpectedFloat, "Expected a float value: 'ParseFloatError { kind: Invalid }'");
      }
      return term(schema::Term::from_field_f64(field, v));
    }
    case schema::FieldTypeTag::Bool:
      if (text == "true" || text == "false") return term(schema::Term::from_field_bool(field, text == "true"));
      return fail(Kind::ExpectedBool, "Expected a bool value: 'ParseBoolError'");
    case schema::FieldTypeTag::Str: break;
    default:
      return fail(Kind::UnsupportedQuery,
                  fmt::format("Unsupported query: terms of field {} are not supported.", zudizid::common::debug_quote(entry.name)));
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
      return fail(Kind::UnsupportedQuery, "Unsupported query: Phrase prefix queries are not supported.");
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
