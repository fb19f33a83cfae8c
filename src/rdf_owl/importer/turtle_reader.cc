#include "rdf_owl/importer/turtle_reader.h"

#include <fmt/format.h>

#include <optional>
#include <unordered_map>

#include "rdf_owl/importer/turtle_lexer.h"

namespace zudizid::rdf_owl::importer {

std::string TurtleError::display() const {
  return fmt::format("Turtle syntax error at line {}, column {}: {}", line, column, message);
}

namespace {

// One open construct. `Statement` is a top-level subject with its
// predicate-object list, `PropertyList` a "[ ... ]", `Collection` a "( ... )".
struct Frame {
  enum class Kind { Statement, PropertyList, Collection } kind;
  enum class State {
    SubjectPending,  // a collection is building this statement's subject
    VerbRequired,    // after a subject or "[": a verb must follow
    VerbOptional,    // after ";": a verb, another ";" or the end
    BlankSubject,    // after a "[ ... ]" subject: a verb or "."
    Object,          // after a verb or ",": an object must follow
    ObjectPending,   // a collection is building the current object
    AfterObject,     // after an object: ",", ";" or the end
    Items,           // inside a collection
  } state;
  std::string subject;
  std::string predicate;
  std::vector<std::string> items;
};

using State = Frame::State;
using Kind = Frame::Kind;

std::string escape_literal(std::string_view value) {
  std::string out = "\"";
  for (char c : value) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
  out += '"';
  return out;
}

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text), lex_(text) {}

  std::expected<std::vector<Triple>, TurtleError> run();

 private:
  struct Fault {
    size_t pos;
    std::string message;
  };
  using Step = std::optional<Fault>;

  Step statement_start(Token t);
  Step in_frame(Token t);
  Step directive(bool sparql, bool is_prefix, size_t pos);
  // A term that can stand as subject or object, from `t` (and a literal's
  // suffix); nullopt with `fault` when `t` starts none.
  std::optional<std::string> simple_term(Token& t, bool allow_literal, Step& fault);
  std::string iri_text(const Token& t) const;
  std::string fresh_blank() { return fmt::format("_:#{}", ++blank_counter_); }
  // Hands a finished term (a collection's head) to the frame below.
  void deliver(std::string term);
  void emit(const std::string& s, const std::string& p, std::string o) { out_.push_back({s, p, std::move(o)}); }
  TurtleError error_at(size_t pos, std::string message) const;

  std::string_view text_;
  TurtleLexer lex_;
  std::vector<Frame> stack_;
  std::vector<Triple> out_;
  std::unordered_map<std::string, std::string> prefixes_;
  uint64_t blank_counter_ = 0;
};

TurtleError Reader::error_at(size_t pos, std::string message) const {
  size_t line = 1, column = 1;
  for (size_t i = 0; i < pos && i < text_.size(); ++i) {
    const auto c = static_cast<unsigned char>(text_[i]);
    if (c == '\n') {
      ++line;
      column = 1;
    } else if ((c & 0xC0) != 0x80) {
      ++column;
    }
  }
  return {line, column, std::move(message)};
}

std::string Reader::iri_text(const Token& t) const {
  if (t.kind == Tok::A) return std::string(kRdfType);
  if (t.kind == Tok::Iri) return "<" + t.text + ">";
  return t.text;  // prefixed name
}

