#include "query/zql/parser/grammar_table.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace zudizid::query::zql::grammar {

namespace {

using R = GrammarRule;
constexpr bool N = false;  // not silent / not atomic
constexpr bool Y = true;

// clang-format off
const std::vector<RuleDef> kRules = {
  // rule                      silent atomic form
  {R::EOI,                       N, N, ""},
  // Lexical layer. WHITESPACE and COMMENT always run atomic.
  {R::WHITESPACE,                Y, Y, R"~(" " | "\t" | "\n" | "\r")~"},
  {R::COMMENT,                   Y, Y, R"~(line_comment | block_comment)~"},
  {R::line_comment,              Y, N, R"~("//" (!"\n" ANY)*)~"},
  {R::block_comment,             Y, N, R"~("/*" (!"*/" ANY)* "*/")~"},
  // Statements.
  {R::statement,                 N, N, R"~(SOI (profile_stmt | explain_stmt | create_index_stmt | drop_index_stmt | sketch_stmt | commit_stmt | delete_stmt | update_stmt | add_stmt | query) EOI)~"},
  {R::profile_stmt,              N, N, R"~(^"profile" query)~"},
  {R::explain_stmt,              N, N, R"~(^"explain" query)~"},
  {R::create_index_stmt,         N, N, R"~(^"create" ^"index" ^"on" identifier "(" identifier ")" index_type_spec?)~"},
  {R::index_type_keyword,        N, N, R"~(^"hash" | ^"btree" | ^"fulltext" | ^"taxonomy")~"},
  {R::index_type_spec,           N, N, R"~(^"type" index_type_keyword)~"},
  {R::drop_index_stmt,           N, N, R"~(^"drop" ^"index" identifier)~"},
  {R::sketch_stmt,               N, N, R"~(^"sketch" identifier "=" (delete_stmt | update_stmt | add_stmt | query))~"},
  {R::commit_stmt,               N, N, R"~(^"commit" identifier)~"},
  {R::delete_stmt,               N, N, R"~(^"delete" pattern where_clause? limit_clause?)~"},
  {R::update_stmt,               N, N, R"~(^"update" pattern ^"set" assignment_list where_clause? limit_clause?)~"},
  {R::assignment_list,           N, N, R"~(assignment ("," assignment)*)~"},
  {R::assignment,                N, N, R"~(identifier "." identifier "=" expression)~"},
  {R::add_stmt,                  N, N, R"~(^"add" pattern)~"},
  // Queries.
  {R::query,                     N, N, R"~(query_body)~"},
  {R::query_body,                N, N, R"~(find_clause from_clause where_clause? init_clause* gather_clause* return_clause? group_clause? having_clause? order_clause? limit_clause? time_clause? export_clause?)~"},
  {R::find_clause,               N, N, R"~(^"find" distinct_kw? projection_list)~"},
  {R::distinct_kw,               N, N, R"~(^"distinct")~"},
  {R::projection_list,           N, N, R"~("*" | projection ("," projection)*)~"},
  // v.* (the All projection) is tried first: no expression starts with it.
  {R::projection,                N, N, R"~(identifier "." "*" | expression (^"as" identifier)?)~"},
  {R::from_clause,               N, N, R"~(^"from" pattern_list)~"},
  // Patterns.
  {R::pattern_list,              N, N, R"~(pattern ("," pattern)*)~"},
  {R::pattern,                   N, N, R"~(node (relationship node)*)~"},
  {R::node,                      N, N, R"~("(" identifier? label_spec? property_map? ")")~"},
  {R::label_spec,                N, N, R"~(":" identifier)~"},
  {R::property_map,              N, N, R"~("{" (property ("," property)*)? "}")~"},
  {R::property,                  N, N, R"~(identifier ":" value)~"},
  {R::relationship,              N, N, R"~(arrow_with_spec | arrow_pattern)~"},
  {R::arrow_with_spec,           N, N, R"~(arrow_left "[" relationship_spec? "]" arrow_right quantifier?)~"},
  {R::arrow_left,                N, Y, R"~("->" | "<-" | "-")~"},
  {R::arrow_right,               N, Y, R"~("<-" | "->" | "-")~"},
  {R::arrow_pattern,             N, Y, R"~("<->" | "->" | "<-" | "--")~"},
  {R::relationship_spec,         N, N, R"~(identifier (":" identifier)? property_map? | ":" identifier property_map?)~"},
  {R::quantifier,                N, N, R"~("{" number ("," number?)? "}")~"},
  // Query clauses.
  {R::where_clause,              N, N, R"~(^"where" expression)~"},
  {R::init_clause,               N, N, R"~(^"init" string)~"},
  {R::gather_clause,             N, N, R"~(^"gather" string)~"},
  {R::return_clause,             N, N, R"~(^"return" string)~"},
  {R::group_clause,              N, N, R"~(^"group" ^"by" expression_list)~"},
  {R::having_clause,             N, N, R"~(^"having" expression)~"},
  {R::expression_list,           N, N, R"~(expression ("," expression)*)~"},
  {R::order_clause,              N, N, R"~(^"order" ^"by" order_item ("," order_item)*)~"},
  {R::order_item,                N, N, R"~(expression order_direction?)~"},
  {R::order_direction,           N, N, R"~(^"asc" | ^"desc")~"},
  {R::limit_clause,              N, N, R"~(^"limit" number (^"offset" number)?)~"},
  {R::time_clause,               N, N, R"~(^"at" ^"timestamp" number)~"},
  {R::export_clause,             N, N, R"~(^"export" export_format export_options?)~"},
  {R::export_format,             N, N, R"~(export_arrow | export_csv | export_json | export_parquet)~"},
  {R::export_arrow,              N, N, R"~(^"arrow")~"},
  {R::export_csv,                N, N, R"~(^"csv")~"},
  {R::export_json,               N, N, R"~(^"json")~"},
  {R::export_parquet,            N, N, R"~(^"parquet" string)~"},
  {R::export_options,            N, N, R"~(^"with" export_option ("," export_option)*)~"},
  {R::export_option,             N, N, R"~(identifier "=" value)~"},
  // Expressions.
  {R::expression,                N, N, R"~(or_expression)~"},
  {R::or_expression,             N, N, R"~(and_expression (or_op and_expression)*)~"},
  {R::and_expression,            N, N, R"~(comparison_expression (and_op comparison_expression)*)~"},
  {R::or_op,                     Y, N, R"~(or_kw)~"},
  {R::and_op,                    Y, N, R"~(and_kw)~"},
  {R::or_kw,                     N, Y, R"~(^"or" !('a'..'z' | 'A'..'Z' | '0'..'9' | "_"))~"},
  {R::and_kw,                    N, Y, R"~(^"and" !('a'..'z' | 'A'..'Z' | '0'..'9' | "_"))~"},
  {R::comparison_expression,     N, N, R"~(additive_expression (comparison_op additive_expression)?)~"},
  {R::comparison_op,             N, N, R"~("=" | "!=" | "<=" | ">=" | "<" | ">")~"},
  {R::additive_expression,       N, N, R"~(multiplicative_expression ((add_op | sub_op) multiplicative_expression)*)~"},
  {R::add_op,                    N, N, R"~("+")~"},
  {R::sub_op,                    N, N, R"~("-")~"},
  {R::multiplicative_expression, N, N, R"~(unary_expression (("*" | "/" | "%") unary_expression)*)~"},
  {R::unary_expression,          N, N, R"~(("!" | neg_op)? primary_expression)~"},
  {R::neg_op,                    N, N, R"~("-")~"},
  {R::primary_expression,        N, N, R"~(function_call | value | property_access | "(" expression ")")~"},
  {R::property_access,           N, N, R"~(identifier ("." identifier)*)~"},
  {R::function_call,             N, N, R"~(identifier "(" (function_arg ("," function_arg)*)? ")")~"},
  {R::function_arg,              N, N, R"~("*" | expression)~"},
  // The VM sub-language.
  {R::vm_assignment,             N, N, R"~(identifier "=" vm_expression)~"},
  {R::vm_expression,             N, N, R"~(vm_or_expression)~"},
  {R::vm_or_expression,          N, N, R"~(vm_and_expression (or_op vm_and_expression)*)~"},
  {R::vm_and_expression,         N, N, R"~(vm_comparison_expression (and_op vm_comparison_expression)*)~"},
  {R::vm_comparison_expression,  N, N, R"~(vm_additive_expression (comparison_op vm_additive_expression)?)~"},
  {R::vm_additive_expression,    N, N, R"~(vm_multiplicative_expression ((add_op | sub_op) vm_multiplicative_expression)*)~"},
  {R::vm_multiplicative_expression, N, N, R"~(vm_unary_expression ((mul_op | div_op | mod_op) vm_unary_expression)*)~"},
  {R::mul_op,                    N, N, R"~("*")~"},
  {R::div_op,                    N, N, R"~("/")~"},
  {R::mod_op,                    N, N, R"~("%")~"},
  {R::vm_unary_expression,       N, N, R"~(vm_not_kw vm_unary_expression | "!" vm_unary_expression | neg_op vm_unary_expression | vm_primary_expression)~"},
  {R::vm_not_kw,                 N, Y, R"~(^"not" !('a'..'z' | 'A'..'Z' | '0'..'9' | "_"))~"},
  {R::vm_primary_expression,     N, N, R"~(value | property_access | "(" vm_expression ")")~"},
  // Literals and names.
  {R::value,                     N, N, R"~(string | number | boolean | null)~"},
  {R::string,                    N, Y, R"~(double_quoted_string | single_quoted_string)~"},
  {R::double_quoted_string,      N, Y, R"~("\"" double_string_inner "\"")~"},
  {R::double_string_inner,       N, Y, R"~((!("\"" | "\\") ANY | "\\" ("\"" | "\\" | "n" | "r" | "t"))*)~"},
  {R::single_quoted_string,      N, Y, R"~("'" single_string_inner "'")~"},
  {R::single_string_inner,       N, Y, R"~((!("'" | "\\") ANY | "\\" ("'" | "\\" | "n" | "r" | "t"))*)~"},
  {R::number,                    N, Y, R"~("-"? '0'..'9'+ ("." '0'..'9'+)?)~"},
  {R::boolean,                   N, N, R"~(^"true" | ^"false")~"},
  {R::null,                      N, N, R"~(^"null")~"},
  {R::identifier,                N, Y, R"~(('a'..'z' | 'A'..'Z') identifier_char*)~"},
  {R::identifier_char,           Y, N, R"~('a'..'z' | 'A'..'Z' | '0'..'9' | "_")~"},
};
// clang-format on

