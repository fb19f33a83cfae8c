// The builders: statement text -> debug rendering of the built Statement or
// of one part of it, or the exact error text.
#include <gtest/gtest.h>

#include <string>

#include "query/zql/parser/ast.h"
#include "query/zql/parser/build_statement.h"
#include "query/zql/parser/vm_parser.h"

namespace zudizid::query::zql::parser {
namespace {

using ast::Expr;

enum class Show {
  Statement,   // the whole statement
  Where,       // the condition of FIND * FROM (n) WHERE <text>
  Set,         // the value of UPDATE (n) SET n.x = <text>
  From,        // the patterns of FIND * FROM <text>
  VmAssign,    // parse_vm_assignment(<text>): "target := expr"
  VmExpr,      // parse_vm_expression(<text>)
};

std::string error_text(const DbError& e) { return e.display(); }

std::string show(Show how, const std::string& text) {
  switch (how) {
    case Show::Statement: {
      auto s = parse_statement(text);
      return s ? ast::debug_string(*s) : error_text(s.error());
    }
    case Show::Where: {
      auto s = parse_statement("FIND * FROM (n) WHERE " + text);
      if (!s) return error_text(s.error());
      return std::get<ast::Query>(s->node).filter->condition.debug_string();
    }
    case Show::Set: {
      auto s = parse_statement("UPDATE (n) SET n.x = " + text);
      if (!s) return error_text(s.error());
      return std::get<ast::UpdateStmt>(s->node).assignments.at(0).value.debug_string();
    }
    case Show::From: {
      auto s = parse_statement("FIND * FROM " + text);
      if (!s) return error_text(s.error());
      std::string out;
      for (const auto& p : std::get<ast::Query>(s->node).from.patterns) {
        if (!out.empty()) out += " ; ";
        out += ast::debug_string(p);
      }
      return out;
    }
    case Show::VmAssign: {
      auto r = parse_vm_assignment(text);
      return r ? r->first + " := " + r->second.debug_string() : error_text(r.error());
    }
    case Show::VmExpr: {
      auto r = parse_vm_expression(text);
      return r ? r->debug_string() : error_text(r.error());
    }
  }
  return "";
}

#define P(v, p) "Property { variable: \"" v "\", property: \"" p "\" }"
#define INT(x) "Literal(Int(" #x "))"
#define BIN(l, op, r) "BinaryOp { left: " l ", op: " #op ", right: " r " }"
#define UN(op, e) "UnaryOp { op: " #op ", expr: " e " }"
#define NODE(var) "Node(NodePattern { variable: " var ", label: None, properties: {} })"
#define Q_TAIL                                                                                     \
  "filter: None, init: [], gather: [], return_expr: None, group_by: None, having: None, order_by: " \
  "None, limit: None, time_travel: None"
#define FROM_N "from: FromClause { patterns: [Pattern { elements: [" NODE("Some(\"n\")") "] }] }"

struct Case {
  Show how;
  const char* text;
  const char* want;
};

const Case kCases[] = {
    // ---- queries ---------------------------------------------------------------
    {Show::Statement, "FIND * FROM (n)",
     "Query(Query { export: None, find: FindClause { projections: [Wildcard], distinct: false }, " FROM_N
     ", " Q_TAIL " })"},
    {Show::Statement, "FIND DISTINCT n.name AS who, n.age FROM (n)",
     "Query(Query { export: None, find: FindClause { projections: [Expression { expr: " P("n", "name")
     ", alias: Some(\"who\") }, Expression { expr: " P("n", "age") ", alias: None }], distinct: true }, " FROM_N
     ", " Q_TAIL " })"},
    // v.* is the All projection; it takes no alias, and a path before * does not parse.
    {Show::Statement, "FIND n.*, n . * , m.a FROM (n)",
     "Query(Query { export: None, find: FindClause { projections: [All(\"n\"), All(\"n\"), Expression { expr: "
     P("m", "a") ", alias: None }], distinct: false }, " FROM_N ", " Q_TAIL " })"},
    {Show::Statement,
     "FIND * FROM (n) WHERE n.a > 1 INIT 'a = 0' INIT \"b = 'x'\" GATHER 'a = a + 1' RETURN 'a\\'b' "
     "GROUP BY n.city, n.age HAVING count(*) > 1 ORDER BY n.age desc, n.name LIMIT 10 OFFSET 5 "
     "AT TIMESTAMP 18446744073709551615 EXPORT PARQUET 'out.parquet'",
     "Query(Query { export: Some(ExportClause { format: Parquet(\"out.parquet\"), options: {} }), find: "
     "FindClause { projections: [Wildcard], distinct: false }, " FROM_N ", filter: Some(WhereClause { "
     "condition: " BIN(P("n", "a"), Gt, INT(1)) " }), init: [\"a = 0\", \"b = 'x'\"], gather: [\"a = a + "
     "1\"], return_expr: Some(\"a\\\\'b\"), group_by: Some(GroupByClause { expressions: [" P("n", "city") ", " P(
         "n", "age") "] }), having: Some(HavingClause { condition: " BIN("FunctionCall { name: \"count\", args: "
                                                                         "[Wildcard] }",
                                                                         Gt, INT(1)) " }), order_by: "
     "Some(OrderByClause { items: [OrderByItem { expression: " P("n", "age") ", order: Desc }, OrderByItem { "
     "expression: " P("n", "name") ", order: Asc }] }), limit: Some(LimitClause { limit: 10, offset: Some(5) "
     "}), time_travel: Some(TimeTravelClause { timestamp: 18446744073709551615 }) })"},
    {Show::Statement, "FIND * FROM (n) EXPORT CSV WITH separator = ';'",
     "Query(Query { export: Some(ExportClause { format: Csv, options: {\"separator\": String(\";\")} }), "
     "find: FindClause { projections: [Wildcard], distinct: false }, " FROM_N ", " Q_TAIL " })"},
    {Show::Statement, "FIND * FROM (n) EXPORT JSON WITH pretty = true, pretty = false",
     "Query(Query { export: Some(ExportClause { format: Json, options: {\"pretty\": Bool(false)} }), "
     "find: FindClause { projections: [Wildcard], distinct: false }, " FROM_N ", " Q_TAIL " })"},
    {Show::Statement, "FIND * FROM (n) LIMIT 18446744073709551615",
     "Query(Query { export: None, find: FindClause { projections: [Wildcard], distinct: false }, " FROM_N
     ", filter: None, init: [], gather: [], return_expr: None, group_by: None, having: None, order_by: None, "
     "limit: Some(LimitClause { limit: 18446744073709551615, offset: None }), time_travel: None })"},
    {Show::Statement, "FIND * FROM (n) LIMIT 18446744073709551616",
     "Query parse error: Invalid number in LIMIT"},
    {Show::Statement, "FIND * FROM (n) LIMIT -1", "Query parse error: Invalid number in LIMIT"},
    {Show::Statement, "FIND * FROM (n) LIMIT 2.5", "Query parse error: Invalid number in LIMIT"},
    {Show::Statement, "FIND * FROM (n) AT TIMESTAMP 18446744073709551616", "Query parse error: Invalid timestamp"},
    {Show::Statement, "FIND * FROM (n) AT TIMESTAMP 1.5", "Query parse error: Invalid timestamp"},
    // The earliest failing clause is reported.
    {Show::Statement, "FIND a.b.c FROM (n) LIMIT -1", "Query parse error: Invalid property access"},
    {Show::Statement, "FIND * FROM (n) AT TIMESTAMP -1 EXPORT CSV WITH x = 99999999999999999999",
     "Query parse error: Invalid timestamp"},
    {Show::Statement, "FIND * FROM (n) EXPORT CSV WITH x = 99999999999999999999",
     "Query parse error: Invalid integer"},
    // ---- write statements --------------------------------------------------------
    {Show::Statement, "UPDATE (n:Person) SET n.age = 31, n . city = 'Oslo' WHERE n.name = 'Ann' LIMIT 3",
     "Update(UpdateStmt { pattern: Pattern { elements: [Node(NodePattern { variable: Some(\"n\"), label: "
     "Some(\"Person\"), properties: {} })] }, assignments: [Assignment { variable: \"n\", property: \"age\", "
     "value: " INT(31) " }, Assignment { variable: \"n\", property: \"city\", value: Literal(String(\"Oslo\")) "
     "}], filter: Some(WhereClause { condition: " BIN(P("n", "name"), Eq, "Literal(String(\"Ann\"))") " }), "
     "limit: Some(LimitClause { limit: 3, offset: None }) })"},
    {Show::Statement, "DELETE (n:Temp) LIMIT 0 OFFSET 5",
     "Delete(DeleteStmt { pattern: Pattern { elements: [Node(NodePattern { variable: Some(\"n\"), label: "
     "Some(\"Temp\"), properties: {} })] }, filter: None, limit: Some(LimitClause { limit: 0, offset: Some(5) "
     "}) })"},
    {Show::Statement, "DELETE (n) WHERE n.a = 99999999999999999999 LIMIT -1", "Query parse error: Invalid integer"},
    {Show::Statement, "ADD (a {k: 'v'})-[:R]->(b)",
     "Add(AddStmt { pattern: Pattern { elements: [Node(NodePattern { variable: Some(\"a\"), label: None, "
     "properties: {\"k\": String(\"v\")} }), Relationship(RelationshipPattern { variable: None, rel_type: "
     "Some(\"R\"), direction: Outgoing, quantifier: None, properties: {} }), " NODE("Some(\"b\")") "] } })"},
    // ---- statement kinds built at statement level ---------------------------------
    {Show::Statement, "CREATE INDEX ON Person(name)",
     "CreateIndex(CreateIndexStmt { index_type: Hash, label: \"Person\", property: \"name\" })"},
    {Show::Statement, "CREATE INDEX ON Person(name) TYPE FullText",
     "CreateIndex(CreateIndexStmt { index_type: FullText, label: \"Person\", property: \"name\" })"},
    {Show::Statement, "DROP INDEX Person_name", "DropIndex(DropIndexStmt { index_name: \"Person_name\" })"},
    {Show::Statement, "COMMIT s1", "Commit(CommitStmt { sketch_name: \"s1\" })"},
    {Show::Statement, "SKETCH s = ADD (n)",
     "Sketch(SketchStmt { name: \"s\", operation: Add(AddStmt { pattern: Pattern { elements: [" NODE(
         "Some(\"n\")") "] } }), description: None })"},
    {Show::Statement, "EXPLAIN FIND * FROM (n)",
     "Explain(Query(Query { export: None, find: FindClause { projections: [Wildcard], distinct: false }, " FROM_N
     ", " Q_TAIL " }))"},
    {Show::Statement, "PROFILE FIND * FROM (n)",
     "Profile(Query(Query { export: None, find: FindClause { projections: [Wildcard], distinct: false }, " FROM_N
     ", " Q_TAIL " }))"},
    {Show::Statement, "DROP INDEX",
     "Query parse error: Parse error:  --> 1:11\n  |\n1 | DROP INDEX\n  |           ^---\n  |\n  = expected "
     "identifier"},
    // ---- expressions ----------------------------------------------------------------
    {Show::Where, "a OR b OR c", BIN(BIN(P("a", ""), Or, P("b", "")), Or, P("c", ""))},
    {Show::Where, "a OR b AND c", BIN(P("a", ""), Or, BIN(P("b", ""), And, P("c", "")))},
    {Show::Where, "n.active", P("n", "active")},
    {Show::Where, "n.name != \"Ann\"", BIN(P("n", "name"), NotEq, "Literal(String(\"Ann\"))")},
    {Show::Where, "x = 9223372036854775807", BIN(P("x", ""), Eq, INT(9223372036854775807))},
    {Show::Where, "x = 9223372036854775808", "Query parse error: Invalid integer"},
    {Show::Where, "x = 1.0", BIN(P("x", ""), Eq, "Literal(Float(1.0))")},
    {Show::Where, "x = 007 AND y = 4.50", BIN(BIN(P("x", ""), Eq, INT(7)), And, BIN(P("y", ""), Eq, "Literal(Float(4.5))"))},
    {Show::Where, "x = 'it\\'s' AND y = ''",
     BIN(BIN(P("x", ""), Eq, "Literal(String(\"it\\\\'s\"))"), And, BIN(P("y", ""), Eq, "Literal(String(\"\"))"))},
    {Show::Where, "x = True OR y = FALSE OR z = null",
     BIN(BIN(BIN(P("x", ""), Eq, "Literal(Bool(true))"), Or, BIN(P("y", ""), Eq, "Literal(Bool(false))")), Or,
         BIN(P("z", ""), Eq, "Literal(Null)"))},
    {Show::Where, "f(a, 'b', g(1), count( * ), h())",
     "FunctionCall { name: \"f\", args: [" P("a", "") ", Literal(String(\"b\")), FunctionCall { name: \"g\", args: "
     "[" INT(1) "] }, FunctionCall { name: \"count\", args: [Wildcard] }, FunctionCall { name: \"h\", args: [] }] }"},
    {Show::Where, "sum(a.b.c)", "Query parse error: Invalid property access"},
    // Operands are built whole: signs, "!", arithmetic and parentheses.
    {Show::Where, "n.age < -1", BIN(P("n", "age"), Lt, INT(-1))},
    {Show::Where, "n.age < -9223372036854775808", BIN(P("n", "age"), Lt, INT(-9223372036854775808))},
    {Show::Where, "x = --5", BIN(P("x", ""), Eq, INT(5))},
    {Show::Where, "x = - 2.5", BIN(P("x", ""), Eq, "Literal(Float(-2.5))")},
    {Show::Where, "x = -n.a", BIN(P("x", ""), Eq, UN(Neg, P("n", "a")))},
    {Show::Where, "!n.flag", UN(Not, P("n", "flag"))},
    {Show::Where, "x = 1 + 2 * 3 - 4 / 5 % 6",
     BIN(P("x", ""), Eq, BIN(BIN(INT(1), Add, BIN(INT(2), Mul, INT(3))), Sub, BIN(BIN(INT(4), Div, INT(5)), Mod, INT(6))))},
    {Show::Where, "x = a /* c */ * b", BIN(P("x", ""), Eq, BIN(P("a", ""), Mul, P("b", "")))},
    {Show::Where, "(n.a = 1) OR n.b = 2", BIN(BIN(P("n", "a"), Eq, INT(1)), Or, BIN(P("n", "b"), Eq, INT(2)))},
    {Show::Where, "f((1))", "FunctionCall { name: \"f\", args: [" INT(1) "] }"},
    {Show::Where, "!(a OR b)", UN(Not, BIN(P("a", ""), Or, P("b", "")))},
    {Show::Set, "-1", INT(-1)},
    {Show::Set, "-(-1)", UN(Neg, INT(-1))},
    {Show::Set, "--9223372036854775808", "Query parse error: Invalid integer"},
    // ---- patterns -----------------------------------------------------------------------
    {Show::From, "(N:person {a: 1, a: -2})",
     "Pattern { elements: [Node(NodePattern { variable: Some(\"N\"), label: Some(\"person\"), properties: "
     "{\"a\": Int(-2)} })] }"},
    {Show::From, "()", "Pattern { elements: [" NODE("None") "] }"},
    {Show::From, "(a)-[r:KNOWS]->(b), (c)",
     "Pattern { elements: [" NODE("Some(\"a\")") ", Relationship(RelationshipPattern { variable: Some(\"r\"), "
     "rel_type: Some(\"KNOWS\"), direction: Outgoing, quantifier: None, properties: {} }), " NODE(
         "Some(\"b\")") "] } ; Pattern { elements: [" NODE("Some(\"c\")") "] }"},
    {Show::From, "(n {x: 99999999999999999999})", "Query parse error: Invalid integer"},
    {Show::From, "(a)-[:T]->{1,}(b)",
     "Pattern { elements: [" NODE("Some(\"a\")") ", Relationship(RelationshipPattern { variable: None, rel_type: "
     "Some(\"T\"), direction: Outgoing, quantifier: Some(Quantifier { min: 1, max: None }), properties: {} }), " NODE(
         "Some(\"b\")") "] }"},
    {Show::From, "(a)-[:T]->{-1}(b)", "Query parse error: Invalid quantifier bound: -1"},
    {Show::From, "(a)-[:T]->{1.5,3}(b)", "Query parse error: Invalid quantifier bound: 1.5"},
    {Show::From, "(a)-[:T]->{2,18446744073709551616}(b)",
     "Query parse error: Invalid quantifier bound: 18446744073709551616"},
    {Show::From, "(a)->[r]<-(b)", "Query parse error: Invalid relationship direction: -><-"},
    // ---- the VM sub-language -------------------------------------------------------------
    {Show::VmAssign, "sum = sum + 1", "sum := " BIN(P("sum", ""), Add, INT(1))},
    {Show::VmAssign, "total = total + edge.weight * 2",
     "total := " BIN(P("total", ""), Add, BIN(P("edge", "weight"), Mul, INT(2)))},
    {Show::VmAssign, "nothing = 0", "nothing := " INT(0)},
    {Show::VmAssign, "x = 1 junk", "x := " INT(1)},
    {Show::VmAssign, "x = f(1)", "x := " P("f", "")},
    {Show::VmAssign, "x = a.b.c", "Query parse error: Invalid property access"},
    {Show::VmAssign, " x = 1",
     "Query parse error: VM assignment parse error:  --> 1:1\n  |\n1 |  x = 1\n  | ^---\n  |\n  = expected "
     "identifier"},
    {Show::VmAssign, "", "Query parse error: VM assignment parse error:  --> 1:1\n  |\n1 | \n  | ^---\n  |\n  = expected identifier"},
    {Show::VmExpr, "", "Query parse error: VM expression parse error:  --> 1:1\n  |\n1 | \n  | ^---\n  |\n  = expected vm_unary_expression"},
    {Show::VmExpr, "a - b + c", BIN(BIN(P("a", ""), Sub, P("b", "")), Add, P("c", ""))},
    {Show::VmExpr, "a / b * c % 3", BIN(BIN(BIN(P("a", ""), Div, P("b", "")), Mul, P("c", "")), Mod, INT(3))},
    {Show::VmExpr, "-x", UN(Neg, P("x", ""))},
    {Show::VmExpr, "-5", UN(Neg, INT(5))},
    {Show::VmExpr, "- - x", UN(Neg, UN(Neg, P("x", "")))},
    {Show::VmExpr, "NOT !done", UN(Not, UN(Not, P("done", "")))},
    {Show::VmExpr, "note > 1", BIN(P("note", ""), Gt, INT(1))},
    {Show::VmExpr, "(a + b) * c", BIN(BIN(P("a", ""), Add, P("b", "")), Mul, P("c", ""))},
    {Show::VmExpr, "a > 1 AND b < 2 OR c",
     BIN(BIN(BIN(P("a", ""), Gt, INT(1)), And, BIN(P("b", ""), Lt, INT(2))), Or, P("c", ""))},
    {Show::VmExpr, "x = 9223372036854775808", "Query parse error: Invalid integer"},
};

TEST(ZqlBuilder, CaseTable) {
  for (const Case& c : kCases) {
    EXPECT_EQ(show(c.how, c.text), c.want) << c.text;
  }
}

TEST(ZqlBuilder, AllProjectionIsOnlyVariableDotStar) {
  for (const char* text : {"FIND n.* AS x FROM (n)", "FIND n.a.* FROM (n)", "FIND n.*.a FROM (n)",
                           "FIND n.* + 1 FROM (n)", "FIND *.n FROM (n)", "UPDATE (n) SET n.* = 1"}) {
    auto s = parse_statement(text);
    ASSERT_FALSE(s) << text;
    EXPECT_EQ(s.error().display().rfind("Query parse error: Parse error: ", 0), 0u) << s.error().display();
  }
}

TEST(ZqlBuilder, DebugRenderingOfHandBuiltValues) {
  EXPECT_EQ(ast::debug_string(ast::OrderByItem{Expr::wildcard(), ast::OrderDirection::Desc}),
            "OrderByItem { expression: Wildcard, order: Desc }");
  EXPECT_EQ(ast::debug_string(ast::Projection{ast::AllProjection{"n"}}), "All(\"n\")");
  EXPECT_EQ(Expr::unary(ast::UnaryOperator::Neg, Expr::literal(PropertyValue::float64(1.5))).debug_string(),
            "UnaryOp { op: Neg, expr: Literal(Float(1.5)) }");
}

TEST(ZqlBuilder, TextEscapesInDebugRendering) {
  std::string out;
  ast::fmt_debug_text(out, std::string("a\"b\\c\nd\te\rf\x01g\x7f", 14));
  EXPECT_EQ(out, "\"a\\\"b\\\\c\\nd\\te\\rf\\u{1}g\\u{7f}\"");
}

// Copies are deep and independent of the source; equality is structural.
TEST(ZqlBuilder, CopyAndEquality) {
  auto s = parse_statement(
      "FIND n.a, count(*) FROM (n {k: 1})-[r:T {w: 2}]->{1,3}(m) WHERE n.a > -1 ORDER BY n.a DESC "
      "EXPORT PARQUET 'p' ");
  ASSERT_TRUE(s.has_value());
  std::string before = ast::debug_string(*s);
  auto copy = std::make_unique<ast::Statement>(*s);
  EXPECT_EQ(ast::debug_string(*copy), before);
  s = parse_statement("ADD (x)");  // drop the source
  EXPECT_EQ(ast::debug_string(*copy), before);

  auto expr = [](const char* text) { return std::get<ast::Query>(parse_statement(std::string("FIND * FROM (n) WHERE ") + text)->node).filter->condition; };
  EXPECT_EQ(expr("a < b"), expr("a<b"));
  EXPECT_NE(expr("a < b"), expr("b > a"));
  EXPECT_EQ(expr("count(*) > 1"), expr("count( * ) > 1"));
  EXPECT_NE(expr("count(*)"), expr("count(n)"));
  EXPECT_NE(expr("x = 1"), expr("x = 1.0"));  // Int 1 and Float 1.0 differ
  EXPECT_NE(expr("f(a)"), expr("f(a, b)"));
  EXPECT_NE(expr("-a"), expr("!a"));
}

// Trees far deeper than the stack allows to recurse: chains group to the
// left, one level per term, without any nesting in the text.
TEST(ZqlBuilder, DeepTreesAreSafe) {
  std::string text = "FIND * FROM (n) WHERE x = 0";
  for (int i = 1; i < 30000; ++i) text += " OR x = " + std::to_string(i);
  auto s = parse_statement(text);
  ASSERT_TRUE(s.has_value());
  const Expr& cond = std::get<ast::Query>(s->node).filter->condition;
  Expr copy = cond;
  EXPECT_EQ(copy, cond);
  std::string dbg = copy.debug_string();
  EXPECT_EQ(dbg.rfind("BinaryOp { left: BinaryOp { left: ", 0), 0u);
  Expr assigned;
  assigned = copy;
  EXPECT_EQ(assigned, cond);

  // Hand-built chains of every child kind.
  Expr deep = Expr::literal(PropertyValue::integer(1));
  for (int i = 0; i < 150000; ++i) {
    switch (i % 3) {
      case 0: deep = Expr::unary(ast::UnaryOperator::Neg, std::move(deep)); break;
      case 1: deep = Expr::binary(Expr::wildcard(), ast::BinaryOperator::Add, std::move(deep)); break;
      default: {
        std::vector<Expr> args;
        args.push_back(std::move(deep));
        deep = Expr::call("f", std::move(args));
      }
    }
  }
  Expr deep_copy = deep;
  EXPECT_TRUE(deep_copy == deep);
  EXPECT_FALSE(deep_copy.debug_string().empty());
}

TEST(ZqlBuilder, NestingBoundIsAParseError) {
  std::string text = "FIND * FROM (n) WHERE " + std::string(5000, '(') + "a" + std::string(5000, ')');
  auto s = parse_statement(text);
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error().text().substr(s.error().text().rfind('\n') + 1), "  = call limit reached");
  std::string prefixes;
  for (int i = 0; i < 50000; ++i) prefixes += "!";
  auto v = parse_vm_expression(prefixes + "a");
  ASSERT_FALSE(v.has_value());
  EXPECT_EQ(v.error().text().substr(v.error().text().rfind('\n') + 1), "  = call limit reached");
}

}  // namespace
}  // namespace zudizid::query::zql::parser
