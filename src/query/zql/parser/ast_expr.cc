#include "query/zql/parser/ast_expr.h"

#include <cstdio>
#include <utility>

namespace zudizid::query::zql::ast {

std::string_view debug_name(BinaryOperator op) {
  switch (op) {
    case BinaryOperator::Eq: return "Eq";
    case BinaryOperator::NotEq: return "NotEq";
    case BinaryOperator::Lt: return "Lt";
    case BinaryOperator::Gt: return "Gt";
    case BinaryOperator::LtEq: return "LtEq";
    case BinaryOperator::GtEq: return "GtEq";
    case BinaryOperator::And: return "And";
    case BinaryOperator::Or: return "Or";
    case BinaryOperator::Add: return "Add";
    case BinaryOperator::Sub: return "Sub";
    case BinaryOperator::Mul: return "Mul";
    case BinaryOperator::Div: return "Div";
    case BinaryOperator::Mod: return "Mod";
  }
  return "?";
}

std::string_view debug_name(UnaryOperator op) {
  return op == UnaryOperator::Not ? "Not" : "Neg";
}

void fmt_debug_text(std::string& out, std::string_view text) {
  out += '"';
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += ch;
        }
    }
  }
  out += '"';
}

namespace {

// Moves the direct children of `e` out into `pending`, leaving `e` without
// children, so that dropping it does not recurse.
void take_children(Expr& e, std::vector<Expr>& pending) {
  if (auto* b = std::get_if<Expr::BinaryOp>(&e.node())) {
    if (b->left) pending.push_back(std::move(*b->left));
    if (b->right) pending.push_back(std::move(*b->right));
    b->left.reset();
    b->right.reset();
  } else if (auto* u = std::get_if<Expr::UnaryOp>(&e.node())) {
    if (u->expr) pending.push_back(std::move(*u->expr));
    u->expr.reset();
  } else if (auto* f = std::get_if<Expr::FunctionCall>(&e.node())) {
    for (Expr& a : f->args) pending.push_back(std::move(a));
    f->args.clear();
  }
}

bool has_children(const Expr& e) {
  switch (e.kind()) {
    case Expr::Kind::BinaryOp: {
      const auto& b = std::get<Expr::BinaryOp>(e.node());
      return b.left || b.right;
    }
    case Expr::Kind::UnaryOp: return std::get<Expr::UnaryOp>(e.node()).expr != nullptr;
    case Expr::Kind::FunctionCall: return !std::get<Expr::FunctionCall>(e.node()).args.empty();
    default: return false;
  }
}

}  // namespace

Expr::~Expr() {
  if (!has_children(*this)) return;
  std::vector<Expr> pending;
  take_children(*this, pending);
  while (!pending.empty()) {
    Expr e = std::move(pending.back());
    pending.pop_back();
    take_children(e, pending);
  }
}

Expr::Expr(const Expr& other) : node_(Wildcard{}) {
  std::vector<std::pair<const Expr*, Expr*>> stack{{&other, this}};
  while (!stack.empty()) {
    auto [src, dst] = stack.back();
    stack.pop_back();
    switch (src->kind()) {
      case Kind::Literal:
        dst->node_ = Literal{std::get<Literal>(src->node_).value.clone()};
        break;
      case Kind::Property:
        dst->node_ = std::get<Property>(src->node_);
        break;
      case Kind::BinaryOp: {
        const auto& s = std::get<BinaryOp>(src->node_);
        BinaryOp b{s.left ? std::make_unique<Expr>() : nullptr, s.op,
                   s.right ? std::make_unique<Expr>() : nullptr};
        if (s.left) stack.emplace_back(s.left.get(), b.left.get());
        if (s.right) stack.emplace_back(s.right.get(), b.right.get());
        dst->node_ = std::move(b);
        break;
      }
      case Kind::UnaryOp: {
        const auto& s = std::get<UnaryOp>(src->node_);
        UnaryOp u{s.op, s.expr ? std::make_unique<Expr>() : nullptr};
        if (s.expr) stack.emplace_back(s.expr.get(), u.expr.get());
        dst->node_ = std::move(u);
        break;
      }
      case Kind::FunctionCall: {
        const auto& s = std::get<FunctionCall>(src->node_);
        dst->node_ = FunctionCall{s.name, std::vector<Expr>(s.args.size())};
        auto& args = std::get<FunctionCall>(dst->node_).args;
        for (std::size_t i = 0; i < args.size(); ++i) stack.emplace_back(&s.args[i], &args[i]);
        break;
      }
      case Kind::Wildcard:
        dst->node_ = Wildcard{};
        break;
    }
  }
}

Expr& Expr::operator=(const Expr& other) {
  if (this != &other) {
    Expr copy(other);
    *this = std::move(copy);
  }
  return *this;
}

