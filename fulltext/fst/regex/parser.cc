#include "fulltext/fst/regex/parser.h"

#include <optional>

#include "fulltext/common/utf8.h"

namespace fendral::fst::regex {

namespace {

using unicode::Class;

struct Flags {
  bool i = false;
  bool s = false;
  bool x = false;
  bool u = true;
  bool swap_greed = false;
};

class Parser {
 public:
  explicit Parser(std::string_view p) : p_(p) {}

  std::expected<Hir, std::string> run() {
    auto h = alternation();
    if (!h) return h;
    if (pos_ < p_.size()) return fail("unopened group");
    return h;
  }

 private:
  std::unexpected<std::string> fail(std::string msg) const {
    return std::unexpected("regex parse error at offset " + std::to_string(pos_) + ": " + msg);
  }
  bool eof() const { return pos_ >= p_.size(); }
  char peek() const { return p_[pos_]; }

  // Decodes the scalar value at pos_ (the pattern is checked to be UTF-8).
  uint32_t next_char() {
    uint32_t cp = 0;
    size_t n = fendral::decode_utf8(p_, pos_, &cp);
    pos_ += n == 0 ? 1 : n;
    return cp;
  }

  void skip_space() {
    if (!flags_.x) return;
    while (!eof()) {
      char c = peek();
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
        ++pos_;
      } else if (c == '#') {
        while (!eof() && peek() != '\n') ++pos_;
      } else {
        break;
      }
    }
  }

  std::expected<void, std::string> enter() {
    if (++depth_ > kNestLimit) return fail("exceed the nest limit of 250");
    return {};
  }

  std::expected<Hir, std::string> alternation() {
    std::vector<Hir> branches;
    while (true) {
      auto c = concat();
      if (!c) return c;
      branches.push_back(std::move(*c));
      if (eof() || peek() != '|') break;
      ++pos_;
    }
    if (branches.size() == 1) return std::move(branches[0]);
    Hir h;
    h.kind = Hir::Kind::Alternation;
    h.subs = std::move(branches);
    return h;
  }

  std::expected<Hir, std::string> concat() {
    std::vector<Hir> items;
    while (true) {
      skip_space();
      if (eof() || peek() == '|' || peek() == ')') break;
      char c = peek();
      if (c == '*' || c == '+' || c == '?' || (c == '{' && !items.empty())) {
        if (items.empty()) return fail("repetition operator missing expression");
        auto r = repetition(std::move(items.back()));
        if (!r) return r;
        items.back() = std::move(*r);
        continue;
      }
      if (c == '{') return fail("repetition operator missing expression");
      if (c == '(' && p_.substr(pos_).starts_with("(?") && is_flag_group()) {
        auto r = flag_group_or_group(items);
        if (!r) return std::unexpected(r.error());
        continue;
      }
      auto a = atom();
      if (!a) return a;
      items.push_back(std::move(*a));
    }
    if (items.empty()) return Hir{};
    if (items.size() == 1) return std::move(items[0]);
    Hir h;
    h.kind = Hir::Kind::Concat;
    h.subs = std::move(items);
    return h;
  }

  // Whether "(?" starts a bare flag setting "(?flags)".
  bool is_flag_group() const {
    size_t i = pos_ + 2;
    while (i < p_.size() && std::string_view("imsxuU-").find(p_[i]) != std::string_view::npos) ++i;
    return i < p_.size() && p_[i] == ')';
  }

  std::expected<void, std::string> flag_group_or_group(std::vector<Hir>&) {
    pos_ += 2;
    auto f = parse_flags();
    if (!f) return std::unexpected(f.error());
    ++pos_;  // ')'
    flags_ = *f;
    return {};
  }

  std::expected<Flags, std::string> parse_flags() {
    Flags f = flags_;
    bool negate = false;
    bool any = false;
    while (!eof() && peek() != ')' && peek() != ':') {
      char c = peek();
      ++pos_;
      bool v = !negate;
      switch (c) {
        case '-':
          if (negate) return fail("duplicate negation in flags");
          negate = true;
          continue;
        case 'i': f.i = v; break;
        case 's': f.s = v; break;
        case 'x': f.x = v; break;
        case 'u': f.u = v; break;
        case 'U': f.swap_greed = v; break;
        case 'm': break;
        default: return fail("unrecognized flag");
      }
      any = true;
    }
    if (eof()) return fail("unclosed group");
    if (negate && !any) return fail("flag negation without any flag");
    return f;
  }