std::optional<std::string> Reader::simple_term(Token& t, bool allow_literal, Step& fault) {
  switch (t.kind) {
    case Tok::Iri:
    case Tok::PName: return iri_text(t);
    case Tok::BlankNode: return t.text;
    default: break;
  }
  if (!allow_literal) return std::nullopt;
  switch (t.kind) {
    case Tok::Integer:
    case Tok::Decimal:
    case Tok::Double:
    case Tok::True:
    case Tok::False: return t.text;
    case Tok::String: {
      std::string literal = escape_literal(t.text);
      const Token& after = lex_.peek();
      if (after.kind == Tok::LangTag) {
        literal += "@" + lex_.next().text;
      } else if (after.kind == Tok::Carets) {
        lex_.next();
        Token dt = lex_.next();
        if (dt.kind == Tok::Iri) {
          literal += "^^<" + dt.text + ">";
        } else if (dt.kind == Tok::PName) {
          const size_t colon = dt.text.find(':');
          auto it = prefixes_.find(dt.text.substr(0, colon));
          literal += "^^" + (it == prefixes_.end() ? dt.text : "<" + it->second + dt.text.substr(colon + 1) + ">");
        } else {
          fault = Fault{dt.pos, dt.kind == Tok::Error ? dt.text : "expected a datatype IRI after '^^'"};
          return std::nullopt;
        }
      }
      return literal;
    }
    default: return std::nullopt;
  }
}

Reader::Step Reader::directive(bool sparql, bool is_prefix, size_t pos) {
  std::string name;
  if (is_prefix) {
    Token ns = lex_.next();
    if (ns.kind != Tok::PName || ns.text.back() != ':') {
      return Fault{ns.pos, ns.kind == Tok::Error ? ns.text : "expected a prefix name ending in ':'"};
    }
    name = ns.text.substr(0, ns.text.size() - 1);
  }
  Token iri = lex_.next();
  if (iri.kind != Tok::Iri) return Fault{iri.pos, iri.kind == Tok::Error ? iri.text : "expected an IRI"};
  if (is_prefix) prefixes_[name] = iri.text;
  if (!sparql) {
    Token dot = lex_.next();
    if (dot.kind != Tok::Dot) return Fault{dot.pos, dot.kind == Tok::Error ? dot.text : "expected '.' after a directive"};
  }
  return std::nullopt;
}

void Reader::deliver(std::string term) {
  Frame& f = stack_.back();
  if (f.kind == Kind::Collection) {
    f.items.push_back(std::move(term));
  } else if (f.state == State::ObjectPending) {
    emit(f.subject, f.predicate, std::move(term));
    f.state = State::AfterObject;
  } else {  // SubjectPending
    f.subject = std::move(term);
    f.state = State::VerbRequired;
  }
}

Reader::Step Reader::statement_start(Token t) {
  if (t.kind == Tok::LangTag && (t.text == "prefix" || t.text == "base")) return directive(false, t.text == "prefix", t.pos);
  if (t.kind == Tok::SparqlPrefix || t.kind == Tok::SparqlBase) return directive(true, t.kind == Tok::SparqlPrefix, t.pos);
  if (t.kind == Tok::LBracket) {
    std::string blank = fresh_blank();
    if (lex_.peek().kind == Tok::RBracket) {
      lex_.next();
      stack_.push_back({Kind::Statement, State::VerbRequired, std::move(blank), {}, {}});
      return std::nullopt;
    }
    stack_.push_back({Kind::Statement, State::BlankSubject, blank, {}, {}});
    stack_.push_back({Kind::PropertyList, State::VerbRequired, std::move(blank), {}, {}});
    return std::nullopt;
  }
  if (t.kind == Tok::LParen) {
    stack_.push_back({Kind::Statement, State::SubjectPending, {}, {}, {}});
    stack_.push_back({Kind::Collection, State::Items, {}, {}, {}});
    return std::nullopt;
  }
  Step fault;
  auto subject = simple_term(t, false, fault);
  if (!subject) return Fault{t.pos, t.kind == Tok::Error ? t.text : fmt::format("expected a subject, found '{}'", t.text)};
  stack_.push_back({Kind::Statement, State::VerbRequired, std::move(*subject), {}, {}});
  return std::nullopt;
}

