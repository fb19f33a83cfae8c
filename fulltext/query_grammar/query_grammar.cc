// Recursive descent over code points. Each rule either matches and moves the
// cursor, or fails and leaves the cursor where it found it. Every rule that
// recurses (a query inside parentheses, NOT, a field group) parses its inner
// text once, so the work stays linear in the text for a fixed depth.
#include "fulltext/query_grammar/query_grammar.h"

#include <cmath>
#include <cstdlib>

namespace fendral::query_grammar {

namespace {

using Leaf = UserInputLeaf;
using Ast = UserInputAst;

bool is_separator(char32_t c) { return c == U' ' || c == U'\t' || c == U'\n' || c == U'\r'; }

bool is_unicode_ws(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

bool is_field_special(char32_t c) {
  switch (c) {
    case U' ': case U'!': case U'"': case U'\'': case U'(': case U')': case U'*': case U'+':
    case U':': case U'[': case U'\\': case U']': case U'^': case U'`': case U'{': case U'}':
      return true;
    default:
      return false;
  }
}

bool is_word_breaking(char32_t c) {
  switch (c) {
    case U'"': case U'\'': case U'(': case U')': case U':': case U'[': case U'\\': case U']':
    case U'^': case U'`': case U'{': case U'}':
      return true;
    default:
      return false;
  }
}

bool is_bound_breaking(char32_t c) {
  switch (c) {
    case U'"': case U'(': case U')': case U'[': case U']': case U'{': case U'}':
      return true;
    default:
      return false;
  }
}

bool is_digit(char32_t c) { return c >= U'0' && c <= U'9'; }

// The text as code points, each with the byte where it starts (plus the end),
// so that matched texts are copied from the input byte for byte. A byte that
// does not start a well-formed sequence stands for itself as U+FFFD.
struct Input {
  std::string_view bytes;
  std::vector<char32_t> cps;
  std::vector<uint32_t> at;

  explicit Input(std::string_view text) : bytes(text) {
    cps.reserve(text.size());
    at.reserve(text.size() + 1);
    size_t i = 0;
    while (i < text.size()) {
      at.push_back(static_cast<uint32_t>(i));
      auto b = static_cast<unsigned char>(text[i]);
      size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
      char32_t cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
      bool ok = len > 0 && i + len <= text.size();
      for (size_t k = 1; ok && k < len; ++k) {
        auto c = static_cast<unsigned char>(text[i + k]);
        if ((c >> 6) != 2) ok = false;
        cp = (cp << 6) | (c & 0x3F);
      }
      if (!ok) {
        cps.push_back(0xFFFD);
        i += 1;
      } else {
        cps.push_back(cp);
        i += len;
      }
    }
    at.push_back(static_cast<uint32_t>(text.size()));
  }
  size_t size() const { return cps.size(); }
  std::string slice(size_t from, size_t to) const { return std::string(bytes.substr(at[from], at[to] - at[from])); }
};

class Parser {
 public:
  explicit Parser(const Input& in) : in_(in) {}

  std::optional<Ast> parse() {
    ws0();
    const size_t start = pos_;
    auto q = query();
    if (!q) {
      if (start == in_.size()) return Ast::clause({});
      return std::nullopt;
    }
    if (pos_ != in_.size()) return std::nullopt;
    return q;
  }

 private:
  const Input& in_;
  size_t pos_ = 0;
  int depth_ = 0;

  struct Signed {
    std::optional<Occur> occur;
    Ast ast;
  };
  enum class Op { None, And, Or };
  struct Joined {
    Op op;
    Signed leaf;
  };

  bool at_end() const { return pos_ >= in_.size(); }
  char32_t peek(size_t ahead = 0) const { return pos_ + ahead < in_.size() ? in_.cps[pos_ + ahead] : 0; }
  bool has(size_t ahead) const { return pos_ + ahead < in_.size(); }
  bool eat(char32_t c) {
    if (!at_end() && in_.cps[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool eat(std::u32string_view s) {
    if (pos_ + s.size() > in_.size()) return false;
    for (size_t i = 0; i < s.size(); ++i) {
      if (in_.cps[pos_ + i] != s[i]) return false;
    }
    pos_ += s.size();
    return true;
  }
  void ws0() {
    while (!at_end() && is_separator(peek())) ++pos_;
  }
  bool ws1() {
    size_t start = pos_;
    ws0();
    return pos_ > start;
  }

  // RAII depth guard for the rules that recurse.
  struct Deeper {
    Parser& p;
    bool ok;
    explicit Deeper(Parser& parser) : p(parser), ok(++parser.depth_ <= kMaxQueryDepth) {}
    ~Deeper() { --p.depth_; }
  };

  // query: ws0, (operator_list | single_item), ws0
  std::optional<Ast> query() {
    const size_t start = pos_;
    ws0();
    auto first = signed_leaf();
    if (!first) {
      pos_ = start;
      return std::nullopt;
    }
    const size_t after_first = pos_;
    std::vector<Joined> rest;
    if (ws1()) {
      while (auto j = joined_item()) rest.push_back(std::move(*j));
    }
    if (rest.empty()) {
      pos_ = after_first;
      ws0();
      if (first->occur == Occur::MustNot) return Ast::clause(item_vec(Occur::MustNot, std::move(first->ast)));
      return std::move(first->ast);
    }
    return group_operators(std::move(*first), std::move(rest));
  }

  static std::vector<Ast::Item> item_vec(std::optional<Occur> occur, Ast ast) {
    std::vector<Ast::Item> v;
    v.emplace_back(occur, std::move(ast));
    return v;
  }

  Ast group_operators(Signed first, std::vector<Joined> rest) {
    std::vector<Joined> items;
    items.reserve(rest.size() + 1);
    items.push_back({Op::None, std::move(first)});
    for (auto& j : rest) items.push_back(std::move(j));
    std::vector<std::vector<Ast::Item>> groups;
    for (size_t i = 0; i < items.size(); ++i) {
      const Op next = i + 1 < items.size() ? items[i + 1].op : Op::None;
      auto& [op, leaf] = items[i];
      auto or_rule = [&] {
        if (leaf.occur == Occur::MustNot && next != Op::And) {
          groups.push_back(item_vec(Occur::Should, Ast::clause(item_vec(Occur::MustNot, std::move(leaf.ast)))));
        } else {
          Occur o = leaf.occur ? *leaf.occur : (next == Op::And ? Occur::Must : Occur::Should);
          groups.push_back(item_vec(o, std::move(leaf.ast)));
        }
      };
      if (op == Op::And) {
        if (groups.empty()) groups.emplace_back();
        groups.back().emplace_back(leaf.occur ? *leaf.occur : Occur::Must, std::move(leaf.ast));
      } else if (op == Op::Or || next == Op::Or) {
        or_rule();
      } else if (next == Op::None) {
        groups.push_back(item_vec(leaf.occur, std::move(leaf.ast)));
      } else {  // no operator, next AND
        groups.push_back(item_vec(leaf.occur ? *leaf.occur : Occur::Must, std::move(leaf.ast)));
      }
    }
    if (groups.size() == 1) return Ast::clause(std::move(groups.front()));
    std::vector<Ast::Item> out;
    for (auto& g : groups) {
      if (g.size() == 1) {
        out.push_back(std::move(g.front()));
      } else {
        out.emplace_back(Occur::Should, Ast::clause(std::move(g)));
      }
    }
    return Ast::clause(std::move(out));
  }

  // joined_item: ["AND " | "OR "], ws0, signed_leaf, ws0
  std::optional<Joined> joined_item() {
    const size_t start = pos_;
    Op op = Op::None;
    if (eat(U"AND ")) {
      op = Op::And;
    } else if (eat(U"OR ")) {
      op = Op::Or;
    }
    ws0();
    auto leaf = signed_leaf();
    if (!leaf) {
      pos_ = start;
      return std::nullopt;
    }
    ws0();
    return Joined{op, std::move(*leaf)};
  }

  std::optional<Signed> signed_leaf() {
    const size_t start = pos_;
    std::optional<Occur> occur;
    if (eat(U'+')) {
      occur = Occur::Must;
    } else if (eat(U'-')) {
      occur = Occur::MustNot;
    }
    auto leaf = leaf_with_boost();
    if (!leaf) {
      pos_ = start;
      return std::nullopt;
    }
    return Signed{occur, std::move(*leaf)};
  }

  std::optional<Ast> leaf_with_boost() {
    auto p = primary();
    if (!p) return std::nullopt;
    const size_t before = pos_;
    if (eat(U'^')) {
      auto d = decimal();
      if (!d) {
        pos_ = before;
        return p;
      }
      double factor = std::strtod(d->c_str(), nullptr);
      if (std::fabs(factor - 1.0) > 2.220446049250313e-16) return Ast::boost(std::move(*p), factor);
    }
    return p;
  }

  // digits ["." digits]
  std::optional<std::string> decimal() {
    const size_t start = pos_;
    while (!at_end() && is_digit(peek())) ++pos_;
    if (pos_ == start) return std::nullopt;
    if (peek() == U'.' && has(1) && is_digit(peek(1))) {
      ++pos_;
      while (!at_end() && is_digit(peek())) ++pos_;
    }
    return in_.slice(start, pos_);
  }

  std::optional<Ast> primary() {
    Deeper guard(*this);
    if (!guard.ok) return std::nullopt;
    const size_t start = pos_;
    if (eat(U'(')) {
      auto q = query();
      if (q && eat(U')')) return q;
      pos_ = start;
    }
    if (peek() == U'*' && (!has(1) || is_separator(peek(1)) || peek(1) == U')')) {
      ++pos_;
      return Ast::leaf({Leaf::All{}});
    }
    if (eat(U"NOT") && ws1()) {
      if (auto inner = primary()) return Ast::clause(item_vec(Occur::MustNot, std::move(*inner)));
    }
    pos_ = start;
    if (auto l = field_leaf()) return l;
    pos_ = start;
    if (auto g = field_group()) return g;
    pos_ = start;
    return std::nullopt;
  }

  // field name, ws0, ":", ws0
  std::optional<std::string> field_prefix() {
    const size_t start = pos_;
    std::string name;
    bool first = true;
    while (!at_end()) {
      char32_t c = peek();
      if (c == U'\\' && has(1) && is_field_special(peek(1))) {
        append(name, pos_ + 1);
        pos_ += 2;
      } else if (first ? (is_field_special(c) || c == U'-') : (is_field_special(c) && c != U'\\')) {
        break;
      } else {
        append(name, pos_);  // a backslash here is not followed by a special character
        ++pos_;
      }
      first = false;
    }
    if (first) {
      pos_ = start;
      return std::nullopt;
    }
    ws0();
    if (!eat(U':')) {
      pos_ = start;
      return std::nullopt;
    }
    ws0();
    return name;
  }

  void append(std::string& out, size_t cp_index) const { out += in_.slice(cp_index, cp_index + 1); }

  std::optional<Ast> field_leaf() {
    const size_t start = pos_;
    auto field = field_prefix();
    std::optional<Leaf> leaf;
    if (auto r = range()) {
      r->field = field;
      leaf = Leaf{std::move(*r)};
    } else if (auto s = set()) {
      s->field = field;
      leaf = Leaf{std::move(*s)};
    } else if (field && exists()) {
      leaf = Leaf{Leaf::Exists{*field}};
    } else if (auto re = regex()) {
      re->field = field;
      leaf = Leaf{std::move(*re)};
    } else if (auto t = term()) {
      t->field_name = field;
      leaf = Leaf{std::move(*t)};
    }
    if (!leaf) {
      pos_ = start;
      return std::nullopt;
    }
    return Ast::leaf(std::move(*leaf));
  }

  std::optional<Ast> field_group() {
    const size_t start = pos_;
    auto field = field_prefix();
    if (!field) return std::nullopt;
    ws0();
    if (eat(U'(')) {
      ws0();
      if (auto q = query(); q && eat(U')')) {
        apply_field(*q, *field);
        return q;
      }
    }
    pos_ = start;
    return std::nullopt;
  }

  // The tree's depth is bounded by the parse depth, so this recursion is too.
  static void apply_field(Ast& ast, const std::string& field) {
    if (auto* c = std::get_if<Ast::Clause>(&ast.v)) {
      for (auto& item : c->items) apply_field(item.second, field);
    } else if (auto* b = std::get_if<Ast::Boost>(&ast.v)) {
      apply_field(*b->inner, field);
    } else {
      auto& leaf = std::get<Leaf>(ast.v);
      std::visit(
          [&](auto& l) {
            using T = std::decay_t<decltype(l)>;
            if constexpr (std::is_same_v<T, Leaf::All>) {
              leaf.v = Leaf::Exists{field};
            } else if constexpr (std::is_same_v<T, UserInputLiteral>) {
              if (!l.field_name) l.field_name = field;
            } else if constexpr (!std::is_same_v<T, Leaf::Exists>) {
              if (!l.field) l.field = field;
            }
          },
          leaf.v);
    }
  }

  std::optional<Leaf::Range> range() {
    if (auto r = comparison_range()) return r;
    return bracket_range();
  }

  std::optional<Leaf::Range> comparison_range() {
    const size_t start = pos_;
    ws0();
    int op = eat(U">=") ? 0 : eat(U"<=") ? 1 : eat(U'<') ? 2 : eat(U'>') ? 3 : -1;
    if (op < 0) {
      pos_ = start;
      return std::nullopt;
    }
    ws0();
    auto v = bound_value();
    if (!v) {
      pos_ = start;
      return std::nullopt;
    }
    using B = UserInputBound;
    switch (op) {
      case 0: return Leaf::Range{std::nullopt, B::inclusive(std::move(*v)), B::unbounded()};
      case 1: return Leaf::Range{std::nullopt, B::unbounded(), B::inclusive(std::move(*v))};
      case 2: return Leaf::Range{std::nullopt, B::unbounded(), B::exclusive(std::move(*v))};
      default: return Leaf::Range{std::nullopt, B::exclusive(std::move(*v)), B::unbounded()};
    }
  }

  std::optional<Leaf::Range> bracket_range() {
    const size_t start = pos_;
    auto fail = [&]() -> std::optional<Leaf::Range> {
      pos_ = start;
      return std::nullopt;
    };
    bool lower_inclusive;
    if (eat(U'[')) {
      lower_inclusive = true;
    } else if (eat(U'{')) {
      lower_inclusive = false;
    } else {
      return std::nullopt;
    }
    ws0();
    auto lo = bound_value();
    if (!lo || !ws1() || !eat(U"TO") || !ws1()) return fail();
    auto hi = bound_value();
    if (!hi) return fail();
    ws0();
    bool upper_inclusive;
    if (eat(U']')) {
      upper_inclusive = true;
    } else if (eat(U'}')) {
      upper_inclusive = false;
    } else {
      return fail();
    }
    auto bound = [](std::string v, bool inclusive) {
      if (v == "*") return UserInputBound::unbounded();
      return inclusive ? UserInputBound::inclusive(std::move(v)) : UserInputBound::exclusive(std::move(v));
    };
    return Leaf::Range{std::nullopt, bound(std::move(*lo), lower_inclusive), bound(std::move(*hi), upper_inclusive)};
  }

  std::optional<std::string> negative_number() {
    const size_t start = pos_;
    if (!eat(U'-') || !decimal()) {
      pos_ = start;
      return std::nullopt;
    }
    return in_.slice(start, pos_);
  }

  std::optional<std::string> bound_value() {
    if (auto n = negative_number()) return n;
    const size_t start = pos_;
    if (at_end() || is_unicode_ws(peek()) || is_bound_breaking(peek()) || peek() == U'`') return std::nullopt;
    ++pos_;
    while (!at_end() && !is_unicode_ws(peek()) && !is_bound_breaking(peek())) ++pos_;
    return in_.slice(start, pos_);
  }

  std::optional<Leaf::Set> set() {
    const size_t start = pos_;
    auto fail = [&]() -> std::optional<Leaf::Set> {
      pos_ = start;
      return std::nullopt;
    };
    ws0();
    if (!eat(U"IN") || !ws1() || !eat(U'[')) return fail();
    ws0();
    Leaf::Set s;
    if (auto first = term_text()) {
      s.elements.push_back(std::move(first->first));
      for (;;) {
        const size_t before = pos_;
        if (!ws1()) break;
        auto next = term_text();
        if (!next) {
          pos_ = before;
          break;
        }
        s.elements.push_back(std::move(next->first));
      }
    }
    if (!eat(U']')) return fail();
    return s;
  }

  bool exists() {
    const size_t start = pos_;
    ws0();
    if (eat(U'*') && (at_end() || is_unicode_ws(peek()) || is_word_breaking(peek()))) return true;
    pos_ = start;
    return false;
  }

  std::optional<Leaf::Regex> regex() {
    const size_t start = pos_;
    if (!eat(U'/')) return std::nullopt;
    std::string pattern;
    size_t chars = 0;
    while (!at_end() && peek() != U'/') {
      if (peek() == U'\\' && peek(1) == U'/' && has(1)) {
        pattern += '/';
        pos_ += 2;
      } else {
        append(pattern, pos_);
        ++pos_;
      }
      ++chars;
    }
    if (chars == 0 || !eat(U'/') || !(at_end() || is_separator(peek()) || peek() == U')')) {
      pos_ = start;
      return std::nullopt;
    }
    return Leaf::Regex{std::nullopt, std::move(pattern)};
  }

  std::optional<UserInputLiteral> term() {
    auto text = term_text();
    if (!text) return std::nullopt;
    UserInputLiteral lit{std::nullopt, std::move(text->first), text->second, 0, false};
    const size_t before = pos_;
    if (eat(U'*')) {
      lit.prefix = true;
    } else if (eat(U'~')) {
      const size_t digits = pos_;
      uint64_t v = 0;
      bool fits = true;
      while (!at_end() && is_digit(peek())) {
        if (fits) {
          v = v * 10 + (peek() - U'0');
          fits = v <= UINT32_MAX;
        }
        ++pos_;
      }
      if (pos_ == digits || !fits) {
        pos_ = before;
      } else {
        lit.slop = static_cast<uint32_t>(v);
      }
    }
    return lit;
  }

  std::optional<std::pair<std::string, Delimiter>> term_text() {
    if (auto n = negative_number()) return std::pair{std::move(*n), Delimiter::None};
    if (auto q = quoted(U'\'')) return std::pair{std::move(*q), Delimiter::SingleQuotes};
    if (auto q = quoted(U'"')) return std::pair{std::move(*q), Delimiter::DoubleQuotes};
    if (auto w = word()) return std::pair{std::move(*w), Delimiter::None};
    return std::nullopt;
  }

  std::optional<std::string> quoted(char32_t delimiter) {
    const size_t start = pos_;
    if (!eat(delimiter)) return std::nullopt;
    std::string out;
    while (!at_end() && peek() != delimiter) {
      if (peek() == U'\\' && has(1)) ++pos_;
      append(out, pos_);
      ++pos_;
    }
    if (!eat(delimiter)) {
      pos_ = start;
      return std::nullopt;
    }
    return out;
  }

  std::optional<std::string> word() {
    const size_t start = pos_;
    bool escaped = false;
    while (!at_end()) {
      char32_t c = peek();
      if (c == U'\\' && has(1)) {
        escaped = true;
        pos_ += 2;
      } else if (is_unicode_ws(c) || is_word_breaking(c) || (pos_ == start && c == U'-')) {
        break;
      } else {
        ++pos_;
      }
    }
    if (pos_ == start) return std::nullopt;
    std::string written = in_.slice(start, pos_);
    if (written == "AND" || written == "OR" || written == "NOT" || written == "IN") {
      pos_ = start;
      return std::nullopt;
    }
    if (!escaped) return written;
    std::string out;
    for (size_t i = start; i < pos_; ++i) {
      if (in_.cps[i] == U'\\') {
        char32_t c = in_.cps[i + 1];
        if (!(is_unicode_ws(c) || is_word_breaking(c) || c == U'-')) append(out, i);
        append(out, i + 1);
        ++i;
      } else {
        append(out, i);
      }
    }
    return out;
  }
};

}  // namespace

std::optional<UserInputAst> parse_query(std::string_view text) {
  Input in(text);
  return Parser(in).parse();
}

}  // namespace fendral::query_grammar
