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


// Grammar-guided text: mostly well-formed statements, so that the builders
// see deep and varied trees.
class Gen {
 public:
  explicit Gen(std::mt19937_64& rng) : rng_(rng) {}

  std::string statement() {
    switch (pick(6)) {
      case 0: return kw("UPDATE") + pattern() + kw("SET") + assignments() + where() + limit();
      case 1: return kw("DELETE") + pattern() + where() + limit();
      case 2: return kw("ADD") + pattern();
      case 3: return kw("CREATE INDEX ON") + "L(p)" + (pick(2) ? kw("TYPE") + kw("taxonomy") : "");
      case 4: return kw(pick(2) ? "EXPLAIN" : "PROFILE") + query();
      default: return query();
    }
  }
  std::string vm(int depth) {
    switch (depth <= 0 ? pick(3) : pick(9)) {
      case 0: return number();
      case 1: return name() + (pick(2) ? "." + name() : "");
      case 2: return "'s'";
      case 3: return vm(depth - 1) + sp() + pick_of({"+", "-", "*", "/", "%", "=", "<", "OR", "and"}) + sp() + vm(depth - 1);
      case 4: return pick_of({"not ", "!", "-", "NOT("}) + vm(depth - 1) + ")";
      default: return "(" + vm(depth - 1) + ")";
    }
  }

 private:
  std::size_t pick(std::size_t n) { return static_cast<std::size_t>(rng_() % n); }
  std::string pick_of(std::initializer_list<const char*> xs) { return *(xs.begin() + pick(xs.size())); }
  std::string sp() { return pick_of({" ", "", "  ", "\n", " /* c */ ", "\t"}); }
  std::string kw(std::string k) {
    for (char& c : k) {
      if (pick(3) == 0 && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return sp() + k + " ";
  }
  std::string name() { return pick_of({"n", "m", "age", "Name_1", "r", "count", "x"}); }
  std::string number() {
    return pick_of({"0", "7", "-3", "1.5", "007", "9223372036854775807", "9223372036854775808",
                    "18446744073709551616", "-9223372036854775808"});
  }
  std::string literal() { return pick(3) ? number() : pick_of({"'a\\'b'", "\"q\"", "true", "FALSE", "null"}); }
  std::string expr(int depth) {
    switch (depth <= 0 ? pick(3) : pick(10)) {
      case 0: return literal();
      case 1: return name() + "." + name();
      case 2: return name();
      case 3: return expr(depth - 1) + sp() + pick_of({"=", "!=", "<", ">", "<=", ">="}) + sp() + expr(depth - 1);
      case 4: return expr(depth - 1) + kw(pick(2) ? "AND" : "OR") + expr(depth - 1);
      case 5: return expr(depth - 1) + sp() + pick_of({"+", "-", "*", "/", "%"}) + sp() + expr(depth - 1);
      case 6: return pick_of({"!", "-", "- "}) + "(" + expr(depth - 1) + ")";
      case 7: return "-" + number();
      case 8: {
        std::string s = name() + sp() + "(";
        std::size_t n = pick(4);
        for (std::size_t i = 0; i < n; ++i) s += (i ? "," : "") + (pick(4) ? expr(depth - 1) : std::string("*"));
        return s + ")";
      }
      default: return "(" + expr(depth - 1) + ")";
    }
  }
  std::string props() {
    if (pick(2)) return "";
    std::string s = "{";
    std::size_t n = pick(3);
    for (std::size_t i = 0; i < n; ++i) s += (i ? ", " : "") + name() + ": " + literal();
    return s + "}";
  }
  std::string node() { return "(" + (pick(2) ? name() : "") + (pick(2) ? ":L" : "") + props() + ")"; }
  std::string rel() {
    if (pick(3) == 0) return pick_of({"->", "<-", "<->", "--"});
    std::string spec = pick_of({"", "r", ":T", "r:T"});
    if (!spec.empty()) spec += props();
    std::string q = pick(2) ? "" : pick_of({"{1,3}", "{2}", "{1,}", "{0,2}", "{-1}", "{1.5,3}", "{3,1}"});
    return pick_of({"-", "<-", "->"}) + "[" + spec + "]" + pick_of({"->", "-", "<-"}) + q;
  }
  std::string pattern() {
    std::string s = node();
    std::size_t n = pick(4);
    for (std::size_t i = 0; i < n; ++i) s += sp() + rel() + sp() + node();
    return s;
  }
  std::string where() { return pick(2) ? kw("WHERE") + expr(4) : ""; }
  std::string limit() {
    return pick(2) ? kw("LIMIT") + number() + (pick(2) ? kw("OFFSET") + number() : "") : "";
  }
  std::string assignments() {
    std::string s;
    std::size_t n = 1 + pick(3);
    for (std::size_t i = 0; i < n; ++i) s += (i ? ", " : "") + name() + sp() + "." + name() + " = " + expr(3);
    return s;
  }
  std::string query() {
    std::string s = kw("FIND") + (pick(3) == 0 ? kw("DISTINCT") : "");
    if (pick(3) == 0) {
      s += "*";
    } else {
      std::size_t n = 1 + pick(3);
      for (std::size_t i = 0; i < n; ++i) s += (i ? ", " : "") + expr(3) + (pick(3) == 0 ? kw("AS") + name() : "");
    }
    s += kw("FROM") + pattern() + (pick(2) ? ", " + pattern() : "") + where();
    if (pick(3) == 0) s += kw("INIT") + "'" + vm(3) + "'" + kw("RETURN") + "\"" + vm(2) + "\"";
    if (pick(3) == 0) s += kw("GROUP BY") + expr(2) + kw("HAVING") + expr(3);
    if (pick(3) == 0) s += kw("ORDER BY") + expr(2) + kw("desc");
    s += limit();
    if (pick(4) == 0) s += kw("AT TIMESTAMP") + number();
    if (pick(4) == 0) s += kw("EXPORT") + pick_of({"CSV WITH a = 1, b = 'x'", "JSON", "ARROW", "PARQUET 'p'"});
    return s;
  }

  std::mt19937_64& rng_;
};

std::string generate(std::mt19937_64& rng) {
  switch (rng() % 6) {
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
    case 2: {
      Gen g(rng);
      std::string s = g.statement();
      return rng() % 4 ? s : mutate(rng, s);
    }
    case 3: return Gen(rng).vm(5);
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

void run_one(const std::string& text, GrammarRule extra_rule, std::size_t& parsed, std::size_t& built) {
  auto tree = grammar::parse(GrammarRule::statement, text);
  if (tree) {
    ++parsed;
    check_tree(*tree, text);
    auto top = tree->top_level();
    ASSERT_FALSE(top.empty());
    ASSERT_EQ((*top.begin()).text(), text);  // anchored: spans the whole text
    auto stmt = parser::build_statement(*tree);
    if (stmt) {
      ++built;
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
  std::size_t parsed = 0, built = 0;
  for (std::size_t i = 0; i < iterations; ++i) {
    std::string text = generate(rng);
    auto rule = static_cast<GrammarRule>(rng() % grammar::kGrammarRuleCount);
    auto t0 = std::chrono::steady_clock::now();
    run_one(text, rule, parsed, built);
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
  std::printf("zql fuzz: %zu inputs, %zu whole statements, %zu built, slowest %.2f ms (%zu bytes)\n",
              iterations, parsed, built, slowest_ms, slowest.size());
  if (std::getenv("ZQL_FUZZ_VERBOSE")) std::printf("slowest: %s\n", ::testing::PrintToString(slowest).c_str());
}

}  // namespace
}  // namespace zudizid::query::zql
