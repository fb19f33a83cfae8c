// Reading Turtle text into triples of term texts.
//
// The reader follows the Turtle grammar in one pass, with an explicit stack
// for nested blank-node property lists and collections (no recursion, so
// nesting depth is bounded only by the text). Directives: @prefix, @base,
// PREFIX, BASE. Every statement yields its triples in reading order; a text
// that is not Turtle is refused as a whole, naming the line and column (both
// from 1, columns in characters) of the first token that does not fit.
//
// Term texts of a triple:
//   IRI             "<" + the IRI as written, escapes decoded + ">" (not
//                   resolved against @base)
//   prefixed name   "prefix:local" as written, local escapes decoded; an
//                   undeclared prefix is accepted
//   `a`             "<http://www.w3.org/1999/02/22-rdf-syntax-ns#type>"
//   blank node      "_:label" as written; nodes of "[ ... ]" and collections
//                   are "_:#N" (N from 1), a form no document can write
//   collection      rdf:first / rdf:rest triples ending in rdf:nil, all as
//                   full IRIs; the empty collection is rdf:nil itself
//   literal         the value in double quotes, with backslash, quote, LF
//                   and CR escaped as \\ \" \n \r; then "@lang" or "^^" + its datatype (an IRI,
//                   a prefixed name expanded to "<IRI>" when its prefix is
//                   declared, else as written)
//   number, boolean the lexical form as written (42, -3.5, 1e3, true)
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace zudizid::rdf_owl::importer {

struct Triple {
  std::string subject;
  std::string predicate;
  std::string object;

  friend bool operator==(const Triple&, const Triple&) = default;
};

struct TurtleError {
  size_t line = 0;
  size_t column = 0;
  std::string message;

  // "Turtle syntax error at line {}, column {}: {}"
  std::string display() const;
};

std::expected<std::vector<Triple>, TurtleError> read_turtle(std::string_view text);

inline constexpr std::string_view kRdfType = "<http://www.w3.org/1999/02/22-rdf-syntax-ns#type>";
inline constexpr std::string_view kRdfFirst = "<http://www.w3.org/1999/02/22-rdf-syntax-ns#first>";
inline constexpr std::string_view kRdfRest = "<http://www.w3.org/1999/02/22-rdf-syntax-ns#rest>";
inline constexpr std::string_view kRdfNil = "<http://www.w3.org/1999/02/22-rdf-syntax-ns#nil>";

}  // namespace zudizid::rdf_owl::importer
