// Tokens of the Turtle grammar, read one at a time from a UTF-8 text.
//
// Token texts are decoded: an IRI without its brackets and with \u escapes
// applied, a prefixed name with local escapes applied, a string's value with
// its escapes applied, a language tag without "@". A lexical fault is an
// Error token whose text says what is wrong; its `pos` is where.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zudizid::rdf_owl::importer {

enum class Tok {
  End,
  Error,
  Iri,        // <...>
  PName,      // prefix:local (either part may be empty)
  BlankNode,  // _:label
  String,     // any of the four quote forms
  LangTag,    // @en-GB (also @prefix / @base: the parser tells them apart)
  Carets,     // ^^
  Integer,
  Decimal,
  Double,
  True,
  False,
  A,             // the keyword a
  SparqlPrefix,  // PREFIX, any case
  SparqlBase,    // BASE, any case
  Dot,
  Semicolon,
  Comma,
  LBracket,
  RBracket,
  LParen,
  RParen,
};

struct Token {
  Tok kind = Tok::End;
  std::string text;
  size_t pos = 0;  // byte offset of the token's first character
};

class TurtleLexer {
 public:
  explicit TurtleLexer(std::string_view text) : text_(text) {}

  Token next();
  // The token next() would return, without consuming it.
  const Token& peek();

 private:
  Token scan();
  void skip_space_and_comments();
  Token error(size_t pos, std::string what) const;
  Token iri(size_t start);
  Token string(size_t start);
  Token lang_tag(size_t start);
  Token number(size_t start);
  Token blank_node(size_t start);
  Token name(size_t start);
  // Moves past name characters and inner points; a point that ends the run
  // is left for the statement.
  void skip_name_chars();
  // Reads PN_LOCAL at pos_ into `out`; false with `fault` set on a bad escape.
  bool local_part(std::string& out, std::string& fault);

  std::string_view text_;
  size_t pos_ = 0;
  bool peeked_ = false;
  Token peek_;
};

}  // namespace zudizid::rdf_owl::importer
