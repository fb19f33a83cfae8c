// The ZQL parse entry: runs one grammar rule over a text and returns the
// parse tree, or the positioned error report when the text does not match.
//
// Only `statement` is anchored at both ends of the text; the VM start rules
// (`vm_assignment`, `vm_expression`) match a beginning of the text and leave
// the rest unread. The entry keeps no shared state: any number of threads may
// parse at once.
#pragma once

#include <cstddef>
#include <expected>
#include <string_view>

#include "query/zql/parser/grammar_rule.h"
#include "query/zql/parser/parse_tree.h"

namespace zudizid::query::zql::grammar {

// Deepest nesting of rule calls a parse may reach. Deeper input fails with
// the plain message "call limit reached" instead of exhausting the stack.
inline constexpr std::size_t kMaxRuleDepth = 1000;

std::expected<ParseTree, ParseError> parse(GrammarRule start, std::string_view text);

// As above with an explicit depth bound (tests use small bounds).
std::expected<ParseTree, ParseError> parse(GrammarRule start, std::string_view text,
                                           std::size_t max_rule_depth);

}  // namespace zudizid::query::zql::grammar