bool operator==(const Expr& a, const Expr& b) {
  std::vector<std::pair<const Expr*, const Expr*>> stack{{&a, &b}};
  auto push = [&stack](const std::unique_ptr<Expr>& x, const std::unique_ptr<Expr>& y) {
    if (!x || !y) return !x && !y;
    stack.emplace_back(x.get(), y.get());
    return true;
  };
  while (!stack.empty()) {
    auto [x, y] = stack.back();
    stack.pop_back();
    if (x->kind() != y->kind()) return false;
    switch (x->kind()) {
      case Expr::Kind::Literal:
        if (!std::get<Expr::Literal>(x->node()).value.eq(std::get<Expr::Literal>(y->node()).value)) {
          return false;
        }
        break;
      case Expr::Kind::Property: {
        const auto& p = std::get<Expr::Property>(x->node());
        const auto& q = std::get<Expr::Property>(y->node());
        if (p.variable != q.variable || p.property != q.property) return false;
        break;
      }
      case Expr::Kind::BinaryOp: {
        const auto& p = std::get<Expr::BinaryOp>(x->node());
        const auto& q = std::get<Expr::BinaryOp>(y->node());
        if (p.op != q.op || !push(p.left, q.left) || !push(p.right, q.right)) return false;
        break;
      }
      case Expr::Kind::UnaryOp: {
        const auto& p = std::get<Expr::UnaryOp>(x->node());
        const auto& q = std::get<Expr::UnaryOp>(y->node());
        if (p.op != q.op || !push(p.expr, q.expr)) return false;
        break;
      }
      case Expr::Kind::FunctionCall: {
        const auto& p = std::get<Expr::FunctionCall>(x->node());
        const auto& q = std::get<Expr::FunctionCall>(y->node());
        if (p.name != q.name || p.args.size() != q.args.size()) return false;
        for (std::size_t i = 0; i < p.args.size(); ++i) stack.emplace_back(&p.args[i], &q.args[i]);
        break;
      }
      case Expr::Kind::Wildcard:
        break;
    }
  }
  return true;
}

void Expr::fmt_debug(std::string& out) const {
  // Work items: an expression still to render, or text to append.
  using Item = std::variant<const Expr*, std::string_view, std::string>;
  std::vector<Item> stack{this};
  std::vector<Item> parts;
  while (!stack.empty()) {
    Item item = std::move(stack.back());
    stack.pop_back();
    if (auto* sv = std::get_if<std::string_view>(&item)) {
      out += *sv;
      continue;
    }
    if (auto* s = std::get_if<std::string>(&item)) {
      out += *s;
      continue;
    }
    const Expr* e = std::get<const Expr*>(item);
    if (e == nullptr) {
      out += "<none>";
      continue;
    }
    parts.clear();
    switch (e->kind()) {
      case Kind::Literal:
        out += "Literal(";
        std::get<Literal>(e->node_).value.fmt_debug(out);
        out += ')';
        continue;
      case Kind::Property: {
        const auto& p = std::get<Property>(e->node_);
        out += "Property { variable: ";
        fmt_debug_text(out, p.variable);
        out += ", property: ";
        fmt_debug_text(out, p.property);
        out += " }";
        continue;
      }
      case Kind::BinaryOp: {
        const auto& b = std::get<BinaryOp>(e->node_);
        parts.emplace_back(std::string_view("BinaryOp { left: "));
        parts.emplace_back(b.left.get());
        parts.emplace_back(std::string(", op: ") + std::string(debug_name(b.op)) + ", right: ");
        parts.emplace_back(b.right.get());
        parts.emplace_back(std::string_view(" }"));
        break;
      }
      case Kind::UnaryOp: {
        const auto& u = std::get<UnaryOp>(e->node_);
        parts.emplace_back(std::string("UnaryOp { op: ") + std::string(debug_name(u.op)) + ", expr: ");
        parts.emplace_back(u.expr.get());
        parts.emplace_back(std::string_view(" }"));
        break;
      }
      case Kind::FunctionCall: {
        const auto& f = std::get<FunctionCall>(e->node_);
        std::string head = "FunctionCall { name: ";
        fmt_debug_text(head, f.name);
        head += ", args: [";
        parts.emplace_back(std::move(head));
        for (std::size_t i = 0; i < f.args.size(); ++i) {
          if (i > 0) parts.emplace_back(std::string_view(", "));
          parts.emplace_back(&f.args[i]);
        }
        parts.emplace_back(std::string_view("] }"));
        break;
      }
      case Kind::Wildcard:
        out += "Wildcard";
        continue;
    }
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) stack.push_back(std::move(*it));
  }
}

std::string Expr::debug_string() const {
  std::string out;
  fmt_debug(out);
  return out;
}

}  // namespace zudizid::query::zql::ast
