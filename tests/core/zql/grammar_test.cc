#include "query/zql/parser/grammar.h"
#include <gtest/gtest.h>
using namespace zudizid::query::zql::grammar;
TEST(Grammar, Smoke) {
  auto r = parse(GrammarRule::statement, "FIND * FROM (n)");
  ASSERT_TRUE(r.has_value()) << r.error().display();
  std::cout << r->dump() << "\n";
  auto e = parse(GrammarRule::statement, "DROP INDEX");
  ASSERT_FALSE(e.has_value());
  std::cout << e.error().display() << "\n";
}
