// The query parser: search text to a query object, resolved against a schema
// and its tokenizers.
//
//   QueryParser parser(schema, tokenizers, {content});
//   auto q = parser.parse("\"big cat\"~2 OR -dog");   // Result of QueryParserError
//
// Words without a field search the default fields. A word that the field's
// tokenizer splits into several tokens, or a quoted text, becomes a phrase.
// Errors are collected while the tree is built; parse reports the first.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fulltext/query/weight.h"
#include "fulltext/query_grammar/user_input_ast.h"
#include "fulltext/tokenizer/tokenizer_manager.h"

namespace fendral::query {

struct QueryParserError {
  enum class Kind : uint8_t {
    SyntaxError,
    UnsupportedQuery,
    FieldDoesNotExist,
    ExpectedInteger,
    ExpectedBase64,
    ExpectedFloat,
    ExpectedBool,
    OnlyExcludingTerms,
    NoDefaultField,
    FieldNotIndexed,
    FieldWithoutPositions,
    PhraseTooShort,
    UnknownTokenizer,
    PhraseInRange,
    InvalidDate,
    MalformedFacet,
    MalformedIp,
  };
  Kind kind;
  std::string message;  // the whole display text, e.g. "Syntax Error: a AND"

  bool operator==(const QueryParserError&) const = default;
};

class QueryParser {
 public:
  QueryParser(schema::Schema schema, tokenizer::TokenizerManager tokenizers, std::vector<schema::Field> default_fields)
      : schema_(std::move(schema)), tokenizers_(std::move(tokenizers)), default_fields_(std::move(default_fields)) {}

  // How a term of a field is matched approximately (FuzzyTermQuery).
  struct Fuzzy {
    bool prefix = false;
    uint8_t distance = 1;
    bool transposition_cost_one = true;
  };

  void set_conjunction_by_default() { and_by_default_ = true; }
  // Regular expressions (/ab+c/) are refused unless allowed.
  void set_allow_regex() { allow_regex_ = true; }
  // Terms of `field` become fuzzy term queries.
  void set_field_fuzzy(schema::Field field, Fuzzy fuzzy) { field_fuzzy_[field] = fuzzy; }
  void set_field_boost(schema::Field field, float boost) { field_boosts_[field] = boost; }

  // The query of `text`, or the first error found (a text outside the
  // grammar: SyntaxError carrying the whole text as given).
  std::expected<std::shared_ptr<const Query>, QueryParserError> parse(std::string_view text) const;

 private:
  struct Built;
  Built convert(query_grammar::UserInputAst ast) const;
  Built convert_literal(const query_grammar::UserInputLiteral& lit) const;
  Built convert_target(schema::Field field, const query_grammar::UserInputLiteral& lit) const;
  // The field (and JSON path) a range, set or regex names; none, with its
  // error added to `out`, when it names none or no such field.
  std::optional<std::pair<schema::Field, std::string_view>> resolve_field(const std::optional<std::string>& name,
                                                                          std::string_view without_field,
                                                                          Built& out) const;
  Built convert_range(const query_grammar::UserInputLeaf::Range& range) const;
  Built convert_set(const query_grammar::UserInputLeaf::Set& set) const;
  Built convert_regex(const query_grammar::UserInputLeaf::Regex& regex) const;
  // One range bound or set element of a field (and JSON path).
  std::expected<schema::Term, QueryParserError> boundary_term(schema::Field field, std::string_view json_path,
                                                              std::string_view text) const;
  // A term leaf: fuzzy when the field is configured so.
  std::shared_ptr<const Query> term_query(schema::Term term) const;

  schema::Schema schema_;
  tokenizer::TokenizerManager tokenizers_;
  std::vector<schema::Field> default_fields_;
  std::map<schema::Field, float> field_boosts_;
  std::map<schema::Field, Fuzzy> field_fuzzy_;
  bool and_by_default_ = false;
  bool allow_regex_ = false;
};

}  // namespace fendral::query
