// Our regular-expression parser: pattern text -> syntax tree (Hir).
//
// Syntax: literals and escapes (\n \t \x7F \x{10FFFF} \u{..} \U{..}, escaped
// punctuation), '.', classes [a-z[^x]&&--~~] with [:ascii:] classes, \d \s \w
// and their negations, \p{..} / \P{..}, groups (..), (?:..), (?P<n>..),
// (?<n>..), flags (?imsxuU) and (?flags:..), alternation, repetition
// * + ? {n} {n,} {n,m} with a lazy '?' suffix, anchors ^ $ \A \z \b \B.
// Unicode-aware and case-sensitive by default; nesting deeper than 250 is
// refused. Errors are texts.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "fulltext/fst/regex/unicode_classes.h"

namespace fendral::fst::regex {

struct Hir {
  enum class Kind { Empty, Literal, Class, ByteClass, Look, Repetition, Group, Concat, Alternation };
  Kind kind = Kind::Empty;
  uint32_t ch = 0;              // Literal: a scalar value
  unicode::Class ranges;        // Class
  uint32_t min = 0;             // Repetition
  uint32_t max = 0;
  bool bounded = false;
  bool greedy = true;
  uint32_t depth = 0;           // Repetition: repetitions stacked directly on each other
  std::vector<Hir> subs;
};

constexpr uint32_t kNestLimit = 250;

std::expected<Hir, std::string> parse(std::string_view pattern);

}  // namespace fendral::fst::regex