[[noreturn]] void table_fault(std::string_view rule, std::string_view what) {
  std::fprintf(stderr, "zql grammar table: rule %.*s: %.*s\n", static_cast<int>(rule.size()),
               rule.data(), static_cast<int>(what.size()), what.data());
  std::abort();
}

// Compiles one form of the notation into program nodes (recursive descent
// over a fixed, trusted table; a fault here is a programming error).
class FormCompiler {
 public:
  FormCompiler(PegProgram& prog, std::string_view rule, std::string_view form)
      : prog_(prog), rule_(rule), s_(form) {}

  std::uint32_t compile() {
    std::uint32_t root = choice();
    blank();
    if (i_ != s_.size()) table_fault(rule_, "trailing text in form");
    return root;
  }

 private:
  void blank() {
    while (i_ < s_.size() && s_[i_] == ' ') ++i_;
  }
  bool peek(char c) {
    blank();
    return i_ < s_.size() && s_[i_] == c;
  }

  std::uint32_t add(PegNode n) {
    prog_.nodes.push_back(std::move(n));
    return static_cast<std::uint32_t>(prog_.nodes.size() - 1);
  }
  std::uint32_t group(PegOp op, const std::vector<std::uint32_t>& kids) {
    if (kids.size() == 1 && (op == PegOp::Seq || op == PegOp::Choice)) return kids[0];
    PegNode n(op);
    n.kids_begin = static_cast<std::uint32_t>(prog_.kids.size());
    n.kids_count = static_cast<std::uint32_t>(kids.size());
    prog_.kids.insert(prog_.kids.end(), kids.begin(), kids.end());
    return add(std::move(n));
  }

