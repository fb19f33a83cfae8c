// Debug rendering of the statement-level syntax tree. Statement nesting is
// shallow (EXPLAIN / PROFILE / SKETCH hold one statement); expressions render
// through Expr::fmt_debug, which does not recurse.
#include <string>

#include "query/zql/parser/ast.h"

namespace zudizid::query::zql::ast {

namespace {

void fmt(std::string& out, const Statement& v);
void fmt(std::string& out, const Quantifier& v);
void fmt(std::string& out, const PatternElement& v);
void fmt(std::string& out, const Pattern& v);
void fmt(std::string& out, const Projection& v);
void fmt(std::string& out, const Assignment& v);
void fmt(std::string& out, const OrderByItem& v);
void fmt(std::string& out, const WhereClause& v);
void fmt(std::string& out, const HavingClause& v);
void fmt(std::string& out, const GroupByClause& v);
void fmt(std::string& out, const OrderByClause& v);
void fmt(std::string& out, const LimitClause& v);
void fmt(std::string& out, const TimeTravelClause& v);
void fmt(std::string& out, const ExportClause& v);
void fmt(std::string& out, const Expr& v);
void fmt(std::string& out, const std::string& text);
void fmt(std::string& out, const ExportFormat& v);
void fmt(std::string& out, const FindClause& v);
void fmt(std::string& out, const FromClause& v);
void fmt(std::string& out, const Query& v);
void fmt(std::string& out, const NodePattern& v);
void fmt(std::string& out, const RelationshipPattern& v);
void fmt(std::string& out, const PropertyMap& m);
void fmt(std::string& out, Direction v);
void fmt(std::string& out, OrderDirection v);
void fmt(std::string& out, index::IndexType v);
void fmt(std::string& out, const AddStmt& v);
void fmt(std::string& out, const UpdateStmt& v);
void fmt(std::string& out, const DeleteStmt& v);
void fmt(std::string& out, const CreateIndexStmt& v);
void fmt(std::string& out, const DropIndexStmt& v);
void fmt(std::string& out, const SketchStmt& v);
void fmt(std::string& out, const CommitStmt& v);
void fmt(std::string& out, bool v);
void fmt(std::string& out, std::uint64_t v);
void fmt(std::string& out, const PropertyValue& v);

void fmt(std::string& out, const std::string& text) { fmt_debug_text(out, text); }
void fmt(std::string& out, bool v) { out += v ? "true" : "false"; }
void fmt(std::string& out, std::uint64_t v) { out += std::to_string(v); }
void fmt(std::string& out, const PropertyValue& v) { v.fmt_debug(out); }
void fmt(std::string& out, const Expr& v) { v.fmt_debug(out); }

void fmt(std::string& out, Direction v) {
  out += v == Direction::Outgoing ? "Outgoing" : v == Direction::Incoming ? "Incoming" : "Bidirectional";
}
void fmt(std::string& out, OrderDirection v) { out += v == OrderDirection::Asc ? "Asc" : "Desc"; }
void fmt(std::string& out, index::IndexType v) { out += index::index_type_name(v); }

template <class T>
void fmt(std::string& out, const std::optional<T>& v) {
  if (!v) {
    out += "None";
    return;
  }
  out += "Some(";
  fmt(out, *v);
  out += ')';
}

template <class T>
void fmt(std::string& out, const std::vector<T>& v) {
  out += '[';
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (i > 0) out += ", ";
    fmt(out, v[i]);
  }
  out += ']';
}

void fmt(std::string& out, const PropertyMap& m) {
  out += '{';
  bool first = true;
  for (const auto& [k, v] : m) {
    if (!first) out += ", ";
    first = false;
    fmt(out, k);
    out += ": ";
    fmt(out, v);
  }
  out += '}';
}

// Struct rendering: Name { field: value, ... }.
class StructWriter {
 public:
  StructWriter(std::string& out, std::string_view name) : out_(out) {
    out_ += name;
    out_ += " { ";
  }
  template <class T>
  StructWriter& field(std::string_view name, const T& value) {
    if (!first_) out_ += ", ";
    first_ = false;
    out_ += name;
    out_ += ": ";
    fmt(out_, value);
    return *this;
  }
  ~StructWriter() { out_ += " }"; }

