#include "query/zql/executor/validation/validate.h"

#include <array>
#include <optional>
#include <set>
#include <string_view>

#include <fmt/format.h>

#include "query/zql/executor/aggregations/aggregation.h"
#include "query/zql/executor/write/write.h"
#include "query/zql/parser/expr_walk.h"

namespace zudizid::query::zql::executor {

namespace {

using ast::Expr;
using ast::expr_calls_any_function;
using ast::find_expr;
using common::ascii_iequals;
using ast::walk_expr;
using ast::Walk;
using Refusal = std::optional<std::string>;

constexpr std::array<std::string_view, 8> kGraphFunctions = {
    "degree", "leiden", "pagerank", "community", "clustering", "betweenness", "shortestpath", "community_fast"};
constexpr std::array<std::string_view, 7> kHavingCalls = {"sum", "avg", "min", "max", "count", "knn_nodes",
                                                          "embedding_similarity"};
constexpr std::array<std::string_view, 4> kPathReducers = {"path_sum", "path_min", "path_max", "path_avg"};
constexpr std::array<std::string_view, 1> kPathEval = {"path_eval"};
constexpr std::array<std::string_view, 8> kSemanticFilters = {
    "path_start_instanceof", "path_end_instanceof", "path_any_instanceof", "path_all_instanceof",
    "path_start_subclassof", "path_end_subclassof", "path_any_subclassof", "path_all_subclassof"};

// Where an expression stands in a query.
enum class Position { Find, Where, OrderBy, GroupBy, Having };

std::string_view clause_name(Position p) {
  switch (p) {
    case Position::Find: return "FIND";
    case Position::Where: return "WHERE";
    case Position::OrderBy: return "ORDER BY";
    case Position::GroupBy: return "GROUP BY";
    case Position::Having: return "HAVING";
  }
  return "";
}

template <class Names>
bool name_in(std::string_view name, const Names& names) {
  for (std::string_view n : names)
    if (ascii_iequals(name, n)) return true;
  return false;
}

DbError refuse(std::string message) { return DbError::semantic_validation(std::move(message)); }

// A call of a path reducer reached through operators only.
bool expr_uses_path_reducer(const Expr& e) {
  return walk_expr(e, [](const Expr& x) {
    if (const auto* c = x.get_if<Expr::FunctionCall>()) return name_in(c->name, kPathReducers) ? Walk::Stop : Walk::Skip;
    return Walk::Descend;
  });
}

bool references_path_property(const Expr& e, std::string_view name) {
  return find_expr(e, [&](const Expr& x) {
           const auto* p = x.get_if<Expr::Property>();
           return p && p->variable == "path" && p->property == name;
         }) != nullptr;
}

// Literals and graph-function calls only (the HAVING allowed without GROUP
// BY): operands of operators must be literals or such expressions; a call
// must name a graph function, and its arguments may also be properties.
bool is_algorithm_only(const Expr& e) {
  std::set<const Expr*> call_arguments;
  const bool refused = walk_expr(e, [&](const Expr& x) {
    switch (x.kind()) {
      case Expr::Kind::Literal:
        return Walk::Skip;
      case Expr::Kind::Property:
        return call_arguments.contains(&x) ? Walk::Skip : Walk::Stop;
      case Expr::Kind::Wildcard:
        return Walk::Stop;
      case Expr::Kind::FunctionCall: {
        const auto& c = *x.get_if<Expr::FunctionCall>();
        if (!name_in(c.name, kGraphFunctions)) return Walk::Stop;
        for (const Expr& a : c.args) call_arguments.insert(&a);
        return Walk::Descend;
      }
      default:
        return Walk::Descend;
    }
  });
  return !refused;
}

// HAVING content: grouped properties, aggregation or algorithm calls.
Refusal having_check(const Expr& cond, const std::vector<Expr>& group_by) {
  Refusal out;
  walk_expr(cond, [&](const Expr& e) {
    if (const auto* p = e.get_if<Expr::Property>()) {
      if (p->property.empty()) return Walk::Skip;
      for (const Expr& g : group_by)
        if (g == e) return Walk::Skip;
      out = fmt::format("Column {}.{} must appear in GROUP BY to use in HAVING", p->variable, p->property);
      return Walk::Stop;
    }
    if (const auto* c = e.get_if<Expr::FunctionCall>()) {
      if (name_in(c->name, kHavingCalls)) return Walk::Descend;
      if (name_in(c->name, kGraphFunctions)) return Walk::Skip;
      out = fmt::format("HAVING can only use aggregation or algorithm functions, got: {}", c->name);
      return Walk::Stop;
    }
    return Walk::Descend;
  });
  return out;
}

bool is_string_literal(const Expr& e) {
  const auto* l = e.get_if<Expr::Literal>();
  return l && l->value.kind() == PropertyValue::Kind::String;
}

bool two_string_literals(const Expr::FunctionCall& c) {
  return c.args.size() == 2 && is_string_literal(c.args[0]) && is_string_literal(c.args[1]);
}

bool is_find(Position p) { return p == Position::Find; }

// One embedding family's refusal for a call, or none (then the walk goes on
// into the call's arguments).
using CallRule = Refusal (*)(const Expr::FunctionCall&, Position, bool path_shaped);

Refusal pattern_embedding_rule(const Expr::FunctionCall& c, Position pos, bool path_shaped) {
  const std::string name = common::ascii_lowercase(c.name);
  constexpr std::string_view kShape =
      "Pattern embedding functions are only supported for a single path pattern with at least one relationship in "
      "PatternEmbedding E-3";
  if (name == "pattern_embedding") {
    if (!path_shaped) return std::string(kShape);
    if (pos == Position::Where)
      return std::string("pattern_embedding(node_model, edge_model) is only supported in FIND in PatternEmbedding E-3");
    if (!is_find(pos))
      return fmt::format("pattern_embedding(node_model, edge_model) is not supported in {} in PatternEmbedding E-3",
                         clause_name(pos));
    if (!two_string_literals(c))
      return std::string(
          "pattern_embedding(node_model, edge_model) requires exactly 2 string literal model names in "
          "PatternEmbedding E-3");
  } else if (name == "pattern_has_embeddings") {
    if (!path_shaped) return std::string(kShape);
    if (pos != Position::Find && pos != Position::Where)
      return fmt::format(
          "pattern_has_embeddings(node_model, edge_model) is not supported in {} in PatternEmbedding E-3",
          clause_name(pos));
    if (c.args.size() == 1)
      return std::string(
          "pattern_has_embeddings(\"model\") was replaced in PatternEmbedding E-3; use "
          "pattern_has_embeddings(node_model, edge_model)");
    if (!two_string_literals(c))
      return std::string(
          "pattern_has_embeddings(node_model, edge_model) requires exactly 2 string literal model names in "
          "PatternEmbedding E-3");
  } else if (name == "pattern_embedding_similarity") {
    return std::string(
        "pattern_embedding_similarity(...) is no longer the official PatternEmbedding surface in E-3; use "
        "pattern_embedding(node_model, edge_model)");
  }
  return std::nullopt;
}

Refusal path_embedding_rule(const Expr::FunctionCall& c, Position pos, bool path_shaped) {
  const std::string name = common::ascii_lowercase(c.name);
  constexpr std::string_view kShape =
      "Path embedding functions are only supported for a single path pattern with at least one relationship in "
      "PathEmbedding E-7";
  const size_t argc = c.args.size();
  if (name == "path_embedding") {
    if (!path_shaped) return std::string(kShape);
    if (pos == Position::Where)
      return std::string("path_embedding(node_model, edge_model) is only supported in FIND in PathEmbedding E-7");
    if (!is_find(pos))
      return fmt::format("path_embedding(node_model, edge_model) is not supported in {} in PathEmbedding E-7",
                         clause_name(pos));
    if (!two_string_literals(c))
      return std::string(
          "path_embedding(node_model, edge_model) requires exactly 2 string literal model names in PathEmbedding E-7");
  } else if (name == "path_has_embeddings") {
    if (!path_shaped) return std::string(kShape);
    if (pos != Position::Find && pos != Position::Where)
      return fmt::format("path_has_embeddings(node_model, edge_model) is not supported in {} in PathEmbedding E-7",
                         clause_name(pos));
    if (argc == 1)
      return std::string(
          "path_has_embeddings(\"model\") was replaced in PathEmbedding E-7; use path_has_embeddings(node_model, "
          "edge_model)");
    if (!two_string_literals(c))
      return std::string(
          "path_has_embeddings(node_model, edge_model) requires exactly 2 string literal model names in PathEmbedding "
          "E-7");
  } else if (name == "path_anomaly_score") {
    if (argc != 2)
      return fmt::format(
          "path_anomaly_score requires exactly 2 arguments: path_anomaly_score(node_model, edge_model), got {} "
          "(PathAnomaly E-10)",
          argc);
    if (!path_shaped)
      return std::string(
          "path_anomaly_score requires a single linear path-aware pattern with at least one relationship (PathAnomaly "
          "E-10)");
    if (pos == Position::OrderBy)
      return std::string(
          "path_anomaly_score cannot be used directly in ORDER BY in PathAnomaly E-10; project it with an alias in "
          "FIND");
    if (pos == Position::GroupBy) return std::string("path_anomaly_score cannot be used in GROUP BY in PathAnomaly E-10");
    if (pos == Position::Having) return std::string("path_anomaly_score cannot be used in HAVING in PathAnomaly E-10");
  } else if (name == "path_knn_references") {
    if (argc != 4)
      return fmt::format(
          "path_knn_references requires exactly 4 arguments: path_knn_references(node_model, edge_model, k, "
          "min_score), got {} (PathKNN E-9/E-10)",
          argc);
    if (!path_shaped)
      return std::string(
          "path_knn_references requires a single linear path-aware pattern with at least one relationship (PathKNN "
          "E-9/E-10)");
    if (pos == Position::Where)
      return std::string(
          "path_knn_references returns a List and cannot be used in WHERE; project it with an alias in FIND (PathKNN "
          "E-9)");
    if (pos == Position::OrderBy)
      return std::string(
          "path_knn_references cannot be used directly in ORDER BY; project it with an alias in FIND");
    if (pos == Position::GroupBy) return std::string("path_knn_references cannot be used in GROUP BY");
    if (pos == Position::Having) return std::string("path_knn_references cannot be used in HAVING");
  } else if (name == "path_embedding_similarity") {
    if (argc != 3)
      return fmt::format(
          "path_embedding_similarity requires exactly 3 arguments: path_embedding_similarity(ref_name, node_model, "
          "edge_model), got {}. The old 1- or 2-argument form is no longer valid \u2014 see PathSimilarity E-8.",
          argc);
    if (!path_shaped)
      return std::string(
          "path_embedding_similarity requires a single linear path-aware pattern with at least one relationship "
          "(PathSimilarity E-8)");
    if (pos == Position::OrderBy)
      return std::string(
          "path_embedding_similarity cannot be used directly in ORDER BY in PathSimilarity E-8; project it with an "
          "alias in FIND and ORDER BY the alias");
    if (pos == Position::GroupBy)
      return std::string("path_embedding_similarity cannot be used in GROUP BY in PathSimilarity E-8");
    if (pos == Position::Having)
      return std::string("path_embedding_similarity cannot be used in HAVING in PathSimilarity E-8");
  }
  return std::nullopt;
}

Refusal embedding_check(const Expr& e, Position pos, bool path_shaped) {
  for (CallRule rule : {&pattern_embedding_rule, &path_embedding_rule}) {
    Refusal out;
    walk_expr(e, [&](const Expr& x) {
      const auto* c = x.get_if<Expr::FunctionCall>();
      if (!c) return Walk::Descend;
      out = rule(*c, pos, path_shaped);
      return out ? Walk::Stop : Walk::Descend;
    });
    if (out) return out;
  }
  return std::nullopt;
}

// The query's expressions by position, in rule order.
struct Positioned {
  const Expr* expr;
  Position pos;
};

std::vector<const Expr*> projection_exprs(const ast::Query& q) {
  std::vector<const Expr*> out;
  for (const auto& p : q.find.projections)
    if (const auto* e = std::get_if<ast::ExpressionProjection>(&p)) out.push_back(&e->expr);
  return out;
}

std::vector<Positioned> positioned_exprs(const ast::Query& q) {
  std::vector<Positioned> out;
  for (const Expr* e : projection_exprs(q)) out.push_back({e, Position::Find});
  if (q.filter) out.push_back({&q.filter->condition, Position::Where});
  if (q.order_by)
    for (const auto& item : q.order_by->items) out.push_back({&item.expression, Position::OrderBy});
  if (q.group_by)
    for (const Expr& g : q.group_by->expressions) out.push_back({&g, Position::GroupBy});
  if (q.having) out.push_back({&q.having->condition, Position::Having});
  return out;
}

DbResult<std::vector<ValidationWarning>> validate_query(const ast::Query& q) {
  const bool path_shaped = is_path_shaped(q);
  static const std::vector<Expr> kNoGroups;
  const std::vector<Expr>& groups = q.group_by ? q.group_by->expressions : kNoGroups;

  // 1-2: HAVING.
  if (q.having) {
    if (!q.group_by && !is_algorithm_only(q.having->condition)) return std::unexpected(refuse("HAVING clause requires GROUP BY"));
    if (auto r = having_check(q.having->condition, groups)) return std::unexpected(refuse(std::move(*r)));
  }
  // 3: no aggregation in WHERE.
  if (q.filter && find_expr(q.filter->condition, [](const Expr& e) { return aggregations::is_aggregation_call(e); }))
    return std::unexpected(refuse("Aggregation functions not allowed in WHERE clause. Use HAVING instead."));
  // 4: INIT / GATHER.
  if ((!q.init.empty() || !q.gather.empty()) && !path_shaped)
    return std::unexpected(refuse(
        "INIT/GATHER are only supported for a single pattern with at least one relationship in Path Queries F4-B"));
  // 5: path_eval placement.
  const auto positioned = positioned_exprs(q);
  for (const auto& [e, pos] : positioned) {
    if (pos == Position::Find || pos == Position::Where) continue;
    if (expr_calls_any_function(*e, kPathEval))
      return std::unexpected(refuse(fmt::format("path_eval(\"...\") is not supported in {} in Path Queries F4-B", clause_name(pos))));
  }
  // 6: path reducers.
  for (const auto& [e, pos] : positioned) {
    if (pos != Position::OrderBy && pos != Position::GroupBy) continue;
    if (expr_uses_path_reducer(*e))
      return std::unexpected(refuse(fmt::format(
          "Path reducers (path_sum, path_min, path_max, path_avg) are not supported in {} in Path Queries F3",
          clause_name(pos))));
  }
  // 7: RETURN.
  if (q.return_expr) {
    if (!path_shaped)
      return std::unexpected(refuse("RETURN requires a path pattern with at least one relationship in Path Queries F4-C"));
    if (q.order_by) return std::unexpected(refuse("RETURN is not supported with ORDER BY in Path Queries F4-C"));
    if (q.group_by) return std::unexpected(refuse("RETURN is not supported with GROUP BY in Path Queries F4-C"));
    if (q.having) return std::unexpected(refuse("RETURN is not supported with HAVING in Path Queries F4-C"));
  }
  // 8: path.result needs RETURN.
  if (!q.return_expr) {
    for (const auto& [e, pos] : positioned) {
      if (pos != Position::Find && pos != Position::Where) continue;
      if (references_path_property(*e, "result"))
        return std::unexpected(refuse("path.result requires a RETURN clause in Path Queries F4-C"));
    }
  }
  // 9: path metadata in WHERE.
  if (q.filter) {
    for (std::string_view name : {"start", "end", "state"})
      if (references_path_property(q.filter->condition, name))
        return std::unexpected(
            refuse(fmt::format("path.{} is not allowed in WHERE in Path Queries F4-C; use it in FIND", name)));
  }
  // 10: path.result placement.
  for (const auto& [e, pos] : positioned) {
    if (pos != Position::OrderBy && pos != Position::GroupBy) continue;
    if (references_path_property(*e, "result"))
      return std::unexpected(
          refuse(fmt::format("path.result is not supported in {} in Path Queries F4-C", clause_name(pos))));
  }
  // 11-12: semantic path filters.
  if (q.filter && !path_shaped && expr_calls_any_function(q.filter->condition, kSemanticFilters))
    return std::unexpected(refuse(
        "Semantic path filters are only supported for a single path pattern with at least one relationship in Path "
        "Queries F4-D.1"));
  for (const auto& [e, pos] : positioned) {
    if (pos == Position::Where || !expr_calls_any_function(*e, kSemanticFilters)) continue;
    if (pos == Position::Find)
      return std::unexpected(refuse("Semantic path filters are only supported in WHERE in Path Queries F4-D.1"));
    return std::unexpected(refuse(
        fmt::format("Semantic path filters are not supported in {} in Path Queries F4-D.1", clause_name(pos))));
  }
  // 13: embedding functions.
  for (const auto& [e, pos] : positioned)
    if (auto r = embedding_check(*e, pos, path_shaped)) return std::unexpected(refuse(std::move(*r)));
  // 14: advisory.
  std::vector<ValidationWarning> warnings;
  if (q.group_by) {
    bool aggregates = false;
    for (const Expr* e : projection_exprs(q)) aggregates = aggregates || aggregations::is_aggregation_call(*e);
    if (!aggregates)
      warnings.push_back({"GROUP BY without aggregations in SELECT - consider if this is intended", 0});
  }
  return warnings;
}

DbResult<std::vector<ValidationWarning>> validate_update(const ast::UpdateStmt& u) {
  if (u.assignments.empty()) return std::unexpected(refuse("UPDATE requires at least one SET assignment"));
  std::set<std::string, std::less<>> bound;
  for (const auto& el : u.pattern.elements) {
    std::visit([&](const auto& p) {
      if (p.variable) bound.insert(*p.variable);
    }, el);
  }
  // A node statement whose node is unnamed updates it as "n".
  if (!write::is_relationship_pattern(u.pattern)) bound.insert(write::node_statement_variable(u.pattern));
  for (const auto& a : u.assignments)
    if (!bound.contains(a.variable))
      return std::unexpected(refuse(fmt::format("Variable '{}' in SET not found in pattern", a.variable)));
  std::vector<ValidationWarning> warnings;
  if (!u.filter && !u.limit) warnings.push_back({"UPDATE without WHERE will modify ALL matching nodes", 2});
  return warnings;
}

}  // namespace

bool is_path_shaped(const ast::Query& query) {
  if (query.from.patterns.size() != 1) return false;
  for (const auto& el : query.from.patterns[0].elements)
    if (std::holds_alternative<ast::RelationshipPattern>(el)) return true;
  return false;
}

DbResult<std::vector<ValidationWarning>> validate(const ast::Statement& statement) {
  // Explain and Profile hold one statement each; their chain is walked
  // without recursion.
  const ast::Statement* s = &statement;
  bool drop_warnings = false;
  for (;;) {
    if (const auto* e = std::get_if<ast::ExplainStmt>(&s->node)) {
      s = &*e->statement;
      drop_warnings = true;
    } else if (const auto* p = std::get_if<ast::ProfileStmt>(&s->node)) {
      s = &*p->statement;
      drop_warnings = true;
    } else if (const auto* k = std::get_if<ast::SketchStmt>(&s->node)) {
      s = &*k->operation;
    } else {
      break;
    }
  }
  DbResult<std::vector<ValidationWarning>> out = std::vector<ValidationWarning>{};
  if (const auto* q = std::get_if<ast::Query>(&s->node)) {
    out = validate_query(*q);
  } else if (const auto* a = std::get_if<ast::AddStmt>(&s->node)) {
    if (a->pattern.elements.empty()) out = std::unexpected(refuse("CREATE requires at least one node or edge"));
  } else if (const auto* u = std::get_if<ast::UpdateStmt>(&s->node)) {
    out = validate_update(*u);
  } else if (const auto* d = std::get_if<ast::DeleteStmt>(&s->node)) {
    if (!d->filter)
      out = std::vector<ValidationWarning>{
          d->limit ? ValidationWarning{"DELETE without WHERE but with LIMIT - still dangerous", 1}
                   : ValidationWarning{"DELETE without WHERE will delete ALL matching nodes", 2}};
  }
  if (out && drop_warnings) out->clear();
  return out;
}

}  // namespace zudizid::query::zql::executor