  std::expected<Hir, std::string> repetition(Hir sub) {
    uint32_t min = 0;
    uint32_t max = 0;
    bool bounded = true;
    char c = peek();
    ++pos_;
    if (c == '*') {
      bounded = false;
    } else if (c == '+') {
      min = 1;
      bounded = false;
    } else if (c == '?') {
      max = 1;
    } else {
      skip_space();
      auto lo = number();
      if (!lo) return fail("invalid repetition count");
      min = *lo;
      skip_space();
      if (!eof() && peek() == ',') {
        ++pos_;
        skip_space();
        if (!eof() && peek() == '}') {
          bounded = false;
        } else {
          auto hi = number();
          if (!hi) return fail("invalid repetition count");
          max = *hi;
        }
      } else {
        max = min;
      }
      skip_space();
      if (eof() || peek() != '}') return fail("unclosed counted repetition");
      ++pos_;
      if (bounded && min > max) return fail("invalid repetition count range, the start must be <= the end");
    }
    bool greedy = true;
    if (!eof() && peek() == '?') {
      greedy = false;
      ++pos_;
    }
    if (flags_.swap_greed) greedy = !greedy;
    // Stacked repetitions (a***) nest like groups.
    const uint32_t stacked = (sub.kind == Hir::Kind::Repetition ? sub.depth : 0) + 1;
    if (depth_ + stacked > kNestLimit) return fail("exceed the nest limit of 250");
    Hir h;
    h.kind = Hir::Kind::Repetition;
    h.depth = stacked;
    h.min = min;
    h.max = max;
    h.bounded = bounded;
    h.greedy = greedy;
    h.subs.push_back(std::move(sub));
    return h;
  }

  std::optional<uint32_t> number() {
    size_t start = pos_;
    uint64_t v = 0;
    while (!eof() && peek() >= '0' && peek() <= '9') {
      v = v * 10 + static_cast<uint64_t>(peek() - '0');
      if (v > 0xFFFFFFFF) return std::nullopt;
      ++pos_;
    }
    if (pos_ == start) return std::nullopt;
    return static_cast<uint32_t>(v);
  }

  Hir literal(uint32_t cp) {
    Hir h;
    if (flags_.i) {
      Class c{{cp, cp}};
      unicode::add_case_variants(c);
      if (c.size() > 1 || c[0].lo != c[0].hi) {
        h.kind = Hir::Kind::Class;
        h.ranges = std::move(c);
        return h;
      }
    }
    h.kind = Hir::Kind::Literal;
    h.ch = cp;
    return h;
  }

  std::expected<Hir, std::string> class_hir(Class c) {
    Hir h;
    if (!flags_.u) {
      h.kind = Hir::Kind::ByteClass;
      return h;
    }
    if (flags_.i) unicode::add_case_variants(c);
    h.kind = Hir::Kind::Class;
    h.ranges = std::move(c);
    return h;
  }

  std::expected<Hir, std::string> atom() {
    char c = peek();
    switch (c) {
      case '(': return group();
      case '[': {
        auto cls = bracket_class();
        if (!cls) return std::unexpected(cls.error());
        return class_hir(std::move(*cls));
      }
      case '.': {
        ++pos_;
        Class any = flags_.s ? Class{{0, unicode::kMaxScalar}} : Class{{0, 9}, {11, unicode::kMaxScalar}};
        unicode::canonicalize(any);
        return class_hir(std::move(any));
      }
      case '^':
      case '$': {
        ++pos_;
        Hir h;
        h.kind = Hir::Kind::Look;
        return h;
      }
      case '\\': return escape();
      default: {
        uint32_t cp = next_char();
        if (!flags_.u && cp > 0x7F) return fail("pattern can match invalid UTF-8");
        return literal(cp);
      }
    }
  }

  std::expected<Hir, std::string> group() {
    ++pos_;  // '('
    if (auto e = enter(); !e) return std::unexpected(e.error());
    const Flags saved = flags_;
    if (!eof() && peek() == '?') {
      ++pos_;
      if (p_.substr(pos_).starts_with("P<") || (p_.substr(pos_).starts_with("<") && !p_.substr(pos_).starts_with("<=") &&
                                                 !p_.substr(pos_).starts_with("<!"))) {
        pos_ += peek() == 'P' ? 2 : 1;
        size_t start = pos_;
        while (!eof() && peek() != '>') {
          char ch = peek();
          bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || ch == '_' || ch == '[' || ch == ']' ||
                    ch == '.' || (pos_ > start && ch >= '0' && ch <= '9');
          if (!ok) return fail("invalid capture group character");
          ++pos_;
        }
        if (eof()) return fail("unclosed capture group name");
        if (pos_ == start) return fail("empty capture group name");
        ++pos_;
      } else {
        auto f = parse_flags();
        if (!f) return std::unexpected(f.error());
        if (peek() != ':') return fail("unclosed group");
        ++pos_;
        flags_ = *f;
      }
    }
    auto inner = alternation();
    if (!inner) return inner;
    if (eof() || peek() != ')') return fail("unclosed group");
    ++pos_;
    flags_ = saved;
    --depth_;
    Hir h;
    h.kind = Hir::Kind::Group;
    h.subs.push_back(std::move(*inner));
    return h;
  }

