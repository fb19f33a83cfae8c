// The user query language: a strict grammar of ordered choices (the first
// alternative that matches is taken; a failing rule gives back what it read).
//
//   a b            two items, each taking the parser's default occur
//   a AND b OR c   AND binds tighter than OR; +a must, -a / NOT a must not
//   title:cat      a field;  title:(a b) applies it to a group
//   "big cat"~2    a phrase with slop;  "big ca"* a phrase prefix
//   [1 TO 5}  >=3  ranges;  x:IN [a b]  a set;  x:*  exists;  /ab+c/  regex
//   a^2.5          a boost;  *  every document
//
// The whole text must match; a failure carries no position or message.
// Nesting (parentheses, NOT chains, field groups) is bounded by
// kMaxQueryDepth so that no input can exhaust the stack.
#pragma once

#include <optional>
#include <string_view>

#include "fulltext/query_grammar/user_input_ast.h"

namespace fendral::query_grammar {

inline constexpr int kMaxQueryDepth = 100;

// The tree of `text` (not simplified), or nothing when the text is not in
// the language. A text of separator whitespace only is the empty Clause.
std::optional<UserInputAst> parse_query(std::string_view text);

}  // namespace fendral::query_grammar
