#include "query/zql/parser/build_query.h"

#include <optional>

#include "query/zql/parser/build_clauses.h"
#include "query/zql/parser/build_expression.h"
#include "query/zql/parser/build_pattern.h"
#include "query/zql/parser/text_scan.h"

namespace zudizid::query::zql::parser {

using grammar::GrammarRule;
using grammar::ParseNode;

namespace {

DbResult<ast::Projection> build_projection(const ParseNode& node) {
  std::optional<ast::Expr> expr;
  std::optional<std::string> alias;
  for (ParseNode c : node.children()) {
    if (c.rule() == GrammarRule::expression) {
      auto e = build_expression(c);
      if (!e) return std::unexpected(e.error());
      expr = std::move(*e);
    } else if (c.rule() == GrammarRule::identifier) {
      alias = std::string(c.text());
    }
  }
  // v.* leaves only the variable's identifier.
  if (!expr && alias) return ast::AllProjection{std::move(*alias)};
  if (!expr) return build_error("Invalid projection");
  return ast::ExpressionProjection{std::move(*expr), std::move(alias)};
}

DbResult<ast::FindClause> build_find(const ParseNode& node) {
  ast::FindClause find;
  for (ParseNode c : node.children()) {
    if (c.rule() == GrammarRule::distinct_kw) {
      find.distinct = true;
    } else if (c.rule() == GrammarRule::projection_list) {
      for (ParseNode p : c.children()) {
        if (p.rule() != GrammarRule::projection) continue;
        auto proj = build_projection(p);
        if (!proj) return std::unexpected(proj.error());
        find.projections.push_back(std::move(*proj));
      }
    }
  }
  if (find.projections.empty()) find.projections.emplace_back(ast::WildcardProjection{});
  return find;
}

DbResult<ast::FromClause> build_from(const ParseNode& node) {
  ast::FromClause from;
  for (ParseNode c : node.children()) {
    if (c.rule() != GrammarRule::pattern_list) continue;
    for (ParseNode p : c.children()) {
      if (p.rule() != GrammarRule::pattern) continue;
      auto pattern = build_pattern(p);
      if (!pattern) return std::unexpected(pattern.error());
      from.patterns.push_back(std::move(*pattern));
    }
  }
  return from;
}

DbResult<ast::GroupByClause> build_group_by(const ParseNode& node) {
  ast::GroupByClause group;
  for (ParseNode c : node.children()) {
    if (c.rule() != GrammarRule::expression_list) continue;
    for (ParseNode e : c.children()) {
      if (e.rule() != GrammarRule::expression) continue;
      auto x = build_expression(e);
      if (!x) return std::unexpected(x.error());
      group.expressions.push_back(std::move(*x));
    }
  }
  return group;
}

DbResult<ast::HavingClause> build_having(const ParseNode& node) {
  for (ParseNode c : node.children()) {
    if (c.rule() != GrammarRule::expression) continue;
    auto e = build_expression(c);
    if (!e) return std::unexpected(e.error());
    return ast::HavingClause{std::move(*e)};
  }
  return build_error("Invalid HAVING clause");
}

DbResult<ast::OrderByClause> build_order_by(const ParseNode& node) {
  ast::OrderByClause order;
  for (ParseNode item : node.children()) {
    if (item.rule() != GrammarRule::order_item) continue;
    std::optional<ast::Expr> expr;
    ast::OrderDirection dir = ast::OrderDirection::Asc;
    for (ParseNode c : item.children()) {
      if (c.rule() == GrammarRule::order_direction) {
        std::string lower(c.text());
        for (char& ch : lower) {
          if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
        }
        dir = lower == "desc" ? ast::OrderDirection::Desc : ast::OrderDirection::Asc;
      } else if (c.rule() == GrammarRule::expression) {
        auto e = build_expression(c);
        if (!e) return std::unexpected(e.error());
        expr = std::move(*e);
      }
    }
    if (!expr) return build_error("Missing expression in ORDER BY");
    order.items.push_back(ast::OrderByItem{std::move(*expr), dir});
  }
  return order;
}

DbResult<ast::TimeTravelClause> build_time(const ParseNode& node) {
  for (ParseNode c : node.children()) {
    if (c.rule() != GrammarRule::number) continue;
    auto v = grammar::read_count(c.text());
    if (!v) return build_error("Invalid timestamp");
    return ast::TimeTravelClause{*v};
  }
  return build_error("Invalid TIME clause");
}

DbResult<ast::ExportClause> build_export(const ParseNode& node) {
  ast::ExportClause out;
  for (ParseNode c : node.children()) {
    if (c.rule() == GrammarRule::export_format) {
      for (ParseNode f : c.children()) {
        switch (f.rule()) {
          case GrammarRule::export_arrow: out.format = {ast::ExportFormat::Kind::Arrow, {}}; break;
          case GrammarRule::export_csv: out.format = {ast::ExportFormat::Kind::Csv, {}}; break;
          case GrammarRule::export_json: out.format = {ast::ExportFormat::Kind::Json, {}}; break;
          case GrammarRule::export_parquet: {
            std::string target;
            for (ParseNode s : f.children()) {
              if (s.rule() == GrammarRule::string) {
                target = std::string(strip_quotes(s.text()));
                break;
              }
            }
            out.format = {ast::ExportFormat::Kind::Parquet, std::move(target)};
            break;
          }
          default: break;
        }
      }
    } else if (c.rule() == GrammarRule::export_options) {
      for (ParseNode opt : c.children()) {
        if (opt.rule() != GrammarRule::export_option) continue;
        std::optional<std::string> key;
        std::optional<PropertyValue> value;
        for (ParseNode k : opt.children()) {
          if (k.rule() == GrammarRule::identifier && !key) key = std::string(k.text());
          if (k.rule() == GrammarRule::value) {
            auto v = build_property_value(k);
            if (!v) return std::unexpected(v.error());
            value = std::move(*v);
          }
        }
        if (key && value) out.options.insert_or_assign(std::move(*key), std::move(*value));
      }
    }
  }
  return out;
}

template <class T, class Slot>
bool assign(DbResult<T>&& r, Slot& slot, std::optional<DbError>& error) {
  if (!r) {
    error = std::move(r.error());
    return false;
  }
  slot = std::move(*r);
  return true;
}

}  // namespace

DbResult<ast::Query> build_query(const ParseNode& node) {
  std::optional<ast::FindClause> find;
  std::optional<ast::FromClause> from;
  ast::Query q;
  std::optional<DbError> err;
  for (ParseNode body : node.children()) {
    if (body.rule() != GrammarRule::query_body) continue;
    for (ParseNode c : body.children()) {
      bool ok = true;
      switch (c.rule()) {
        case GrammarRule::find_clause: ok = assign(build_find(c), find, err); break;
        case GrammarRule::from_clause: ok = assign(build_from(c), from, err); break;
        case GrammarRule::where_clause: ok = assign(build_where_clause(c), q.filter, err); break;
        case GrammarRule::init_clause: {
          auto t = build_clause_text(c, GrammarRule::init_clause, "INIT");
          if ((ok = t.has_value())) q.init.push_back(std::move(*t)); else err = t.error();
          break;
        }
        case GrammarRule::gather_clause: {
          auto t = build_clause_text(c, GrammarRule::gather_clause, "GATHER");
          if ((ok = t.has_value())) q.gather.push_back(std::move(*t)); else err = t.error();
          break;
        }
        case GrammarRule::return_clause:
          ok = assign(build_clause_text(c, GrammarRule::return_clause, "RETURN"), q.return_expr, err);
          break;
        case GrammarRule::group_clause: ok = assign(build_group_by(c), q.group_by, err); break;
        case GrammarRule::having_clause: ok = assign(build_having(c), q.having, err); break;
        case GrammarRule::order_clause: ok = assign(build_order_by(c), q.order_by, err); break;
        case GrammarRule::limit_clause: ok = assign(build_limit_clause(c), q.limit, err); break;
        case GrammarRule::time_clause: ok = assign(build_time(c), q.time_travel, err); break;
        case GrammarRule::export_clause: ok = assign(build_export(c), q.export_clause, err); break;
        default: break;
      }
      if (!ok) return std::unexpected(std::move(*err));
    }
  }
  if (!find) return build_error("Missing FIND clause");
  if (!from) return build_error("Missing FROM clause");
  q.find = std::move(*find);
  q.from = std::move(*from);
  return q;
}

}  // namespace zudizid::query::zql::parser