  std::expected<uint32_t, std::string> hex_escape(char kind) {
    size_t digits = kind == 'x' ? 2 : kind == 'u' ? 4 : 8;
    bool braced = !eof() && peek() == '{';
    if (braced) ++pos_;
    uint64_t v = 0;
    size_t n = 0;
    while (!eof() && (braced ? peek() != '}' : n < digits)) {
      char ch = peek();
      int d = ch >= '0' && ch <= '9' ? ch - '0' : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
              : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10 : -1;
      if (d < 0) return fail("invalid hexadecimal digit");
      v = v * 16 + static_cast<uint64_t>(d);
      if (v > 0x10FFFF && n >= 6) return fail("invalid Unicode scalar value");
      ++pos_;
      ++n;
    }
    if (braced) {
      if (eof()) return fail("unclosed hexadecimal literal");
      ++pos_;
      if (n == 0) return fail("empty hexadecimal literal");
    } else if (n < digits) {
      return fail("incomplete escape sequence, reached end of pattern prematurely");
    }
    if (v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return fail("invalid Unicode scalar value");
    return static_cast<uint32_t>(v);
  }

  // One escape at pos_ ('\\'): either a scalar value or a class.
  struct Escaped {
    std::optional<uint32_t> ch;
    std::optional<Class> cls;
    bool look = false;
  };

  std::expected<Escaped, std::string> escape_item() {
    ++pos_;  // '\\'
    if (eof()) return fail("incomplete escape sequence, reached end of pattern prematurely");
    uint32_t c = next_char();
    Escaped e;
    switch (c) {
      case 'a': e.ch = 7; return e;
      case 'f': e.ch = 12; return e;
      case 't': e.ch = 9; return e;
      case 'n': e.ch = 10; return e;
      case 'r': e.ch = 13; return e;
      case 'v': e.ch = 11; return e;
      case 'x':
      case 'u':
      case 'U': {
        auto v = hex_escape(static_cast<char>(c));
        if (!v) return std::unexpected(v.error());
        e.ch = *v;
        return e;
      }
      case 'd': e.cls = unicode::perl_digit(); return e;
      case 's': e.cls = unicode::perl_space(); return e;
      case 'w': e.cls = unicode::perl_word(); return e;
      case 'D': e.cls = unicode::negate(unicode::perl_digit()); return e;
      case 'S': e.cls = unicode::negate(unicode::perl_space()); return e;
      case 'W': e.cls = unicode::negate(unicode::perl_word()); return e;
      case 'p':
      case 'P': {
        std::string name;
        if (!eof() && peek() == '{') {
          size_t close = p_.find('}', pos_);
          if (close == std::string_view::npos) return fail("unclosed Unicode class literal");
          name = std::string(p_.substr(pos_ + 1, close - pos_ - 1));
          pos_ = close + 1;
        } else {
          if (eof()) return fail("incomplete escape sequence, reached end of pattern prematurely");
          size_t start = pos_;
          next_char();
          name = std::string(p_.substr(start, pos_ - start));
        }
        auto cls = unicode::property(name);
        if (!cls) return fail("Unicode property not found");
        e.cls = c == 'P' ? unicode::negate(*cls) : std::move(*cls);
        return e;
      }
      case 'A':
      case 'z':
      case 'b':
      case 'B':
      case '<':
      case '>':
        e.look = true;
        return e;
      default:
        break;
    }
    if (c >= '0' && c <= '9') return fail("backreferences are not supported");
    if (c < 0x80 && !((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) {
      e.ch = c;
      return e;
    }
    return fail("unrecognized escape sequence");
  }

  std::expected<Hir, std::string> escape() {
    auto e = escape_item();
    if (!e) return std::unexpected(e.error());
    if (e->look) {
      Hir h;
      h.kind = Hir::Kind::Look;
      return h;
    }
    if (e->cls) return class_hir(std::move(*e->cls));
    if (!flags_.u && *e->ch > 0x7F) return fail("pattern can match invalid UTF-8");
    return literal(*e->ch);
  }

  // One bracketed class, '[' at pos_.
  std::expected<Class, std::string> bracket_class() {
    ++pos_;  // '['
    if (auto e = enter(); !e) return std::unexpected(e.error());
    bool negated = false;
    if (!eof() && peek() == '^') {
      negated = true;
      ++pos_;
    }
    Class acc;
    Class current;
    enum class Op { None, And, Minus, Xor } op = Op::None;
    bool first = true;
    auto combine = [&]() {
      switch (op) {
        case Op::None: acc = std::move(current); break;
        case Op::And: acc = unicode::intersect(acc, current); break;
        case Op::Minus: acc = unicode::difference(acc, current); break;
        case Op::Xor: acc = unicode::symmetric_difference(acc, current); break;
      }
      current.clear();
    };
    while (true) {
      skip_space();
      if (eof()) return fail("unclosed character class");
      char c = peek();
      if (c == ']' && !first) {
        ++pos_;
        break;
      }
      first = false;
      std::string_view rest = p_.substr(pos_);
      if (rest.starts_with("&&") || rest.starts_with("--") || rest.starts_with("~~")) {
        unicode::canonicalize(current);
        combine();
        op = rest[0] == '&' ? Op::And : rest[0] == '-' ? Op::Minus : Op::Xor;
        pos_ += 2;
        continue;
      }
      if (rest.starts_with("[:")) {
        size_t close = rest.find(":]");
        if (close != std::string_view::npos) {
          std::string_view name = rest.substr(2, close - 2);
          bool neg = name.starts_with("^");
          if (neg) name.remove_prefix(1);
          auto cls = ascii_class(name);
          if (!cls) return fail("invalid ASCII class");
          current = unicode::union_of(std::move(current), neg ? unicode::negate(*cls) : *cls);
          pos_ += close + 2;
          continue;
        }
      }
      if (c == '[') {
        auto inner = bracket_class();
        if (!inner) return inner;
        current = unicode::union_of(std::move(current), *inner);
        continue;
      }
      auto lo = class_atom();
      if (!lo) return std::unexpected(lo.error());
      if (lo->cls) {
        current = unicode::union_of(std::move(current), *lo->cls);
        continue;
      }
      skip_space();
      if (!eof() && peek() == '-' && pos_ + 1 < p_.size() && p_[pos_ + 1] != ']' && p_[pos_ + 1] != '-') {
        ++pos_;
        skip_space();
        if (eof()) return fail("unclosed character class");
        auto hi = class_atom();
        if (!hi) return std::unexpected(hi.error());
        if (hi->cls) return fail("invalid range boundary, must be a literal");
        if (*hi->ch < *lo->ch) return fail("invalid character class range, the start must be <= the end");
        current.push_back({*lo->ch, *hi->ch});
        continue;
      }
      current.push_back({*lo->ch, *lo->ch});
    }
    unicode::canonicalize(current);
    combine();
    --depth_;
    if (!flags_.u) {
      for (auto r : acc) {
        if (r.hi > 0x7F) return fail("pattern can match invalid UTF-8");
      }
    }
    return negated ? unicode::negate(acc) : acc;
  }

  std::expected<Escaped, std::string> class_atom() {
    if (peek() == '\\') {
      auto e = escape_item();
      if (!e) return e;
      if (e->look) return fail("unrecognized escape sequence");
      if (e->ch && !flags_.u && *e->ch > 0x7F) return fail("pattern can match invalid UTF-8");
      return e;
    }
    Escaped e;
    e.ch = next_char();
    if (!flags_.u && *e.ch > 0x7F) return fail("pattern can match invalid UTF-8");
    return e;
  }

  static std::optional<Class> ascii_class(std::string_view name) {
    static const std::pair<std::string_view, Class> kClasses[] = {
        {"alnum", {{'0', '9'}, {'A', 'Z'}, {'a', 'z'}}},
        {"alpha", {{'A', 'Z'}, {'a', 'z'}}},
        {"ascii", {{0, 0x7F}}},
        {"blank", {{'\t', '\t'}, {' ', ' '}}},
        {"cntrl", {{0, 0x1F}, {0x7F, 0x7F}}},
        {"digit", {{'0', '9'}}},
        {"graph", {{'!', '~'}}},
        {"lower", {{'a', 'z'}}},
        {"print", {{' ', '~'}}},
        {"punct", {{'!', '/'}, {':', '@'}, {'[', '`'}, {'{', '~'}}},
        {"space", {{'\t', '\r'}, {' ', ' '}}},
        {"upper", {{'A', 'Z'}}},
        {"word", {{'0', '9'}, {'A', 'Z'}, {'_', '_'}, {'a', 'z'}}},
        {"xdigit", {{'0', '9'}, {'A', 'F'}, {'a', 'f'}}},
    };
    for (const auto& [n, c] : kClasses) {
      if (n == name) return c;
    }
    return std::nullopt;
  }

  std::string_view p_;
  size_t pos_ = 0;
  uint32_t depth_ = 0;
  Flags flags_;
};

}  // namespace

std::expected<Hir, std::string> parse(std::string_view pattern) {
  if (!fendral::is_valid_utf8(pattern)) return std::unexpected(std::string("regex parse error: pattern is not valid UTF-8"));
  return Parser(pattern).run();
}

}  // namespace fendral::fst::regex