  std::uint32_t choice() {
    std::vector<std::uint32_t> alts{sequence()};
    while (peek('|')) {
      ++i_;
      alts.push_back(sequence());
    }
    return group(PegOp::Choice, alts);
  }

  std::uint32_t sequence() {
    std::vector<std::uint32_t> items;
    while (true) {
      blank();
      if (i_ >= s_.size() || s_[i_] == '|' || s_[i_] == ')') break;
      items.push_back(prefixed());
    }
    if (items.empty()) table_fault(rule_, "empty sequence");
    return group(PegOp::Seq, items);
  }

  std::uint32_t prefixed() {
    blank();
    if (s_[i_] == '&' || s_[i_] == '!') {
      PegOp op = s_[i_] == '&' ? PegOp::PosLook : PegOp::NegLook;
      ++i_;
      return group(op, {postfixed()});
    }
    return postfixed();
  }

  std::uint32_t postfixed() {
    std::uint32_t n = primary();
    while (i_ < s_.size() && (s_[i_] == '?' || s_[i_] == '*' || s_[i_] == '+')) {
      PegOp op = s_[i_] == '?' ? PegOp::Opt : s_[i_] == '*' ? PegOp::Star : PegOp::Plus;
      ++i_;
      n = group(op, {n});
    }
    return n;
  }

