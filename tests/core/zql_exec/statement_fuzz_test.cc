// Mutation fuzzing of whole statements through execute_statement on a small
// graph: no crash, no hang, no sanitizer report; every outcome is a result
// or an error, and the graph stays readable. The seeds cover the writes,
// FIND (aggregates, GROUP BY, HAVING, DISTINCT, ORDER BY, vector and
// algorithm calls), EXPLAIN, PROFILE and EXPORT. The test runs inside a
// temporary directory, and a statement with EXPORT runs only when no file
// path it could name leaves that directory.
//
// ZQL_EXEC_FUZZ_ITERATIONS overrides the number of statements, ZQL_FUZZ_SEED the seed.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "graph/close.h"
#include "graph/open.h"
#include "query/zql/executor/execute_statement.h"

#ifndef ZQL_EXEC_FUZZ_DEFAULT_ITERATIONS
#define ZQL_EXEC_FUZZ_DEFAULT_ITERATIONS 3000
#endif

namespace zudizid::query::zql::executor {
namespace {

const std::vector<std::string> kSeeds = {
    "ADD (a:P {name: 'Ann', age: 30})-[:KNOWS {w: 1.5}]->(b:P {name: 'Bob', age: -2})<-[:R]-(c:Q)",
    "ADD (a)-[r]->(b)-[:S]->(a)",
    "UPDATE (n:P {name: 'Ann'}) SET n.age = 31, n.city = 'Oslo' WHERE n.age + 1 > 3 AND !(n.x = null) LIMIT 3",
    "UPDATE (s:P)-[r:KNOWS]->(t) SET s.x = 1, t.y = 'z', r.w = 2 WHERE r.w * 2 >= 1 OR s.age % 0 = 1",
    "UPDATE (n) SET n.v = n.age WHERE n.age / 2 < 100 LIMIT 2 OFFSET 1",
    "DELETE (a:P)<-[:R]-(b) WHERE a.name = 'Bob' LIMIT 1",
    "DELETE (a)<-[]->(b) WHERE -a.age < 0",
    "DELETE (n:Q) WHERE n.id = '00000000-0000-4000-8000-000000000001' OR has_embedding(n, 'm')",
    "DELETE (n:P {age: 30}) WHERE instanceOf(n, 'Thing') OR n.age - 9223372036854775807 < 0",
    "CREATE INDEX ON P(name) TYPE btree",
    "CREATE INDEX ON P(age)",
    "DROP INDEX P_name",
    "SKETCH s = ADD (n:Z)",
    "COMMIT s",
    "EXPLAIN DELETE (n)",
    "PROFILE FIND n FROM (n)",
    "FIND n.name FROM (n:P) WHERE n.age > 1 ORDER BY n.name LIMIT 2",
    "FIND DISTINCT n.city, n.* FROM (n:P {age: 30}) WHERE n.name = 'Ann' OR n.age <= 3 ORDER BY n.city DESC LIMIT 3 "
    "OFFSET 1",
    "FIND n.city AS c, count(n) AS k, avg(n.age), min(n.age), max(n.name), sum(n.age) FROM (n:P) GROUP BY n.city "
    "HAVING count(n) > 1 AND avg(n.age) < 50 ORDER BY k",
    "FIND count(*), all(n), n FROM (n) WHERE degree(n) > 0 AND pagerank(n) >= 0.0 LIMIT 4",
    "FIND knn_nodes(n, 2, 'm'), embedding_similarity(n, '00000000-0000-4000-8000-000000000001', 'm'), "
    "shortestPath('00000000-0000-4000-8000-000000000001', '00000000-0000-4000-8000-000000000002') FROM (n:P)",
    "FIND * FROM (n:Q) WHERE similar_to(n, 'Ann', 'm') OR hybrid(n, 'big cat', 'Ann', 'm') LIMIT 2",
    "EXPLAIN FIND n.name FROM (n:P) WHERE n.name = 'Ann' AND n.age > 2 ORDER BY n.age",
    "PROFILE FIND n.city, count(n) FROM (n:P) GROUP BY n.city",
    "PROFILE FIND n.name FROM (a:P)-[:KNOWS]->(n) EXPORT CSV",
    "FIND n.name, n.age FROM (n:P) ORDER BY n.name EXPORT CSV WITH separator = ';', header = false, path = 'o.csv'",
    "FIND n.name, n.w FROM (n) EXPORT JSON WITH pretty = true, jsonl = 'false', path = 'o.json'",
    "FIND n FROM (n) EXPORT PARQUET 'o.parquet'",
    "CREATE INDEX ON Q(name) TYPE fulltext",
};

const std::vector<std::string> kTokens = {
    "ADD", "UPDATE", "SET", "DELETE", "WHERE", "AND", "OR", "!", "LIMIT", "OFFSET", "CREATE", "INDEX",
    "ON", "TYPE", "DROP", "(", ")", "[", "]", "{", "}", ",", ":", ".", "=", "!=", "<", ">", "<=", ">=",
    "+", "-", "*", "/", "%", "->", "<-", "<->", "--", "{1,3}", "n", "n.age", "n.id", "r.w", "s.x", "P",
    "'Ann'", "0", "-1", "1.5", "9223372036854775807", "-9223372036854775808", "null", "true", "foo(n)",
    "pagerank(n)", "similar_to(n, 'r')", "FIND", "FROM", "DISTINCT", "GROUP BY", "HAVING", "ORDER BY", "DESC",
    "AS", "count(n)", "avg(n.age)", "n.*", "*", "EXPLAIN", "PROFILE", "EXPORT", "CSV", "JSON", "WITH", "path",
    "'o.csv'", " ", "\xC3\xA9", "\xFF", "\0"};

// Whether a statement could write a file outside the working directory: with
// EXPORT, any path separator, "..", a leading "~" or a NUL byte anywhere.
bool may_write_outside(const std::string& text) {
  std::string lower = text;
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (lower.find("export") == std::string::npos) return false;
  return lower.find_first_of(std::string("/\\~\0", 4)) != std::string::npos || lower.find("..") != std::string::npos;
}

// A fresh temporary directory as the working directory while it lives;
// removed afterwards with whatever EXPORT wrote there.
struct WorkInTempDir {
  std::filesystem::path home = std::filesystem::current_path();
  std::filesystem::path dir;
  bool ok = false;
  WorkInTempDir() {
    std::string name = (std::filesystem::temp_directory_path() / "zql-fuzz-XXXXXX").string();
    if (!mkdtemp(name.data())) return;
    dir = name;
    std::filesystem::current_path(dir);
    ok = true;
  }
  ~WorkInTempDir() {
    if (!ok) return;
    std::error_code ec;
    std::filesystem::current_path(home, ec);
    std::filesystem::remove_all(dir, ec);
  }
};

uint64_t iterations() {
  if (const char* v = std::getenv("ZQL_EXEC_FUZZ_ITERATIONS")) return std::strtoull(v, nullptr, 10);
  return ZQL_EXEC_FUZZ_DEFAULT_ITERATIONS;
}

std::string mutate(std::string text, std::mt19937_64& rng) {
  const int edits = 1 + static_cast<int>(rng() % 4);
  for (int e = 0; e < edits; ++e) {
    const size_t at = text.empty() ? 0 : rng() % (text.size() + 1);
    switch (rng() % 4) {
      case 0: text.insert(at, " " + kTokens[rng() % kTokens.size()] + " "); break;
      case 1:
        if (!text.empty()) text.erase(at == text.size() ? at - 1 : at, 1 + rng() % 6);
        break;
      case 2:
        if (!text.empty() && at < text.size()) text[at] = static_cast<char>(rng() % 256);
        break;
      default: {
        const std::string& other = kSeeds[rng() % kSeeds.size()];
        const size_t from = rng() % (other.size() + 1);
        text.insert(at, other.substr(from, rng() % 24));
      }
    }
  }
  return text;
}

TEST(ZqlExecFuzz, MutatedStatements) {
  const uint64_t seed = std::getenv("ZQL_FUZZ_SEED") ? std::strtoull(std::getenv("ZQL_FUZZ_SEED"), nullptr, 10)
                                                     : std::random_device{}();
  std::mt19937_64 rng(seed);
  SCOPED_TRACE("ZQL_FUZZ_SEED=" + std::to_string(seed));
  WorkInTempDir workdir;
  ASSERT_TRUE(workdir.ok);
  std::optional<graph::Graph> g;
  auto fresh = [&] {
    if (g) (void)graph::close_graph(*g);
    auto opened = graph::open_in_memory(graph::Profile::Default);
    ASSERT_TRUE(opened);
    g.emplace(std::move(*opened));
    ASSERT_TRUE(execute_statement(*g, kSeeds[0]));
    ASSERT_TRUE(execute_statement(*g, kSeeds[1]));
  };
  fresh();
  const uint64_t n = iterations();
  for (uint64_t i = 0; i < n; ++i) {
    std::string text = rng() % 8 == 0 ? kSeeds[rng() % kSeeds.size()] : mutate(kSeeds[rng() % kSeeds.size()], rng);
    if (!may_write_outside(text)) {
      auto r = execute_statement(*g, text);
      if (r) (void)r->summary();
    }
    if (i % 200 == 199) {
      auto count = g->node_count();
      ASSERT_TRUE(count) << text;
      if (*count > 300 || *count == 0) fresh();
    }
  }
  (void)graph::close_graph(*g);
}

}  // namespace
}  // namespace zudizid::query::zql::executor
