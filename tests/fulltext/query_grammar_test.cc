#include <gtest/gtest.h>

#include <random>
#include <string>

#include "fulltext/query_grammar/query_grammar.h"

namespace fendral::query_grammar {
namespace {

// debug_string: a Clause is "( ... )", item occurs "+" Must, "-" MustNot,
// "?" Should, nothing when absent; a literal shows its field and quotes.
struct Case {
  const char* text;
  const char* tree;  // nullptr: the parse fails
};

const Case kParseCases[] = {
    {"", "()"},
    {" \t\r\n", "()"},
    {"a   ", "a"},
    {"a b", "(a b)"},
    {"a AND b", "(+a +b)"},
    {"a OR b", "(?a ?b)"},
    {"a AND b OR c", "(?(+a +b) ?c)"},
    {"a OR b AND c", "(?a ?(+b +c))"},
    {"a b AND c", "(a ?(+b +c))"},
    {"a OR -b", "(?a ?(-b))"},
    {"-a OR b", "(?(-a) ?b)"},
    {"a AND -b", "(+a -b)"},
    {"-a b", "(-a b)"},
    {"+a", "a"},
    {"-a", "(-a)"},
    {"NOT a", "(-a)"},
    {"a NOT b", "(a (-b))"},
    {"title:(a b)", "(title:a title:b)"},
    {"a(b)", nullptr},
    {"a b(c)", "(a b c)"},
    {"a and b", "(a and b)"},
    {"a AND", nullptr},
    {"AND", nullptr},
    {"\"AND\"", "\"AND\""},
    {"a AND\tb", nullptr},
    {"a\u00a0b", nullptr},
    {"cat*", "cat*"},
    {"cat~2", "cat~2"},
    {"\"big cat\"~2", "\"big cat\"~2"},
    {"\"big cat\"*", "\"big cat\"*"},
    {"\"a b\"~4294967295", "\"a b\"~4294967295"},
    {"\"a b\"~4294967296", nullptr},
    {"title:*", "title:*"},
    {"title:(*)", "title:*"},
    {"title:*foo", "title:*foo"},
    {"*", "*"},
    {"x:IN [a b]", "x:IN [a b]"},
    {"x:IN []", "x:IN []"},
    {"x:IN [a b ]", nullptr},
    {"[1 TO 5}", "[1 TO 5}"},
    {"[* TO 5]", "{* TO 5]"},
    {">=*", "[* TO *}"},
    {"price: >= 10", "price:[10 TO *}"},
    {"a^1", "a"},
    {"a^1.0", "a"},
    {"a^0", "a^0"},
    {"a^", nullptr},
    {"a^x", nullptr},
    {"(a b)^2", "(a b)^2"},
    {"/ab+c/", "/ab+c/"},
    {"/a\\/b/", "/a/b/"},
    {"/a\\d/", "/a\\d/"},
    {"//", "//"},
    {"/ab/x", "/ab/x"},
    {"-5", "(-5)"},
    {"x:-5", "x:-5"},
    {"a\\:b", "a:b"},
    {"a\\b", "a\\b"},
    {"title :x", "title:x"},
    {"'it''s'", nullptr},
    {"'it\\'s'", "'it's'"},
    {"\"unclosed", nullptr},
};

TEST(QueryGrammar, ParseTable) {
  for (const auto& c : kParseCases) {
    auto ast = parse_query(c.text);
    if (c.tree == nullptr) {
      EXPECT_FALSE(ast) << c.text << " -> " << debug_string(*ast);
    } else {
      ASSERT_TRUE(ast) << c.text;
      EXPECT_EQ(debug_string(*ast), c.tree) << c.text;
    }
  }
}

TEST(QueryGrammar, LeafDetails) {
  auto range = parse_query("[1 TO 5}");
  ASSERT_TRUE(range);
  const auto& r = std::get<UserInputLeaf::Range>(std::get<UserInputLeaf>(range->v).v);
  EXPECT_EQ(r.lower, UserInputBound::inclusive("1"));
  EXPECT_EQ(r.upper, UserInputBound::exclusive("5"));
  EXPECT_FALSE(r.field);

  auto phrase = parse_query("f:\"big cat\"~2");
  ASSERT_TRUE(phrase);
  const auto& lit = std::get<UserInputLiteral>(std::get<UserInputLeaf>(phrase->v).v);
  EXPECT_EQ(lit.field_name, "f");
  EXPECT_EQ(lit.phrase, "big cat");
  EXPECT_EQ(lit.delimiter, Delimiter::DoubleQuotes);
  EXPECT_EQ(lit.slop, 2u);

  auto boost = parse_query("a^2.5");
  ASSERT_TRUE(boost);
  EXPECT_EQ(std::get<UserInputAst::Boost>(boost->v).factor, 2.5);
}

TEST(QueryGrammar, Simplify) {
  const std::pair<const char*, const char*> cases[] = {
      {"a a", "(a)"},
      {"b (-a)", "(b -a)"},
      {"a NOT b", "(a -b)"},
      {"a", "a"},
      {"(a a)^2", "(a a)^2"},
      {"+a a +a", "(+a a)"},
  };
  for (const auto& [text, tree] : cases) {
    auto ast = parse_query(text);
    ASSERT_TRUE(ast) << text;
    EXPECT_EQ(debug_string(simplify(std::move(*ast))), tree) << text;
  }
}

TEST(QueryGrammar, NestingIsBounded) {
  for (const char* open : {"(", "NOT ", "f:(", "-(", "+("}) {
    for (int depth : {kMaxQueryDepth - 1, kMaxQueryDepth + 1, 100000}) {
      std::string text;
      for (int i = 0; i < depth; ++i) text += open;
      text += "a";
      if (std::string(open).find('(') != std::string::npos) text += std::string(depth, ')');
      auto ast = parse_query(text);
      if (depth < kMaxQueryDepth) {
        ASSERT_TRUE(ast) << open << depth;
        ast = simplify(std::move(*ast));
      } else {
        EXPECT_FALSE(ast) << open << depth;
      }
    }
  }
}

// Random texts over the language's alphabet: no crash, and a text that
// parses gives a tree that simplifies (sanitizer builds check memory).
#ifndef QUERY_FUZZ_DEFAULT_ITERATIONS
#define QUERY_FUZZ_DEFAULT_ITERATIONS 100000
#endif

TEST(QueryGrammar, Fuzz) {
  size_t iterations = QUERY_FUZZ_DEFAULT_ITERATIONS;
  if (const char* env = std::getenv("QUERY_FUZZ_ITERATIONS")) iterations = std::strtoull(env, nullptr, 10);
  static const char* kPieces[] = {"a",  "bc", " ",   "\t", "(",  ")",   "\"", "'",   ":",  "*",   "~",  "~9",
                                  "^",  "^2", "+",   "-",  "AND ", "OR ", "NOT ", "IN ", "[",  "]",   "{",  "}",
                                  " TO ", "/", "\\", ">=", "<",  "-3.5", "\xc3\xa9", "\xff", "\u00a0", "~4294967296",
                                  "f:", "((((", "))))", "NOT NOT NOT "};
  std::mt19937_64 rng(7);
  size_t parsed = 0;
  for (size_t i = 0; i < iterations; ++i) {
    std::string text;
    size_t n = rng() % 24;
    for (size_t k = 0; k < n; ++k) text += kPieces[rng() % std::size(kPieces)];
    if (auto ast = parse_query(text)) {
      ++parsed;
      (void)simplify(std::move(*ast));
    }
  }
  EXPECT_GT(parsed, 0u);
}

}  // namespace
}  // namespace fendral::query_grammar
