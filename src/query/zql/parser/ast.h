// The ZQL syntax tree: one parsed statement, handed from the parser to the
// executor. Every value owns its children (nothing is shared, nothing points
// back), so copies are deep. Only Expr is compared (ast_expr.h).
//
// Every type renders as a one-line debug text: the type name, " { ", each
// field as "name: value" joined by ", ", then " }"; variants as their name,
// with a payload in parentheses; None / Some(x); lists in [ ]; maps in { };
// texts double-quoted and escaped.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "index/index_type.h"
#include "query/zql/parser/ast_expr.h"
#include "storage/property_value.h"

namespace zudizid::query::zql::ast {

// Owned, separately allocated child with deep copy (a statement can hold a
// statement).
template <class T>
class Box {
 public:
  Box() : p_(std::make_unique<T>()) {}
  Box(T value) : p_(std::make_unique<T>(std::move(value))) {}  // NOLINT: implicit by design
  Box(const Box& o) : p_(std::make_unique<T>(*o.p_)) {}
  Box& operator=(const Box& o) {
    if (this != &o) p_ = std::make_unique<T>(*o.p_);
    return *this;
  }
  Box(Box&&) noexcept = default;
  Box& operator=(Box&&) noexcept = default;
  T& operator*() { return *p_; }
  const T& operator*() const { return *p_; }
  T* operator->() { return p_.get(); }
  const T* operator->() const { return p_.get(); }

 private:
  std::unique_ptr<T> p_;
};

using PropertyMap = std::unordered_map<std::string, PropertyValue>;

// ---- patterns -------------------------------------------------------------

enum class Direction : std::uint8_t { Outgoing = 0, Incoming = 1, Bidirectional = 2 };

struct Quantifier {
  std::uint64_t min = 1;
  std::optional<std::uint64_t> max;  // absent: no upper bound
};

struct NodePattern {
  std::optional<std::string> variable;
  std::optional<std::string> label;
  PropertyMap properties;
};

struct RelationshipPattern {
  std::optional<std::string> variable;
  std::optional<std::string> rel_type;
  Direction direction = Direction::Outgoing;
  std::optional<Quantifier> quantifier;  // absent: one hop
  PropertyMap properties;
};

// Node(NodePattern) or Relationship(RelationshipPattern).
using PatternElement = std::variant<NodePattern, RelationshipPattern>;

struct Pattern {
  std::vector<PatternElement> elements;
};

// ---- projections and assignments ------------------------------------------

struct WildcardProjection {};
struct AllProjection {
  std::string variable;
};
struct ExpressionProjection {
  Expr expr;
  std::optional<std::string> alias;
};
// Wildcard, All(variable) or Expression { expr, alias }.
using Projection = std::variant<WildcardProjection, AllProjection, ExpressionProjection>;

struct Assignment {
  std::string variable;
  std::string property;
  Expr value;
};

// ---- clauses ---------------------------------------------------------------

enum class OrderDirection : std::uint8_t { Asc = 0, Desc = 1 };

struct ExportFormat {
  enum class Kind : std::uint8_t { Arrow = 0, Csv = 1, Json = 2, Parquet = 3 };
  Kind kind = Kind::Arrow;
  std::string parquet_target;  // Parquet only: the target written after PARQUET
};

struct FindClause {
  std::vector<Projection> projections;
  bool distinct = false;
};
struct FromClause {
  std::vector<Pattern> patterns;
};
struct WhereClause {
  Expr condition;
};
struct HavingClause {
  Expr condition;
};
struct GroupByClause {
  std::vector<Expr> expressions;
};
struct OrderByItem {
  Expr expression;
  OrderDirection order = OrderDirection::Asc;
};
struct OrderByClause {
  std::vector<OrderByItem> items;
};
struct LimitClause {
  std::uint64_t limit = 0;
  std::optional<std::uint64_t> offset;
};
struct TimeTravelClause {
  std::uint64_t timestamp = 0;
};
struct ExportClause {
  ExportFormat format;
  PropertyMap options;  // a key written twice keeps its last value
};

struct Query {
  std::optional<ExportClause> export_clause;  // "export" in debug text
  FindClause find;
  FromClause from;
  std::optional<WhereClause> filter;
  std::vector<std::string> init;
  std::vector<std::string> gather;
  std::optional<std::string> return_expr;
  std::optional<GroupByClause> group_by;
  std::optional<HavingClause> having;
  std::optional<OrderByClause> order_by;
  std::optional<LimitClause> limit;
  std::optional<TimeTravelClause> time_travel;
};

// ---- statements ------------------------------------------------------------

struct Statement;

struct AddStmt {
  Pattern pattern;
};
struct UpdateStmt {
  Pattern pattern;
  std::vector<Assignment> assignments;
  std::optional<WhereClause> filter;
  std::optional<LimitClause> limit;
};
struct DeleteStmt {
  Pattern pattern;
  std::optional<WhereClause> filter;
  std::optional<LimitClause> limit;
};
struct CreateIndexStmt {
  index::IndexType index_type = index::IndexType::Hash;
  std::string label;
  std::string property;
};
struct DropIndexStmt {
  std::string index_name;
};
struct SketchStmt {
  std::string name;
  Box<Statement> operation;
  std::optional<std::string> description;
};
struct CommitStmt {
  std::string sketch_name;
};
struct ExplainStmt {
  Box<Statement> statement;  // renders as Explain(<statement>)
};
struct ProfileStmt {
  Box<Statement> statement;  // renders as Profile(<statement>)
};

struct Statement {
  enum class Kind : std::uint8_t {
    Query = 0,
    Sketch = 1,
    Commit = 2,
    Delete = 3,
    Update = 4,
    Add = 5,
    CreateIndex = 6,
    DropIndex = 7,
    Explain = 8,
    Profile = 9,
  };
  using Node = std::variant<Query, SketchStmt, CommitStmt, DeleteStmt, UpdateStmt, AddStmt,
                            CreateIndexStmt, DropIndexStmt, ExplainStmt, ProfileStmt>;
  Node node;

  Kind kind() const { return static_cast<Kind>(node.index()); }
};

// ---- debug rendering ---------------------------------------------------------

std::string debug_string(const Statement& v);
std::string debug_string(const Query& v);
std::string debug_string(const Pattern& v);
std::string debug_string(const PatternElement& v);
std::string debug_string(const Projection& v);
std::string debug_string(const Assignment& v);
std::string debug_string(const FindClause& v);
std::string debug_string(const WhereClause& v);
std::string debug_string(const OrderByItem& v);
std::string debug_string(const LimitClause& v);
std::string debug_string(const ExportClause& v);
std::string debug_string(const Quantifier& v);
std::string debug_string(Direction v);
std::string debug_string(OrderDirection v);

}  // namespace zudizid::query::zql::ast
