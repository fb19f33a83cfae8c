#include "fulltext/query_grammar/user_input_ast.h"

#include <fmt/format.h>

#include <bit>
#include <functional>
#include <unordered_map>

namespace fendral::query_grammar {

AstBox::AstBox(UserInputAst ast) : p_(std::make_unique<UserInputAst>(std::move(ast))) {}
AstBox::AstBox(const AstBox& o) : p_(std::make_unique<UserInputAst>(*o.p_)) {}
AstBox& AstBox::operator=(const AstBox& o) {
  if (this != &o) p_ = std::make_unique<UserInputAst>(*o.p_);
  return *this;
}
AstBox::~AstBox() = default;
bool AstBox::operator==(const AstBox& o) const { return *p_ == *o.p_; }

namespace {

size_t mix(size_t h, size_t v) { return h ^ (v + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2)); }
size_t hs(const std::string& s) { return std::hash<std::string>{}(s); }
size_t hs(const std::optional<std::string>& s) { return s ? mix(1, hs(*s)) : 0; }
size_t hs(const UserInputBound& b) { return mix(static_cast<size_t>(b.kind), hs(b.value)); }

size_t hash_leaf(const UserInputLeaf& leaf) {
  size_t h = leaf.v.index();
  std::visit(
      [&](const auto& l) {
        using T = std::decay_t<decltype(l)>;
        if constexpr (std::is_same_v<T, UserInputLiteral>) {
          h = mix(mix(mix(mix(mix(h, hs(l.field_name)), hs(l.phrase)), static_cast<size_t>(l.delimiter)), l.slop),
                  l.prefix);
        } else if constexpr (std::is_same_v<T, UserInputLeaf::Range>) {
          h = mix(mix(mix(h, hs(l.field)), hs(l.lower)), hs(l.upper));
        } else if constexpr (std::is_same_v<T, UserInputLeaf::Set>) {
          h = mix(h, hs(l.field));
          for (const auto& e : l.elements) h = mix(h, hs(e));
        } else if constexpr (std::is_same_v<T, UserInputLeaf::Exists>) {
          h = mix(h, hs(l.field));
        } else if constexpr (std::is_same_v<T, UserInputLeaf::Regex>) {
          h = mix(mix(h, hs(l.field)), hs(l.pattern));
        }
      },
      leaf.v);
  return h;
}

size_t occur_hash(const std::optional<Occur>& o) { return o ? 1 + static_cast<size_t>(*o) : 0; }

}  // namespace

size_t hash_value(const UserInputAst& ast) {
  size_t h = ast.v.index();
  if (const auto* c = std::get_if<UserInputAst::Clause>(&ast.v)) {
    for (const auto& [occur, child] : c->items) h = mix(mix(h, occur_hash(occur)), hash_value(child));
  } else if (const auto* l = std::get_if<UserInputLeaf>(&ast.v)) {
    h = mix(h, hash_leaf(*l));
  } else {
    const auto& b = std::get<UserInputAst::Boost>(ast.v);
    // -0.0 == 0.0 must hash alike.
    h = mix(mix(h, hash_value(*b.inner)), b.factor == 0.0 ? 0 : std::bit_cast<uint64_t>(b.factor));
  }
  return h;
}

UserInputAst simplify(UserInputAst ast) {
  auto* clause = std::get_if<UserInputAst::Clause>(&ast.v);
  if (clause == nullptr) return ast;
  std::vector<UserInputAst::Item> kept;
  kept.reserve(clause->items.size());
  // Items seen in this list, by hash: indexes into `kept`.
  std::unordered_multimap<size_t, size_t> seen;
  for (auto& [occur, child] : clause->items) {
    UserInputAst::Item item{occur, simplify(std::move(child))};
    size_t h = mix(occur_hash(item.first), hash_value(item.second));
    bool duplicate = false;
    for (auto [it, end] = seen.equal_range(h); it != end; ++it) {
      if (kept[it->second] == item) {
        duplicate = true;
        break;
      }
    }
    if (duplicate) continue;
    seen.emplace(h, kept.size());
    kept.push_back(std::move(item));
  }
  for (auto& item : kept) {
    if (item.first) continue;
    auto* inner = std::get_if<UserInputAst::Clause>(&item.second.v);
    if (inner == nullptr || inner->items.size() != 1) continue;
    UserInputAst::Item only = std::move(inner->items.front());
    item = std::move(only);
  }
  return UserInputAst::clause(std::move(kept));
}

namespace {

std::string field_prefix(const std::optional<std::string>& f) { return f ? *f + ":" : ""; }

std::string bound_string(const UserInputBound& b, bool lower) {
  switch (b.kind) {
    case UserInputBound::Kind::Inclusive: return (lower ? "[" : "") + b.value + (lower ? "" : "]");
    case UserInputBound::Kind::Exclusive: return (lower ? "{" : "") + b.value + (lower ? "" : "}");
    case UserInputBound::Kind::Unbounded: return lower ? "{*" : "*}";
  }
  return "";
}

std::string leaf_string(const UserInputLeaf& leaf) {
  return std::visit(
      [](const auto& l) -> std::string {
        using T = std::decay_t<decltype(l)>;
        if constexpr (std::is_same_v<T, UserInputLiteral>) {
          std::string q = l.delimiter == Delimiter::DoubleQuotes   ? "\""
                          : l.delimiter == Delimiter::SingleQuotes ? "'"
                                                                   : "";
          std::string s = field_prefix(l.field_name) + q + l.phrase + q;
          if (l.slop > 0) s += fmt::format("~{}", l.slop);
          if (l.prefix) s += "*";
          return s;
        } else if constexpr (std::is_same_v<T, UserInputLeaf::All>) {
          return "*";
        } else if constexpr (std::is_same_v<T, UserInputLeaf::Range>) {
          return field_prefix(l.field) + bound_string(l.lower, true) + " TO " + bound_string(l.upper, false);
        } else if constexpr (std::is_same_v<T, UserInputLeaf::Set>) {
          return field_prefix(l.field) + "IN [" + fmt::format("{}", fmt::join(l.elements, " ")) + "]";
        } else if constexpr (std::is_same_v<T, UserInputLeaf::Exists>) {
          return l.field + ":*";
        } else {
          return field_prefix(l.field) + "/" + l.pattern + "/";
        }
      },
      leaf.v);
}

}  // namespace

std::string debug_string(const UserInputAst& ast) {
  if (const auto* c = std::get_if<UserInputAst::Clause>(&ast.v)) {
    std::string s = "(";
    for (size_t i = 0; i < c->items.size(); ++i) {
      if (i > 0) s += " ";
      const auto& [occur, child] = c->items[i];
      if (occur) s += *occur == Occur::Must ? "+" : *occur == Occur::MustNot ? "-" : "?";
      s += debug_string(child);
    }
    return s + ")";
  }
  if (const auto* l = std::get_if<UserInputLeaf>(&ast.v)) return leaf_string(*l);
  const auto& b = std::get<UserInputAst::Boost>(ast.v);
  return fmt::format("{}^{}", debug_string(*b.inner), b.factor);
}

}  // namespace fendral::query_grammar