 private:
  std::string& out_;
  bool first_ = true;
};

void fmt(std::string& out, const Quantifier& v) {
  StructWriter(out, "Quantifier").field("min", v.min).field("max", v.max);
}

void fmt(std::string& out, const NodePattern& v) {
  StructWriter(out, "NodePattern")
      .field("variable", v.variable)
      .field("label", v.label)
      .field("properties", v.properties);
}

void fmt(std::string& out, const RelationshipPattern& v) {
  StructWriter(out, "RelationshipPattern")
      .field("variable", v.variable)
      .field("rel_type", v.rel_type)
      .field("direction", v.direction)
      .field("quantifier", v.quantifier)
      .field("properties", v.properties);
}

void fmt(std::string& out, const PatternElement& v) {
  if (const auto* n = std::get_if<NodePattern>(&v)) {
    out += "Node(";
    fmt(out, *n);
  } else {
    out += "Relationship(";
    fmt(out, std::get<RelationshipPattern>(v));
  }
  out += ')';
}

void fmt(std::string& out, const Pattern& v) { StructWriter(out, "Pattern").field("elements", v.elements); }

void fmt(std::string& out, const Projection& v) {
  if (std::holds_alternative<WildcardProjection>(v)) {
    out += "Wildcard";
  } else if (const auto* a = std::get_if<AllProjection>(&v)) {
    out += "All(";
    fmt(out, a->variable);
    out += ')';
  } else {
    const auto& e = std::get<ExpressionProjection>(v);
    StructWriter(out, "Expression").field("expr", e.expr).field("alias", e.alias);
  }
}

void fmt(std::string& out, const Assignment& v) {
  StructWriter(out, "Assignment")
      .field("variable", v.variable)
      .field("property", v.property)
      .field("value", v.value);
}

void fmt(std::string& out, const FindClause& v) {
  StructWriter(out, "FindClause").field("projections", v.projections).field("distinct", v.distinct);
}
void fmt(std::string& out, const FromClause& v) { StructWriter(out, "FromClause").field("patterns", v.patterns); }
void fmt(std::string& out, const WhereClause& v) { StructWriter(out, "WhereClause").field("condition", v.condition); }
void fmt(std::string& out, const HavingClause& v) {
  StructWriter(out, "HavingClause").field("condition", v.condition);
}
void fmt(std::string& out, const GroupByClause& v) {
  StructWriter(out, "GroupByClause").field("expressions", v.expressions);
}
void fmt(std::string& out, const OrderByItem& v) {
  StructWriter(out, "OrderByItem").field("expression", v.expression).field("order", v.order);
}
void fmt(std::string& out, const OrderByClause& v) { StructWriter(out, "OrderByClause").field("items", v.items); }
void fmt(std::string& out, const LimitClause& v) {
  StructWriter(out, "LimitClause").field("limit", v.limit).field("offset", v.offset);
}
void fmt(std::string& out, const TimeTravelClause& v) {
  StructWriter(out, "TimeTravelClause").field("timestamp", v.timestamp);
}

void fmt(std::string& out, const ExportFormat& v) {
  switch (v.kind) {
    case ExportFormat::Kind::Arrow: out += "Arrow"; break;
    case ExportFormat::Kind::Csv: out += "Csv"; break;
    case ExportFormat::Kind::Json: out += "Json"; break;
    case ExportFormat::Kind::Parquet:
      out += "Parquet(";
      fmt(out, v.parquet_target);
      out += ')';
      break;
  }
}

void fmt(std::string& out, const ExportClause& v) {
  StructWriter(out, "ExportClause").field("format", v.format).field("options", v.options);
}

void fmt(std::string& out, const Query& v) {
  StructWriter(out, "Query")
      .field("export", v.export_clause)
      .field("find", v.find)
      .field("from", v.from)
      .field("filter", v.filter)
      .field("init", v.init)
      .field("gather", v.gather)
      .field("return_expr", v.return_expr)
      .field("group_by", v.group_by)
      .field("having", v.having)
      .field("order_by", v.order_by)
      .field("limit", v.limit)
      .field("time_travel", v.time_travel);
}

void fmt(std::string& out, const AddStmt& v) { StructWriter(out, "AddStmt").field("pattern", v.pattern); }
void fmt(std::string& out, const UpdateStmt& v) {
  StructWriter(out, "UpdateStmt")
      .field("pattern", v.pattern)
      .field("assignments", v.assignments)
      .field("filter", v.filter)
      .field("limit", v.limit);
}
void fmt(std::string& out, const DeleteStmt& v) {
  StructWriter(out, "DeleteStmt").field("pattern", v.pattern).field("filter", v.filter).field("limit", v.limit);
}
void fmt(std::string& out, const CreateIndexStmt& v) {
  StructWriter(out, "CreateIndexStmt")
      .field("index_type", v.index_type)
      .field("label", v.label)
      .field("property", v.property);
}
void fmt(std::string& out, const DropIndexStmt& v) {
  StructWriter(out, "DropIndexStmt").field("index_name", v.index_name);
}
void fmt(std::string& out, const SketchStmt& v) {
  StructWriter(out, "SketchStmt")
      .field("name", v.name)
      .field("operation", *v.operation)
      .field("description", v.description);
}
void fmt(std::string& out, const CommitStmt& v) {
  StructWriter(out, "CommitStmt").field("sketch_name", v.sketch_name);
}

template <class T>
void wrapped(std::string& out, std::string_view name, const T& payload) {
  out += name;
  out += '(';
  fmt(out, payload);
  out += ')';
}

void fmt(std::string& out, const Statement& v) {
  std::visit(
      [&out](const auto& s) {
        using T = std::decay_t<decltype(s)>;
        if constexpr (std::is_same_v<T, Query>) wrapped(out, "Query", s);
        if constexpr (std::is_same_v<T, SketchStmt>) wrapped(out, "Sketch", s);
        if constexpr (std::is_same_v<T, CommitStmt>) wrapped(out, "Commit", s);
        if constexpr (std::is_same_v<T, DeleteStmt>) wrapped(out, "Delete", s);
        if constexpr (std::is_same_v<T, UpdateStmt>) wrapped(out, "Update", s);
        if constexpr (std::is_same_v<T, AddStmt>) wrapped(out, "Add", s);
        if constexpr (std::is_same_v<T, CreateIndexStmt>) wrapped(out, "CreateIndex", s);
        if constexpr (std::is_same_v<T, DropIndexStmt>) wrapped(out, "DropIndex", s);
        if constexpr (std::is_same_v<T, ExplainStmt>) wrapped(out, "Explain", *s.statement);
        if constexpr (std::is_same_v<T, ProfileStmt>) wrapped(out, "Profile", *s.statement);
      },
      v.node);
}

template <class T>
std::string render(const T& v) {
  std::string out;
  fmt(out, v);
  return out;
}

}  // namespace

std::string debug_string(const Statement& v) { return render(v); }
std::string debug_string(const Query& v) { return render(v); }
std::string debug_string(const Pattern& v) { return render(v); }
std::string debug_string(const PatternElement& v) { return render(v); }
std::string debug_string(const Projection& v) { return render(v); }
std::string debug_string(const Assignment& v) { return render(v); }
std::string debug_string(const FindClause& v) { return render(v); }
std::string debug_string(const WhereClause& v) { return render(v); }
std::string debug_string(const OrderByItem& v) { return render(v); }
std::string debug_string(const LimitClause& v) { return render(v); }
std::string debug_string(const ExportClause& v) { return render(v); }
std::string debug_string(const Quantifier& v) { return render(v); }
std::string debug_string(Direction v) { return render(v); }
std::string debug_string(OrderDirection v) { return render(v); }

}  // namespace zudizid::query::zql::ast
