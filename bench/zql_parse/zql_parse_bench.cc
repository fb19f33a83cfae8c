// Parse throughput of ZQL statements (grammar only, and grammar + syntax tree)
// on a mixed corpus, against SQLite compiling analogous SQL statements
// (sqlite3_prepare_v2 + finalize: parse and plan) in the same run.
//
// Usage: zql_parse_bench [seconds-per-measurement]   (default 1.0)
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "query/zql/parser/build_statement.h"
#include "query/zql/parser/grammar.h"

namespace {

using namespace zudizid::query::zql;

const std::vector<std::string> kZql = {
    "FIND * FROM (n)",
    "FIND n.name, n.age FROM (n:Person) WHERE n.age >= 18 AND n.age < 65 ORDER BY n.age DESC LIMIT 10",
    "FIND DISTINCT n.city AS city, count(*) AS c FROM (n:Person) GROUP BY n.city HAVING count(*) > 1",
    "FIND a.name, b.name FROM (a:Person)-[r:KNOWS]->(b:Person) WHERE r.since > 2010",
    "FIND p FROM (a:Person {name: 'Ann'})-[:KNOWS]->{1,3}(b) INIT 'total = 0' GATHER 'total = total + 1' "
    "RETURN 'total'",
    "FIND n.name FROM (n:Doc) WHERE n.title = 'graph databases' OR n.score > 0.75 LIMIT 100 OFFSET 20",
    "UPDATE (n:Person) SET n.age = 31, n.city = 'Oslo' WHERE n.name = 'Ann'",
    "DELETE (n:Temp) WHERE n.age > 3 LIMIT 10",
    "ADD (a:Person {name: 'Ann', age: 30})-[:KNOWS {since: 2020}]->(b:Person {name: 'Bob'})",
    "CREATE INDEX ON Person(name) TYPE btree",
    "FIND n.name, pagerank(n) FROM (n:Page) WHERE n.lang = \"en\" ORDER BY pagerank(n) DESC LIMIT 5 "
    "EXPORT CSV WITH separator = ';', header = true",
    "EXPLAIN FIND * FROM (n:Person) WHERE n.age > 30",
};

const std::vector<std::string> kSql = {
    "SELECT * FROM n",
    "SELECT name, age FROM person WHERE age >= 18 AND age < 65 ORDER BY age DESC LIMIT 10",
    "SELECT DISTINCT city AS city, count(*) AS c FROM person GROUP BY city HAVING count(*) > 1",
    "SELECT a.name, b.name FROM person a JOIN knows r ON r.src = a.id JOIN person b ON b.id = r.dst "
    "WHERE r.since > 2010",
    "WITH RECURSIVE p(id, d) AS (SELECT id, 0 FROM person WHERE name = 'Ann' UNION ALL SELECT r.dst, d + 1 "
    "FROM p JOIN knows r ON r.src = p.id WHERE d < 3) SELECT count(*) FROM p",
    "SELECT name FROM doc WHERE title = 'graph databases' OR score > 0.75 LIMIT 100 OFFSET 20",
    "UPDATE person SET age = 31, city = 'Oslo' WHERE name = 'Ann'",
    "DELETE FROM temp WHERE age > 3",
    "INSERT INTO person(name, age) VALUES ('Ann', 30), ('Bob', NULL)",
    "CREATE INDEX IF NOT EXISTS person_name ON person(name)",
    "SELECT name, rank FROM page WHERE lang = 'en' ORDER BY rank DESC LIMIT 5",
    "EXPLAIN QUERY PLAN SELECT * FROM person WHERE age > 30",
};

template <class F>
double statements_per_second(double seconds, std::size_t corpus, F&& run_once) {
  using clock = std::chrono::steady_clock;
  std::size_t done = 0;
  auto start = clock::now();
  double elapsed = 0;
  do {
    for (std::size_t i = 0; i < corpus; ++i) run_once(i);
    done += corpus;
    elapsed = std::chrono::duration<double>(clock::now() - start).count();
  } while (elapsed < seconds);
  return static_cast<double>(done) / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
  for (const auto& s : kZql) {
    if (!parser::parse_statement(s)) {
      std::fprintf(stderr, "corpus statement does not build: %s\n", s.c_str());
      return 1;
    }
  }

  sqlite3* db = nullptr;
  sqlite3_open(":memory:", &db);
  sqlite3_exec(db,
               "CREATE TABLE n(x); CREATE TABLE person(id, name, age, city); CREATE TABLE knows(src, dst, "
               "since); CREATE TABLE doc(name, title, score); CREATE TABLE temp(age); "
               "CREATE TABLE page(name, rank, lang);",
               nullptr, nullptr, nullptr);
  for (const auto& s : kSql) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, s.c_str(), -1, &st, nullptr) != SQLITE_OK) {
      std::fprintf(stderr, "corpus SQL does not compile: %s: %s\n", s.c_str(), sqlite3_errmsg(db));
      return 1;
    }
    sqlite3_finalize(st);
  }

  std::size_t sink = 0;
  double zql_parse = statements_per_second(seconds, kZql.size(), [&](std::size_t i) {
    auto r = grammar::parse(grammar::GrammarRule::statement, kZql[i]);
    sink += r.has_value();
  });
  double zql_build = statements_per_second(seconds, kZql.size(), [&](std::size_t i) {
    auto r = parser::parse_statement(kZql[i]);
    sink += r.has_value();
  });
  double sql = statements_per_second(seconds, kSql.size(), [&](std::size_t i) {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, kSql[i].c_str(), -1, &st, nullptr);
    sink += st != nullptr;
    sqlite3_finalize(st);
  });
  sqlite3_close(db);

  std::printf("corpus: %zu ZQL statements, %zu SQL statements (sink %zu)\n", kZql.size(), kSql.size(), sink % 2);
  std::printf("zql parse (grammar only)      : %12.0f statements/s\n", zql_parse);
  std::printf("zql parse + syntax tree       : %12.0f statements/s\n", zql_build);
  std::printf("sqlite3_prepare_v2 (peer)     : %12.0f statements/s\n", sql);
  std::printf("ratio ours/peer (parse + tree): %.2f\n", zql_build / sql);
  return 0;
}
