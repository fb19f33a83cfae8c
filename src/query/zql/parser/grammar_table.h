// The ZQL grammar as a table of rules, one line per rule, each with its kind
// and its form in the grammar notation (sequence by juxtaposition, | ordered
// choice, ? * + repetition, &x !x look-ahead, "x" literal, ^"x" ASCII
// case-insensitive literal, 'a'..'z' range, ANY, SOI, EOI, rule names).
//
// The table is compiled once into a PegProgram that the matcher interprets.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "query/zql/parser/grammar_rule.h"

namespace zudizid::query::zql::grammar {

struct RuleDef {
  GrammarRule rule;
  bool silent;  // makes no node and is never named in reports
  bool atomic;  // no implicit whitespace inside; callees make no nodes
  const char* form;
};

// One line per grammar rule, in rule-number order (EOI is built in and has
// an empty form).
const std::vector<RuleDef>& rule_table();

enum class PegOp : std::uint8_t {
  Seq,
  Choice,
  Opt,
  Star,
  Plus,
  PosLook,
  NegLook,
  Lit,   // exact bytes
  ILit,  // ASCII case-insensitive bytes (stored lower-cased)
  Range,
  Any,
  Soi,
  Eoi,  // the body of the built-in EOI rule
  Call,
};

struct PegNode {
  explicit PegNode(PegOp o) : op(o) {}
  PegOp op;
  GrammarRule rule = GrammarRule::EOI;  // Call
  unsigned char lo = 0, hi = 0;         // Range
  std::uint32_t kids_begin = 0;         // into PegProgram::kids
  std::uint32_t kids_count = 0;
  std::string lit;  // Lit, ILit
};

struct PegProgram {
  std::vector<PegNode> nodes;
  std::vector<std::uint32_t> kids;
  std::uint32_t rule_body[kGrammarRuleCount] = {};
  bool rule_silent[kGrammarRuleCount] = {};
  bool rule_atomic[kGrammarRuleCount] = {};
};

// The compiled grammar; built on first use, immutable afterwards.
const PegProgram& peg_program();

}  // namespace zudizid::query::zql::grammar
