// The user syntax tree: what the query grammar makes of a search text, before
// any schema is consulted. Field names, terms, bounds and patterns are plain
// texts here; the query parser resolves them.
//
//   auto ast = parse_query("title:cat AND \"big dog\"~2");   // query_grammar.h
//   if (ast) ast = simplify(std::move(*ast));
//
// A tree is strict (every node owns its children), copyable and comparable
// for structural equality.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "fulltext/query/occur.h"

namespace fendral::query_grammar {

using query::Occur;

enum class Delimiter : uint8_t { SingleQuotes, DoubleQuotes, None };

struct UserInputBound {
  enum class Kind : uint8_t { Inclusive, Exclusive, Unbounded };
  Kind kind = Kind::Unbounded;
  std::string value;  // empty when unbounded

  static UserInputBound inclusive(std::string v) { return {Kind::Inclusive, std::move(v)}; }
  static UserInputBound exclusive(std::string v) { return {Kind::Exclusive, std::move(v)}; }
  static UserInputBound unbounded() { return {}; }
  bool operator==(const UserInputBound&) const = default;
};

struct UserInputLiteral {
  std::optional<std::string> field_name;
  std::string phrase;
  Delimiter delimiter = Delimiter::None;
  uint32_t slop = 0;
  bool prefix = false;
  bool operator==(const UserInputLiteral&) const = default;
};

struct UserInputLeaf {
  struct All {
    bool operator==(const All&) const = default;
  };
  struct Range {
    std::optional<std::string> field;
    UserInputBound lower, upper;
    bool operator==(const Range&) const = default;
  };
  struct Set {
    std::optional<std::string> field;
    std::vector<std::string> elements;
    bool operator==(const Set&) const = default;
  };
  struct Exists {
    std::string field;
    bool operator==(const Exists&) const = default;
  };
  struct Regex {
    std::optional<std::string> field;
    std::string pattern;
    bool operator==(const Regex&) const = default;
  };

  std::variant<UserInputLiteral, All, Range, Set, Exists, Regex> v;
  bool operator==(const UserInputLeaf&) const = default;
};

struct UserInputAst;

// One owned child, deep-copied with its parent.
class AstBox {
 public:
  explicit AstBox(UserInputAst ast);
  AstBox(const AstBox& o);
  AstBox(AstBox&&) noexcept = default;
  AstBox& operator=(const AstBox& o);
  AstBox& operator=(AstBox&&) noexcept = default;
  ~AstBox();
  const UserInputAst& operator*() const { return *p_; }
  UserInputAst& operator*() { return *p_; }
  const UserInputAst* operator->() const { return p_.get(); }
  UserInputAst* operator->() { return p_.get(); }
  bool operator==(const AstBox& o) const;

 private:
  std::unique_ptr<UserInputAst> p_;
};

struct UserInputAst {
  using Item = std::pair<std::optional<Occur>, UserInputAst>;
  struct Clause {
    std::vector<Item> items;  // may be empty: the empty query
    bool operator==(const Clause&) const = default;
  };
  struct Boost {
    AstBox inner;
    double factor;
    bool operator==(const Boost&) const = default;
  };

  std::variant<Clause, UserInputLeaf, Boost> v;

  static UserInputAst clause(std::vector<Item> items) { return {Clause{std::move(items)}}; }
  static UserInputAst leaf(UserInputLeaf l) { return {std::move(l)}; }
  static UserInputAst boost(UserInputAst inner, double factor) { return {Boost{AstBox(std::move(inner)), factor}}; }
  bool operator==(const UserInputAst&) const = default;
};

// A hash consistent with ==.
size_t hash_value(const UserInputAst& ast);

// Normalises a Clause: children first, then repeated items of one list go
// (the first stays), then an item without occur whose tree is a one-item
// Clause is replaced by that inner item. Leaves and Boosts are returned as
// they are (a Boost's contents are not visited).
UserInputAst simplify(UserInputAst ast);

// A readable form for tests and messages: a, title:"big cat"~2, (+a -b), ...
std::string debug_string(const UserInputAst& ast);

}  // namespace fendral::query_grammar
