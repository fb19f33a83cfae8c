#include "query/zql/parser/build_pattern.h"

#include <string>
#include <vector>

#include "query/zql/parser/build_expression.h"
#include "query/zql/parser/text_scan.h"

namespace zudizid::query::zql::parser {

using ast::Direction;
using grammar::GrammarRule;
using grammar::ParseNode;

namespace {

// Fills `map` from a `property_map` node; a later key replaces an earlier one.
DbResult<void> fill_properties(const ParseNode& node, ast::PropertyMap& map) {
  for (ParseNode prop : node.children()) {
    if (prop.rule() != GrammarRule::property) continue;
    std::optional<std::string> key;
    std::optional<PropertyValue> value;
    for (ParseNode c : prop.children()) {
      if (c.rule() == GrammarRule::identifier && !key) key = std::string(c.text());
      if (c.rule() == GrammarRule::value) {
        auto v = build_property_value(c);
        if (!v) return std::unexpected(v.error());
        value = std::move(*v);
      }
    }
    if (key && value) map.insert_or_assign(std::move(*key), std::move(*value));
  }
  return {};
}

DbResult<ast::NodePattern> build_node(const ParseNode& node) {
  ast::NodePattern out;
  for (ParseNode c : node.children()) {
    switch (c.rule()) {
      case GrammarRule::identifier:
        if (!out.variable) out.variable = std::string(c.text());
        break;
      case GrammarRule::label_spec:
        for (ParseNode l : c.children()) {
          if (l.rule() == GrammarRule::identifier) out.label = std::string(l.text());
        }
        break;
      case GrammarRule::property_map: {
        auto r = fill_properties(c, out.properties);
        if (!r) return std::unexpected(r.error());
        break;
      }
      default: break;
    }
  }
  return out;
}

// The relationship specification: a lone name is the variable, or the type
// in the ":" form; two names are variable and type.
DbResult<void> apply_spec(const ParseNode& node, ast::RelationshipPattern& rel) {
  const bool colon_form = !node.text().empty() && node.text().front() == ':';
  std::vector<std::string_view> names;
  for (ParseNode c : node.children()) {
    if (c.rule() == GrammarRule::identifier) names.push_back(c.text());
    if (c.rule() == GrammarRule::property_map) {
      auto r = fill_properties(c, rel.properties);
      if (!r) return r;
    }
  }
  if (colon_form) {
    if (!names.empty()) rel.rel_type = std::string(names[0]);
  } else if (names.size() == 1) {
    rel.variable = std::string(names[0]);
  } else if (names.size() >= 2) {
    rel.variable = std::string(names[0]);
    rel.rel_type = std::string(names[1]);
  }
  return {};
}

// Quantifier forms: {n} exact, {n,} open-ended, {n,m}. Every bound must read
// as an unsigned 64-bit count; ranges (zero, min > max) are the executor's.
DbResult<ast::Quantifier> build_quantifier(const ParseNode& node) {
  const bool comma = node.text().find(',') != std::string_view::npos;
  std::vector<std::uint64_t> bounds;
  for (ParseNode c : node.children()) {
    if (c.rule() != GrammarRule::number) continue;
    auto v = grammar::read_count(c.text());
    if (!v) return build_error("Invalid quantifier bound: " + std::string(c.text()));
    bounds.push_back(*v);
  }
  ast::Quantifier q;
  if (!comma && bounds.size() == 1) {
    q.min = bounds[0];
    q.max = bounds[0];
  } else if (comma && bounds.size() == 1) {
    q.min = bounds[0];
  } else if (comma && bounds.size() == 2) {
    q.min = bounds[0];
    q.max = bounds[1];
  } else {
    return build_error("Invalid quantifier: " + std::string(node.text()));
  }
  return q;
}

// Direction of the first arrow text. The bracketed form joins its two pieces
// (left then right); the heads decide: both ends -> Bidirectional, a head
// pointing right -> Outgoing, pointing left -> Incoming, none -> Outgoing.
// Heads pointing at each other (-><-) cannot be meant and are refused.
DbResult<Direction> arrow_direction(const std::vector<std::string>& arrows) {
  if (arrows.empty()) return Direction::Outgoing;
  const std::string& s = arrows.front();
  if (s == "-><-") return build_error("Invalid relationship direction: " + s);
  const bool left_head = s.starts_with("<-");
  const bool right_head = s.ends_with("->");
  if (left_head && right_head) return Direction::Bidirectional;
  if (right_head) return Direction::Outgoing;
  if (left_head) return Direction::Incoming;
  // Pieces without a head at the ends: ->- points right, -<- points left.
  if (s.find("<-") != std::string::npos) return Direction::Incoming;
  return Direction::Outgoing;
}

DbResult<ast::RelationshipPattern> build_relationship(const ParseNode& node) {
  ast::RelationshipPattern rel;
  std::vector<std::string> arrows;
  for (ParseNode c : node.children()) {
    if (c.rule() == GrammarRule::arrow_pattern) {
      arrows.emplace_back(c.text());
    } else if (c.rule() == GrammarRule::arrow_with_spec) {
      std::optional<std::string_view> left, right;
      for (ParseNode p : c.children()) {
        switch (p.rule()) {
          case GrammarRule::arrow_left: left = p.text(); break;
          case GrammarRule::arrow_right: right = p.text(); break;
          case GrammarRule::relationship_spec: {
            auto r = apply_spec(p, rel);
            if (!r) return std::unexpected(r.error());
            break;
          }
          case GrammarRule::quantifier: {
            auto q = build_quantifier(p);
            if (!q) return std::unexpected(q.error());
            rel.quantifier = *q;
            break;
          }
          default: break;
        }
      }
      if (left && right) arrows.push_back(std::string(*left) + std::string(*right));
    }
  }
  auto dir = arrow_direction(arrows);
  if (!dir) return std::unexpected(dir.error());
  rel.direction = *dir;
  return rel;
}

}  // namespace

DbResult<ast::Pattern> build_pattern(const ParseNode& node) {
  ast::Pattern pattern;
  for (ParseNode c : node.children()) {
    if (c.rule() == GrammarRule::node) {
      auto n = build_node(c);
      if (!n) return std::unexpected(n.error());
      pattern.elements.emplace_back(std::move(*n));
    } else if (c.rule() == GrammarRule::relationship) {
      auto r = build_relationship(c);
      if (!r) return std::unexpected(r.error());
      pattern.elements.emplace_back(std::move(*r));
    }
  }
  return pattern;
}

}  // namespace zudizid::query::zql::parser