Reader::Step Reader::in_frame(Token t) {
  Frame& f = stack_.back();
  if (t.kind == Tok::Error) return Fault{t.pos, t.text};
  const Tok close = f.kind == Kind::Statement ? Tok::Dot : Tok::RBracket;

  // An object, or an item of a collection.
  if (f.state == State::Object || f.state == State::Items) {
    const bool item = f.state == State::Items;
    if (item && t.kind == Tok::RParen) {
      std::vector<std::string> items = std::move(f.items);
      stack_.pop_back();
      std::string head = std::string(kRdfNil);
      if (!items.empty()) {
        std::vector<std::string> cells(items.size());
        for (auto& cell : cells) cell = fresh_blank();
        for (size_t i = 0; i < items.size(); ++i) {
          emit(cells[i], std::string(kRdfFirst), std::move(items[i]));
          emit(cells[i], std::string(kRdfRest), i + 1 < items.size() ? cells[i + 1] : std::string(kRdfNil));
        }
        head = cells[0];
      }
      deliver(std::move(head));
      return std::nullopt;
    }
    if (t.kind == Tok::LBracket) {
      std::string blank = fresh_blank();
      if (item) {
        f.items.push_back(blank);
      } else {
        emit(f.subject, f.predicate, blank);
        f.state = State::AfterObject;
      }
      if (lex_.peek().kind == Tok::RBracket) {
        lex_.next();
      } else {
        stack_.push_back({Kind::PropertyList, State::VerbRequired, std::move(blank), {}, {}});
      }
      return std::nullopt;
    }
    if (t.kind == Tok::LParen) {
      if (!item) f.state = State::ObjectPending;
      stack_.push_back({Kind::Collection, State::Items, {}, {}, {}});
      return std::nullopt;
    }
    Step fault;
    auto term = simple_term(t, true, fault);
    if (fault) return fault;
    if (!term) return Fault{t.pos, fmt::format("expected an object, found '{}'", t.text)};
    if (item) {
      f.items.push_back(std::move(*term));
    } else {
      emit(f.subject, f.predicate, std::move(*term));
      f.state = State::AfterObject;
    }
    return std::nullopt;
  }

  // A verb.
  if (f.state == State::VerbRequired || f.state == State::VerbOptional || f.state == State::BlankSubject) {
    if (t.kind == Tok::Iri || t.kind == Tok::PName || t.kind == Tok::A) {
      f.predicate = iri_text(t);
      f.state = State::Object;
      return std::nullopt;
    }
    if (f.state == State::VerbOptional && t.kind == Tok::Semicolon) return std::nullopt;
    if (f.state != State::VerbRequired && t.kind == close) {
      stack_.pop_back();
      return std::nullopt;
    }
    return Fault{t.pos, fmt::format("expected a predicate, found '{}'", t.text)};
  }

  // After an object.
  if (t.kind == Tok::Comma) {
    f.state = State::Object;
  } else if (t.kind == Tok::Semicolon) {
    f.state = State::VerbOptional;
  } else if (t.kind == close) {
    stack_.pop_back();
  } else {
    return Fault{t.pos, fmt::format("expected ',', ';' or '{}', found '{}'", close == Tok::Dot ? "." : "]", t.text)};
  }
  return std::nullopt;
}

std::expected<std::vector<Triple>, TurtleError> Reader::run() {
  for (;;) {
    Token t = lex_.next();
    if (t.kind == Tok::Error) return std::unexpected(error_at(t.pos, t.text));
    if (t.kind == Tok::End) {
      if (!stack_.empty()) return std::unexpected(error_at(t.pos, "text ends inside a statement"));
      return std::move(out_);
    }
    Step fault = stack_.empty() ? statement_start(std::move(t)) : in_frame(std::move(t));
    if (fault) return std::unexpected(error_at(fault->pos, std::move(fault->message)));
  }
}

}  // namespace

std::expected<std::vector<Triple>, TurtleError> read_turtle(std::string_view text) { return Reader(text).run(); }

}  // namespace zudizid::rdf_owl::importer
