// The ZQL grammar: (start rule, text) -> parse-tree dump, or the position and
// message of the error report.
#include "query/zql/parser/grammar.h"

#include <gtest/gtest.h>

#include <string>

namespace zudizid::query::zql::grammar {
namespace {

using R = GrammarRule;

// "L:C message" for a failure, the tree dump for a success.
std::string outcome(R start, std::string_view text) {
  auto r = parse(start, text);
  if (r) return r->dump();
  return std::to_string(r.error().line) + ":" + std::to_string(r.error().column) + " " +
         r.error().message_text();
}

// Clause rules that may follow a FROM pattern list, as they appear in a report.
#define AFTER_FROM                                                                           \
  "EOI, relationship, where_clause, init_clause, gather_clause, return_clause, group_clause, " \
  "having_clause, order_clause, limit_clause, time_clause, or export_clause"
#define AFTER_WHERE_OPERAND                                                                \
  "EOI, init_clause, gather_clause, return_clause, group_clause, having_clause, "            \
  "order_clause, limit_clause, time_clause, export_clause, or_kw, and_kw, comparison_op, " \
  "add_op, or sub_op"
#define STATEMENT_KINDS                                                                       \
  "expected profile_stmt, explain_stmt, create_index_stmt, drop_index_stmt, sketch_stmt, " \
  "commit_stmt, delete_stmt, update_stmt, add_stmt, or find_clause"
#define FIND_STAR "statement[query[query_body[find_clause[projection_list:\"*\"] "
#define ID(x) "identifier:\"" x "\""
// primary_expression ... up to expression around one leaf primary.
#define OPERAND(p)                                                                          \
  "additive_expression[multiplicative_expression[unary_expression[primary_expression[" p \
  "]]]]"
#define VM_OPERAND(p)                                                                          \
  "vm_additive_expression[vm_multiplicative_expression[vm_unary_expression[vm_primary_" \
  "expression[" p "]]]]"
#define PROP(x) "property_access[" ID(x) "]"
#define NUM(x) "value[number:\"" x "\"]"

struct Case {
  R start;
  const char* text;
  const char* want;
};

const Case kCases[] = {
    // --- statement level, anchoring, whitespace and comments -----------------
    {R::statement, "", "1:1 expected statement"},
    {R::statement, "hello", "1:1 expected statement"},
    {R::statement, "   // c\n  ", "2:3 " STATEMENT_KINDS},
    {R::statement, "  hello", "1:3 " STATEMENT_KINDS},
    {R::statement, "DROP INDEX", "1:11 expected identifier"},
    {R::statement, "FIND * FROM (n);", "1:16 expected " AFTER_FROM},
    {R::statement, "FIND * FROM (n) FIND * FROM (m)", "1:17 expected " AFTER_FROM},
    {R::statement, "  /* x */ FIND * FROM (n) // y",
     FIND_STAR "from_clause[pattern_list[pattern[node[" ID("n") "]]]]]] EOI:\"\"]"},
    {R::statement, "FIND * FROM (n) /* open", "1:17 expected " AFTER_FROM},
    {R::statement, "FIND * FROM (n) /* a /* b */ */", "1:30 expected " AFTER_FROM},
    {R::statement, "FIND * FROM (n)\f", "1:16 expected " AFTER_FROM},
    {R::statement, "FIND 'é' FROM (n) x", "1:19 expected " AFTER_FROM},
    {R::statement, "fInD * fRoM (n)",
     FIND_STAR "from_clause[pattern_list[pattern[node[" ID("n") "]]]]]] EOI:\"\"]"},
    // --- statement kinds ------------------------------------------------------
    {R::statement, "UPDATE (n) SET WHERE n.a = 1", "1:16 expected assignment"},
    {R::statement, "UPDATE (n) SET n.a = 1,", "1:24 expected identifier"},
    {R::statement, "UPDATE (n) SET n . a = 1",
     "statement[update_stmt[pattern[node[" ID("n") "]] assignment_list[assignment[" ID("n") " " ID(
         "a") " expression[or_expression[and_expression[comparison_expression[" OPERAND(NUM("1")) "]]]]]]] EOI:\"\"]"},
    {R::statement, "CREATEINDEX ON a(b)", "statement[create_index_stmt[" ID("a") " " ID("b") "] EOI:\"\"]"},
    {R::statement, "CREATE INDEX ON a(b) TYPE foo", "1:27 expected index_type_keyword"},
    {R::statement, "create index on a(b) type BTREE",
     "statement[create_index_stmt[" ID("a") " " ID("b") " index_type_spec[index_type_keyword:\"BTREE\"]] EOI:\"\"]"},
    {R::statement, "SKETCH s = FIND * FROM (n)",
     "statement[sketch_stmt[" ID("s") " query[query_body[find_clause[projection_list:\"*\"] from_clause[pattern_list[pattern[node[" ID(
         "n") "]]]]]]] EOI:\"\"]"},
    {R::statement, "SKETCH s = EXPLAIN FIND * FROM (n)",
     "1:12 expected delete_stmt, update_stmt, add_stmt, or find_clause"},
    {R::statement, "SKETCH s = SKETCH t = ADD (n)",
     "1:12 expected delete_stmt, update_stmt, add_stmt, or find_clause"},
    {R::statement, "COMMITx", "statement[commit_stmt[" ID("x") "] EOI:\"\"]"},
    {R::statement, "EXPLAIN ADD (n)", "1:9 expected find_clause"},
    {R::statement, "DELETE (n), (m)", "1:11 expected EOI, relationship, where_clause, or limit_clause"},
    // --- query clauses --------------------------------------------------------
    {R::statement, "FIND *, n.name FROM (n)", "1:7 expected from_clause"},
    {R::statement, "FIND n.name label FROM (n)",
     "1:13 expected from_clause, or_kw, and_kw, comparison_op, add_op, or sub_op"},
    // n (n) is a call; FROM is then missing at the end.
    {R::statement, "FIND n (n)", "1:11 expected from_clause, or_kw, and_kw, comparison_op, add_op, or sub_op"},
    {R::statement, "FIND n FROM (n) LIMIT 5 WHERE n.age > 3",
     "1:25 expected EOI, time_clause, or export_clause"},
    {R::statement, "FIND n FROM (n) OFFSET 20", "1:17 expected " AFTER_FROM},
    {R::statement, "FIND n FROM (n) ORDER n", "1:17 expected " AFTER_FROM},
    {R::statement, "FIND n FROM (n) RETURN 'a' RETURN 'b'",
     "1:28 expected EOI, group_clause, having_clause, order_clause, limit_clause, time_clause, or "
     "export_clause"},
    {R::statement, "FIND n FROM (n) INIT a", "1:22 expected string"},
    {R::statement, "FIND n FROM (n) EXPORT PARQUET", "1:31 expected string"},
    {R::statement, "FIND n FROM (n) EXPORT CSV 'x'",
     "1:28 expected EOI or export_options"},
    {R::statement, "FIND n FROM (n) EXPORT JSON WITH", "1:33 expected identifier"},
    {R::query, "FIND distinctive FROM (n)",
     "query[query_body[find_clause[distinct_kw:\"distinct\" projection_list[projection[expression[or_"
     "expression[and_expression[comparison_expression[" OPERAND(PROP("ive")) "]]]]]]] from_clause[pattern_list[pattern[node[" ID(
         "n") "]]]]]]"},
    {R::query_body, "FIND n AS a FROM (n) ORDERBY x DESC, y LIMIT 10 OFFSET 20 AT TIMESTAMP 42",
     "query_body[find_clause[projection_list[projection[expression[or_expression[and_expression["
     "comparison_expression[" OPERAND(PROP("n")) "]]]] " ID("a") "]]] from_clause[pattern_list[pattern[node[" ID(
         "n") "]]]] order_clause[order_item[expression[or_expression[and_expression[comparison_"
     "expression[" OPERAND(PROP("x")) "]]]] order_direction:\"DESC\"] order_item[expression[or_expression[and_"
     "expression[comparison_expression[" OPERAND(PROP("y")) "]]]]]] limit_clause[number:\"10\" number:\"20\"] time_"
     "clause[number:\"42\"]]"},
    {R::export_clause, "EXPORT JSON WITH pretty = true, path = 'out.json'",
     "export_clause[export_format[export_json:\"JSON\"] export_options[export_option[" ID(
         "pretty") " value[boolean:\"true\"]] export_option[" ID("path") " value[string:\"'out.json'\"]]]]"},
    {R::export_clause, "EXPORT PARQUET 'a.parquet'",
     "export_clause[export_format[export_parquet[string:\"'a.parquet'\"]]]"},
    // --- patterns -------------------------------------------------------------
    {R::pattern, "( n : Person { name : 'Ann', age: 30 } )",
     "pattern[node[" ID("n") " label_spec[" ID("Person") "] property_map[property[" ID(
         "name") " value[string:\"'Ann'\"]] property[" ID("age") " " NUM("30") "]]]]"},
    {R::pattern, "()", "pattern[node:\"()\"]"},
    {R::statement, "FIND * FROM (n:Person:Admin)", "1:22 expected property_map"},
    {R::statement, "FIND * FROM (n {a: 1,})", "1:22 expected identifier"},
    {R::statement, "FIND * FROM (n {a: 1 + 1})", "1:20 expected string"},
    {R::statement, "FIND * FROM (n {'a': 1})", "1:17 expected identifier"},
    {R::pattern, "(a)<->(b)", "pattern[node[" ID("a") "] relationship[arrow_pattern:\"<->\"] node[" ID("b") "]]"},
    {R::pattern, "(a)--(b)", "pattern[node[" ID("a") "] relationship[arrow_pattern:\"--\"] node[" ID("b") "]]"},
    {R::statement, "FIND * FROM (a)-->(b)", "1:18 expected node"},
    {R::statement, "FIND * FROM (a)-(b)", "1:16 expected " AFTER_FROM},
    {R::pattern, "(a) - [r] -> (b)",
     "pattern[node[" ID("a") "] relationship[arrow_with_spec[arrow_left:\"-\" relationship_spec[" ID(
         "r") "] arrow_right:\"->\"]] node[" ID("b") "]]"},
    {R::pattern, "(a)<-[:KNOWS {since: 2020}]-(b)",
     "pattern[node[" ID("a") "] relationship[arrow_with_spec[arrow_left:\"<-\" relationship_spec[" ID(
         "KNOWS") " property_map[property[" ID("since") " " NUM("2020") "]]] arrow_right:\"-\"]] node[" ID("b") "]]"},
    {R::statement, "FIND * FROM (a)-[{since: 2020}]->(b)", "1:18 expected identifier"},
    {R::statement, "FIND * FROM (a)- >(b)", "1:16 expected " AFTER_FROM},
    {R::relationship, "-[r:T]->{1,}",
     "relationship[arrow_with_spec[arrow_left:\"-\" relationship_spec[" ID("r") " " ID(
         "T") "] arrow_right:\"->\" quantifier[number:\"1\"]]]"},
    {R::statement, "FIND * FROM (a)-[:KNOWS]->{,3}(b)", "1:28 expected number"},
    {R::statement, "FIND * FROM (a)->{1,3}(b)", "1:18 expected node"},
    // --- expressions ----------------------------------------------------------
    {R::expression, "a OR b AND c",
     "expression[or_expression[and_expression[comparison_expression[" OPERAND(PROP("a")) "]] or_kw:\"OR\" "
     "and_expression[comparison_expression[" OPERAND(PROP("b")) "] and_kw:\"AND\" comparison_expression[" OPERAND(
         PROP("c")) "]]]]"},
    {R::comparison_expression, "n.age >= 18",
     "comparison_expression[additive_expression[multiplicative_expression[unary_expression[primary_"
     "expression[property_access[" ID("n") " " ID("age") "]]]]] comparison_op:\">=\" " OPERAND(NUM("18")) "]"},
    {R::statement, "FIND * FROM (n) WHERE a = 1 = 2",
     "1:29 expected EOI, init_clause, gather_clause, return_clause, group_clause, having_clause, "
     "order_clause, limit_clause, time_clause, export_clause, or_kw, and_kw, add_op, or sub_op"},
    {R::statement, "FIND * FROM (n) WHERE a == b", "1:26 expected unary_expression"},
    {R::statement, "FIND * FROM (n) WHERE a AND_b", "1:25 expected " AFTER_WHERE_OPERAND},
    {R::statement, "FIND * FROM (n) WHERE 1and2", "1:24 expected " AFTER_WHERE_OPERAND},
    {R::and_expression, "1and 2",
     "and_expression[comparison_expression[" OPERAND(NUM("1")) "] and_kw:\"and\" comparison_expression[" OPERAND(NUM("2")) "]]"},
    {R::additive_expression, "2 * 3 + 4",
     "additive_expression[multiplicative_expression[unary_expression[primary_expression[" NUM(
         "2") "]] unary_expression[primary_expression[" NUM("3") "]]] add_op:\"+\" multiplicative_"
     "expression[unary_expression[primary_expression[" NUM("4") "]]]]"},
    {R::unary_expression, "--5", "unary_expression[neg_op:\"-\" primary_expression[" NUM("-5") "]]"},
    {R::statement, "FIND * FROM (n) WHERE ---5", "1:24 expected primary_expression"},
    {R::statement, "FIND * FROM (n) WHERE !!a", "1:24 expected primary_expression"},
    {R::unary_expression, "!(a)",
     "unary_expression[primary_expression[expression[or_expression[and_expression[comparison_"
     "expression[" OPERAND(PROP("a")) "]]]]]]"},
    {R::statement, "FIND * FROM (n) WHERE NOT a", "1:27 expected " AFTER_WHERE_OPERAND},
    {R::primary_expression, "count( * )",
     "primary_expression[function_call[" ID("count") " function_arg:\"*\"]]"},
    {R::primary_expression, "f ()", "primary_expression[function_call[" ID("f") "]]"},
    {R::statement, "FIND * FROM (n) WHERE f(a,)", "1:27 expected unary_expression"},
    {R::statement, "FIND * FROM (n) WHERE f(*x)", "1:24 expected " AFTER_WHERE_OPERAND},
    {R::primary_expression, "a . b.c",
     "primary_expression[property_access[" ID("a") " " ID("b") " " ID("c") "]]"},
    {R::statement, "FIND * FROM (n) WHERE nullable > 1", "1:27 expected " AFTER_WHERE_OPERAND},
    // --- lexical layer ----------------------------------------------------------
    {R::value, "1.5", "value[number:\"1.5\"]"},
    {R::value, "1.", "value[number:\"1\"]"},
    {R::value, "1e5", "value[number:\"1\"]"},
    {R::value, ".5", "1:1 expected value"},
    {R::value, "+1", "1:1 expected value"},
    {R::value, "- 5", "1:1 expected value"},
    {R::value, "'a\"b//c/*\n'", "value[string:\"'a\"b//c/*\n'\"]"},
    {R::value, R"("it\"s\\\n")", R"(value[string:""it\"s\\\n""])"},
    {R::value, R"('bad\q')", "1:1 expected value"},
    {R::value, "\"\"", "value[string:\"\"\"\"]"},
    {R::value, "TrueCount", "value[boolean:\"True\"]"},
    {R::identifier, "x_1", "identifier:\"x_1\""},
    {R::identifier, "_x", "1:1 expected identifier"},
    {R::identifier, "abcé", "identifier:\"abc\""},
    // --- the VM sub-language -----------------------------------------------------
    {R::vm_assignment, "x = a = b",
     "vm_assignment[" ID("x") " vm_expression[vm_or_expression[vm_and_expression[vm_comparison_expression[" VM_OPERAND(
         PROP("a")) " comparison_op:\"=\" " VM_OPERAND(PROP("b")) "]]]]]"},
    {R::vm_assignment, "x.y = 1", "1:1 expected vm_assignment"},
    {R::vm_assignment, "x += 1", "1:1 expected vm_assignment"},
    {R::vm_assignment, "x == 1", "1:4 expected vm_unary_expression"},
    {R::vm_assignment, "= 1", "1:1 expected identifier"},
    {R::vm_assignment, " x = 1", "1:1 expected identifier"},
    {R::vm_unary_expression, "not NOT-a",
     "vm_unary_expression[vm_not_kw:\"not\" vm_unary_expression[vm_not_kw:\"NOT\" "
     "vm_unary_expression[neg_op:\"-\" vm_unary_expression[vm_primary_expression[" PROP("a") "]]]]]"},
    {R::vm_unary_expression, "notable", "vm_unary_expression[vm_primary_expression[" PROP("notable") "]]"},
    {R::vm_unary_expression, "!-a",
     "vm_unary_expression[vm_unary_expression[neg_op:\"-\" vm_unary_expression[vm_primary_"
     "expression[" PROP("a") "]]]]"},
    {R::vm_multiplicative_expression, "a / b % c",
     "vm_multiplicative_expression[vm_unary_expression[vm_primary_expression[" PROP(
         "a") "]] div_op:\"/\" vm_unary_expression[vm_primary_expression[" PROP("b") "]] mod_op:\"%\" "
     "vm_unary_expression[vm_primary_expression[" PROP("c") "]]]"},
    {R::vm_primary_expression, "count(x)", "vm_primary_expression[" PROP("count") "]"},
    {R::vm_comparison_expression, "a < b < c",
     "vm_comparison_expression[" VM_OPERAND(PROP("a")) " comparison_op:\"<\" " VM_OPERAND(PROP("b")) "]"},
    {R::vm_primary_expression, "null_count", "vm_primary_expression[value[null:\"null\"]]"},
    {R::vm_expression, "", "1:1 expected vm_unary_expression"},
    {R::vm_expression, "  ", "1:1 expected vm_unary_expression"},
};

TEST(ZqlGrammar, CaseTable) {
  for (const Case& c : kCases) {
    EXPECT_EQ(outcome(c.start, c.text), c.want) << rule_name(c.start) << " on: " << c.text;
  }
}

// Whole reports: the six lines, character columns, line-break display.
TEST(ZqlGrammar, ErrorReportText) {
  struct Report {
    R start;
    const char* text;
    const char* want;
  };
  const Report reports[] = {
      {R::statement, "", " --> 1:1\n  |\n1 | \n  | ^---\n  |\n  = expected statement"},
      {R::statement, "DROP INDEX",
       " --> 1:11\n  |\n1 | DROP INDEX\n  |           ^---\n  |\n  = expected identifier"},
      // Two-byte character: column 19 although the byte offset is 19 + 1.
      {R::statement, "FIND 'é' FROM (n) x",
       " --> 1:19\n  |\n1 | FIND 'é' FROM (n) x\n  |                   ^---\n  |\n  = expected " AFTER_FROM},
      // Tabs in front of the column are kept in the underline.
      {R::statement, "FIND\tn\tFROM (n) x",
       " --> 1:17\n  |\n1 | FIND\tn\tFROM (n) x\n  |     \t \t         ^---\n  |\n  = expected " AFTER_FROM},
      // Error on a line break: CR and LF become visible.
      {R::vm_expression, "\r\nx", " --> 1:1\n  |\n1 | \u240D\u240A\n  | ^---\n  |\n  = expected vm_unary_expression"},
      // Not on a line break: the line's CR/LF are removed; CRLF is one break.
      {R::statement, "FIND n FROM (n) WHERE\r\n n.a == 1",
       " --> 2:7\n  |\n2 |  n.a == 1\n  |       ^---\n  |\n  = expected unary_expression"},
      // A lone CR is an ordinary character of the line.
      {R::statement, "FIND n\rFROM (n) x",
       " --> 1:17\n  |\n1 | FIND nFROM (n) x\n  |                 ^---\n  |\n  = expected " AFTER_FROM},
      {R::statement, "\n\n\n\n\n\n\n\n\nFIND n FROM (n) x",
       "  --> 10:17\n   |\n10 | FIND n FROM (n) x\n   |                 ^---\n   |\n   = expected " AFTER_FROM},
  };
  for (const Report& r : reports) {
    auto res = parse(r.start, r.text);
    ASSERT_FALSE(res.has_value()) << r.text;
    EXPECT_EQ(res.error().display(), r.want) << r.text;
  }
}

// Spans: no node starts with whitespace; whitespace skipped before an optional
// or repeated part that matched nothing stays inside the span.
TEST(ZqlGrammar, NodeSpans) {
  auto text_of = [](R start, std::string_view text, R rule) -> std::string {
    auto r = parse(start, text);
    if (!r) return "<" + r.error().message_text() + ">";
    // Depth-first search for the first node of `rule`.
    std::vector<ParseNode> stack(r->top_level().begin(), r->top_level().end());
    std::reverse(stack.begin(), stack.end());
    while (!stack.empty()) {
      ParseNode n = stack.back();
      stack.pop_back();
      if (n.rule() == rule) return std::string(n.text());
      std::vector<ParseNode> kids(n.children().begin(), n.children().end());
      stack.insert(stack.end(), kids.rbegin(), kids.rend());
    }
    return "<none>";
  };
  const std::string ws = "  /* c */ \n FIND * FROM (n)  // t";
  EXPECT_EQ(text_of(R::statement, ws, R::statement), ws);
  EXPECT_EQ(text_of(R::statement, "FIND * FROM (n) WHERE a + b ORDER BY a", R::expression), "a + b ");
  EXPECT_EQ(text_of(R::statement, "FIND * FROM (n) WHERE 2 * 3 + 4", R::multiplicative_expression), "2 * 3");
  EXPECT_EQ(text_of(R::statement, "FIND n.a  , n.b FROM (n)", R::projection), "n.a  ");
  EXPECT_EQ(text_of(R::statement, "FIND * FROM (n)   ", R::pattern), "(n)   ");
  EXPECT_EQ(text_of(R::statement, "FIND * FROM (a)-[r ]->  (b)", R::relationship_spec), "r ");
  EXPECT_EQ(text_of(R::statement, "FIND * FROM (n) LIMIT 1", R::EOI), "");
  EXPECT_EQ(text_of(R::vm_assignment, "x = a  junk", R::vm_assignment), "x = a  ");
}

TEST(ZqlGrammar, DepthBoundGivesPlainMessage) {
  std::string deep = "FIND * FROM (n) WHERE " + std::string(100000, '(') + "a" + std::string(100000, ')');
  auto r = parse(R::statement, deep);
  ASSERT_FALSE(r.has_value());
  EXPECT_TRUE(r.error().has_message);
  EXPECT_EQ(r.error().message_text(), "call limit reached");
  EXPECT_EQ(r.error().display().substr(r.error().display().rfind('\n') + 1), "  = call limit reached");

  std::string prefixes;
  for (int i = 0; i < 100000; ++i) prefixes += "not -";
  EXPECT_EQ(parse(R::vm_expression, prefixes + "a").error().message_text(), "call limit reached");

  // Nesting well inside the bound parses.
  std::string ok = "FIND * FROM (n) WHERE " + std::string(100, '(') + "a" + std::string(100, ')');
  EXPECT_TRUE(parse(R::statement, ok).has_value());
  // An explicit small bound.
  EXPECT_FALSE(parse(R::statement, "FIND * FROM (n)", 5).has_value());
}

// Long flat inputs (repetitions, not nesting) are fine.
TEST(ZqlGrammar, LongFlatInputParses) {
  std::string text = "FIND * FROM (n) WHERE a = 0";
  for (int i = 1; i < 20000; ++i) text += " OR a = " + std::to_string(i);
  auto r = parse(R::statement, text);
  ASSERT_TRUE(r.has_value());
}

}  // namespace
}  // namespace zudizid::query::zql::grammar
