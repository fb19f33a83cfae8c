#include "query/zql/parser/build_statement.h"

#include <optional>

#include "query/zql/parser/build_clauses.h"
#include "query/zql/parser/build_query.h"
#include "query/zql/parser/grammar.h"

namespace zudizid::query::zql::parser {

using grammar::GrammarRule;
using grammar::ParseNode;

namespace {

template <class T>
DbResult<ast::Statement> wrap(DbResult<T>&& r) {
  if (!r) return std::unexpected(std::move(r.error()));
  return ast::Statement{std::move(*r)};
}

// DELETE, UPDATE, ADD or a query: the statements that may stand after
// EXPLAIN and SKETCH.
std::optional<DbResult<ast::Statement>> build_operation(const ParseNode& c) {
  switch (c.rule()) {
    case GrammarRule::delete_stmt: return wrap(build_delete_statement(c));
    case GrammarRule::update_stmt: return wrap(build_update_statement(c));
    case GrammarRule::add_stmt: return wrap(build_add_statement(c));
    case GrammarRule::query: return wrap(build_query(c));
    default: return std::nullopt;
  }
}

DbResult<ast::Statement> build_create_index(const ParseNode& node) {
  ast::CreateIndexStmt out;
  std::optional<std::string> label, property;
  for (ParseNode c : node.children()) {
    if (c.rule() == GrammarRule::index_type_spec) {
      for (ParseNode k : c.children()) {
        if (k.rule() != GrammarRule::index_type_keyword) continue;
        std::string lower(k.text());
        for (char& ch : lower) {
          if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
        }
        out.index_type = lower == "btree"      ? index::IndexType::BTree
                         : lower == "fulltext" ? index::IndexType::FullText
                         : lower == "taxonomy" ? index::IndexType::Taxonomy
                                               : index::IndexType::Hash;
      }
    } else if (c.rule() == GrammarRule::identifier) {
      if (!label) {
        label = std::string(c.text());
      } else if (!property) {
        property = std::string(c.text());
      }
    }
  }
  if (!label) return build_error("Missing label in CREATE INDEX");
  if (!property) return build_error("Missing property in CREATE INDEX");
  out.label = std::move(*label);
  out.property = std::move(*property);
  return ast::Statement{std::move(out)};
}

std::optional<std::string> first_identifier(const ParseNode& node) {
  for (ParseNode c : node.children()) {
    if (c.rule() == GrammarRule::identifier) return std::string(c.text());
  }
  return std::nullopt;
}

DbResult<ast::Statement> build_sketch(const ParseNode& node) {
  std::optional<std::string> name;
  std::optional<ast::Statement> operation;
  for (ParseNode c : node.children()) {
    if (c.rule() == GrammarRule::identifier && !name) name = std::string(c.text());
    if (auto op = build_operation(c)) {
      if (!*op) return std::unexpected(op->error());
      operation = std::move(**op);
    }
  }
  if (!name) return build_error("Missing sketch name");
  if (!operation) return build_error("Missing sketch operation");
  return ast::Statement{ast::SketchStmt{std::move(*name), std::move(*operation), std::nullopt}};
}

}  // namespace

DbResult<ast::Statement> build_statement(const grammar::ParseTree& tree) {
  std::optional<ParseNode> stmt;
  for (ParseNode n : tree.top_level()) {
    if (n.rule() == GrammarRule::statement) {
      stmt = n;
      break;
    }
  }
  if (!stmt) return build_error("Invalid statement structure");

  for (ParseNode c : stmt->children()) {
    switch (c.rule()) {
      case GrammarRule::profile_stmt:
        for (ParseNode q : c.children()) {
          if (q.rule() != GrammarRule::query) continue;
          auto query = build_query(q);
          if (!query) return std::unexpected(query.error());
          return ast::Statement{ast::ProfileStmt{ast::Statement{std::move(*query)}}};
        }
        return build_error("PROFILE requires a query");
      case GrammarRule::explain_stmt:
        for (ParseNode q : c.children()) {
          if (auto op = build_operation(q)) {
            if (!*op) return std::unexpected(op->error());
            return ast::Statement{ast::ExplainStmt{std::move(**op)}};
          }
        }
        return build_error("EXPLAIN requires a statement");
      case GrammarRule::create_index_stmt:
        return build_create_index(c);
      case GrammarRule::drop_index_stmt: {
        auto name = first_identifier(c);
        if (!name) return build_error("Missing index name in DROP INDEX");
        return ast::Statement{ast::DropIndexStmt{std::move(*name)}};
      }
      case GrammarRule::sketch_stmt:
        return build_sketch(c);
      case GrammarRule::commit_stmt: {
        auto name = first_identifier(c);
        if (!name) return build_error("Missing sketch name in COMMIT");
        return ast::Statement{ast::CommitStmt{std::move(*name)}};
      }
      case GrammarRule::delete_stmt:
      case GrammarRule::update_stmt:
      case GrammarRule::add_stmt:
      case GrammarRule::query:
        return std::move(*build_operation(c));
      default:
        break;
    }
  }
  return build_error("Invalid statement");
}

DbResult<ast::Statement> parse_statement(std::string_view text) {
  auto tree = grammar::parse(GrammarRule::statement, text);
  if (!tree) return build_error("Parse error: " + tree.error().display());
  return build_statement(*tree);
}

}  // namespace zudizid::query::zql::parser
