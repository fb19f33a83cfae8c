// Random-text and mutation fuzzing of the parse entry, the builders and the
// VM parser: no crash, no hang, no sanitizer report, and the structural
// promises of the results hold for every input.
//
// ZQL_FUZZ_ITERATIONS overrides the number of inputs (default per target,
// see CMakeLists.txt); ZQL_FUZZ_SEED the seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "query/zql/parser/ast.h"
#include "query/zql/parser/build_statement.h"
#include "query/zql/parser/grammar.h"
#include "query/zql/parser/vm_parser.h"

#ifndef ZQL_FUZZ_DEFAULT_ITERATIONS
#define ZQL_FUZZ_DEFAULT_ITERATIONS 5000
#endif

namespace zudizid::query::zql {
namespace {

using grammar::GrammarRule;

const std::vector<std::string> kSeeds = {
    "FIND * FROM (n)",
    "FIND DISTINCT n.name AS who, count(*) FROM (n:Person {age: 30})-[r:KNOWS {since: 2020}]->{1,3}(m) "
    "WHERE n.age >= -18 AND !(n.x = 1) OR f(a, 'b', g(1)) != 2 * 3 + 4 INIT 'a = 0' GATHER \"a = a + 1\" "
    "RETURN 'a' GROUP BY n.city HAVING count(*) > 1 ORDER BY n.age DESC, n.name LIMIT 10 OFFSET 5 "
    "AT TIMESTAMP 42 EXPORT JSON WITH pretty = true, path = 'out.json'",
    "UPDATE (n:Person) SET n.age = -1, n.city = 'Oslo' WHERE n.name = 'Ann' LIMIT 3",
    "DELETE (a)<-[:KNOWS]-(b) WHERE a.x < 1.5 LIMIT 1",
    "ADD (a {k: 'v'})-[:R]->(b)<->(c)--(d)",
    "CREATE INDEX ON Person(name) TYPE fulltext",
    "DROP INDEX Person_name",
    "SKETCH s = FIND * FROM (n) // comment\n",
    "COMMIT s",
    "EXPLAIN FIND * FROM (n) /* block */ WHERE n.a = null",
    "PROFILE FIND n FROM (n) EXPORT PARQUET 'p.parquet'",
    "total = total + e.weight * 2 % 3 / -x",
    "not not !-(a OR b AND c <= d)",
};

const std::vector<std::string> kTokens = {
    "FIND", "FROM", "WHERE", "AND", "OR", "NOT", "DISTINCT", "AS", "GROUP", "BY", "HAVING", "ORDER",
    "ASC", "DESC", "LIMIT", "OFFSET", "AT", "TIMESTAMP", "EXPORT", "CSV", "JSON", "ARROW", "PARQUET",
    "WITH", "INIT", "GATHER", "RETURN", "UPDATE", "SET", "DELETE", "ADD", "CREATE", "INDEX", "ON", "TYPE",
    "DROP", "SKETCH", "COMMIT", "EXPLAIN", "PROFILE", "true", "null", "n", "a.b", "x_1", "(", ")", "[",
    "]", "{", "}", ",", ":", ".", "=", "!=", "<", ">", "<=", ">=", "+", "-", "*", "/", "%", "!", "->",
    "<-", "<->", "--", "'s'", "\"d\"", "'\\'", "0", "-7", "1.5", "18446744073709551616",
    "9223372036854775808", " ", "\n", "\r\n", "\t", "//c\n", "/*c*/", "/*", "\xC3\xA9", "\xFF", "\0"};

std::string mutate(std::mt19937_64& rng, std::string s) {
  auto pick = [&](std::size_t n) { return n == 0 ? std::size_t{0} : static_cast<std::size_t>(rng() % n); };
  int edits = 1 + static_cast<int>(rng() % 4);
  for (int e = 0; e < edits; ++e) {
    std::size_t at = pick(s.size() + 1);
    switch (rng() % 6) {
      case 0: s.insert(at, kTokens[pick(kTokens.size())]); break;
      case 1:
        if (!s.empty()) s.erase(at < s.size() ? at : s.size() - 1, 1 + pick(8));
        break;
      case 2:
        if (at < s.size()) s[at] = static_cast<char>(rng());
        break;
      case 3: {  // duplicate a chunk (nesting, repetition)
        std::size_t len = pick(s.size() - std::min(at, s.size()) + 1);
        std::string chunk = s.substr(std::min(at, s.size()), len);
        s.insert(std::min(at, s.size()), chunk);
        break;
      }
      case 4: {  // splice another seed
        const std::string& o = kSeeds[pick(kSeeds.size())];
        std::size_t from = pick(o.size());
        s.insert(at, o.substr(from, pick(o.size() - from + 1)));
        break;
      }
      default:
        s.insert(at, std::string(1 + pick(40), "(!-"[pick(3)]));
    }
  }
  if (s.size() > 4096) s.resize(4096);
  return s;
}

std::string generate(std::mt19937_64& rng) {
  switch (rng() % 4) {
    case 0: {  // token soup
      std::string s;
      std::size_t n = rng() % 40;
      for (std::size_t i = 0; i < n; ++i) {
        s += kTokens[rng() % kTokens.size()];
        if (rng() % 2) s += ' ';
      }
      return s;
    }
    case 1: {  // random bytes
      std::string s(rng() % 64, '\0');
      for (char& c : s) c = static_cast<char>(rng());
      return s;
    }
    default:
      return mutate(rng, kSeeds[rng() % kSeeds.size()]);
  }
}

void check_tree(const grammar::ParseTree& tree, std::string_view text) {
  // Every node lies within its parent and after its previous sibling.
  struct Frame {
    grammar::ParseNode node;
    std::size_t lo, hi;
  };
  std::vector<Frame> stack;
  std::size_t prev_end = 0;
  for (grammar::ParseNode n : tree.top_level()) {
    ASSERT_LE(prev_end, n.start());
    prev_end = n.end();
    stack.push_back({n, 0, text.size()});
  }
  while (!stack.empty()) {
    Frame f = stack.back();
    stack.pop_back();
    ASSERT_LE(f.lo, f.node.start());
    ASSERT_LE(f.node.start(), f.node.end());
    ASSERT_LE(f.node.end(), f.hi);
    std::size_t sib = f.node.start();
    for (grammar::ParseNode c : f.node.children()) {
      ASSERT_LE(sib, c.start());
      sib = c.end();
      stack.push_back({c, f.node.start(), f.node.end()});
    }
  }
}

void check_error(const grammar::ParseError& e, std::string_view text) {
  ASSERT_LE(e.position, text.size());
  ASSERT_GE(e.line, 1u);
  ASSERT_GE(e.column, 1u);
  std::string d = e.display();
  ASSERT_EQ(std::count(d.begin(), d.end(), '\n'), 5) << d;
}

void run_one(const std::string& text, GrammarRule extra_rule, std::size_t& parsed) {
  auto tree = grammar::parse(GrammarRule::statement, text);
  if (tree) {
    ++parsed;
    check_tree(*tree, text);
    auto top = tree->top_level();
    ASSERT_FALSE(top.empty());
    ASSERT_EQ((*top.begin()).text(), text);  // anchored: spans the whole text
    auto stmt = parser::build_statement(*tree);
    if (stmt) {
      ast::Statement copy = *stmt;
      ASSERT_EQ(ast::debug_string(copy), ast::debug_string(*stmt));
    }
  } else {
    check_error(tree.error(), text);
  }
  for (GrammarRule r : {GrammarRule::vm_assignment, GrammarRule::vm_expression, extra_rule}) {
    auto t = grammar::parse(r, text);
    if (t) {
      check_tree(*t, text);
    } else {
      check_error(t.error(), text);
    }
  }
  auto a = parser::parse_vm_assignment(text);
  if (a) {
    ast::Expr copy = a->second;
    ASSERT_TRUE(copy == a->second);
  }
  auto e = parser::parse_vm_expression(text);
  if (e) ASSERT_FALSE(e->debug_string().empty());
}

TEST(ZqlFuzz, RandomAndMutatedInputs) {
  std::size_t iterations = ZQL_FUZZ_DEFAULT_ITERATIONS;
  if (const char* v = std::getenv("ZQL_FUZZ_ITERATIONS")) iterations = std::strtoull(v, nullptr, 10);
  std::uint64_t seed = 0x5eed2024ULL;
  if (const char* v = std::getenv("ZQL_FUZZ_SEED")) seed = std::strtoull(v, nullptr, 10);
  std::mt19937_64 rng(seed);

  double slowest_ms = 0;
  std::string slowest;
  std::size_t parsed = 0;
  for (std::size_t i = 0; i < iterations; ++i) {
    std::string text = generate(rng);
    auto rule = static_cast<GrammarRule>(rng() % grammar::kGrammarRuleCount);
    auto t0 = std::chrono::steady_clock::now();
    run_one(text, rule, parsed);
    if (HasFatalFailure()) {
      ADD_FAILURE() << "input #" << i << ": " << ::testing::PrintToString(text);
      return;
    }
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if (ms > slowest_ms) {
      slowest_ms = ms;
      slowest = text;
    }
  }
  std::printf("zql fuzz: %zu inputs, %zu whole statements, slowest %.2f ms (%zu bytes)\n", iterations, parsed,
              slowest_ms, slowest.size());
  if (std::getenv("ZQL_FUZZ_VERBOSE")) std::printf("slowest: %s\n", ::testing::PrintToString(slowest).c_str());
}

}  // namespace
}  // namespace zudizid::query::zql