  std::string quoted() {
    // s_[i_] is the opening double quote.
    std::string out;
    ++i_;
    while (i_ < s_.size() && s_[i_] != '"') {
      char c = s_[i_++];
      if (c == '\\') {
        if (i_ >= s_.size()) table_fault(rule_, "dangling escape");
        char e = s_[i_++];
        switch (e) {
          case '"': c = '"'; break;
          case '\\': c = '\\'; break;
          case 't': c = '\t'; break;
          case 'n': c = '\n'; break;
          case 'r': c = '\r'; break;
          default: table_fault(rule_, "unknown escape");
        }
      }
      out += c;
    }
    if (i_ >= s_.size()) table_fault(rule_, "unterminated literal");
    ++i_;
    return out;
  }

  unsigned char quoted_char() {
    if (i_ + 2 >= s_.size() || s_[i_] != '\'' || s_[i_ + 2] != '\'') {
      table_fault(rule_, "bad range bound");
    }
    unsigned char c = static_cast<unsigned char>(s_[i_ + 1]);
    i_ += 3;
    return c;
  }

  std::uint32_t primary() {
    blank();
    char c = s_[i_];
    if (c == '(') {
      ++i_;
      std::uint32_t inner = choice();
      if (!peek(')')) table_fault(rule_, "missing )");
      ++i_;
      return inner;
    }
    if (c == '"') {
      PegNode n(PegOp::Lit);
      n.lit = quoted();
      return add(std::move(n));
    }
    if (c == '^') {
      ++i_;
      if (i_ >= s_.size() || s_[i_] != '"') table_fault(rule_, "^ without literal");
      PegNode n(PegOp::ILit);
      n.lit = quoted();
      for (char& ch : n.lit) {
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
      }
      return add(std::move(n));
    }
    if (c == '\'') {
      PegNode n(PegOp::Range);
      n.lo = quoted_char();
      if (s_.substr(i_, 2) != "..") table_fault(rule_, "range without ..");
      i_ += 2;
      n.hi = quoted_char();
      return add(std::move(n));
    }
    std::size_t b = i_;
    while (i_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[i_])) || s_[i_] == '_')) ++i_;
    std::string_view name = s_.substr(b, i_ - b);
    if (name.empty()) table_fault(rule_, "unexpected character in form");
    if (name == "ANY") return add(PegNode(PegOp::Any));
    if (name == "SOI") return add(PegNode(PegOp::Soi));
    for (std::size_t r = 0; r < kGrammarRuleCount; ++r) {
      if (rule_name(static_cast<GrammarRule>(r)) == name) {
        PegNode n(PegOp::Call);
        n.rule = static_cast<GrammarRule>(r);
        return add(std::move(n));
      }
    }
    table_fault(rule_, "unknown rule name");
  }

  PegProgram& prog_;
  std::string_view rule_;
  std::string_view s_;
  std::size_t i_ = 0;
};

PegProgram compile_table() {
  PegProgram prog;
  if (kRules.size() != kGrammarRuleCount) table_fault("*", "rule count");
  for (std::size_t r = 0; r < kRules.size(); ++r) {
    const RuleDef& def = kRules[r];
    if (static_cast<std::size_t>(def.rule) != r) table_fault(rule_name(def.rule), "out of order");
    prog.rule_silent[r] = def.silent;
    prog.rule_atomic[r] = def.atomic;
    if (def.rule == GrammarRule::EOI) {
      prog.rule_body[r] = static_cast<std::uint32_t>(prog.nodes.size());
      prog.nodes.push_back(PegNode(PegOp::Eoi));
      continue;
    }
    prog.rule_body[r] = FormCompiler(prog, rule_name(def.rule), def.form).compile();
  }
  return prog;
}

}  // namespace

const std::vector<RuleDef>& rule_table() { return kRules; }

const PegProgram& peg_program() {
  static const PegProgram program = compile_table();
  return program;
}

}  // namespace zudizid::query::zql::grammar
