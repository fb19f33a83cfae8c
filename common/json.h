// JSON: a generic value, a compact and a pretty writer, and a pull reader.
//
// Reader (RFC 8259 over UTF-8 input):
//   - Numbers are classed as written: without fraction or exponent a number is
//     an integer when it fits (0..2^64-1 unsigned, -2^63..-1 signed); "-0",
//     every number with fraction or exponent, and integers beyond 64 bits are
//     floats. A float beyond the double range fails with "number out of range".
//   - Every array and object entered takes one level of a nesting budget; one
//     that would take it to 0 fails with "recursion limit exceeded" (budget
//     128 allows 127 nested containers).
//   - Errors carry a position, shown as "{message} at line {L} column {C}":
//     L is 1 + the number of line feeds before the position, C the number of
//     bytes between the last line feed before it (or the start) and it. A
//     syntax error about a byte names the position just after that byte; an
//     error at the end of input names the end.
//
// Writer: compact (no spaces) or pretty (indent 2, ": " after keys, like
// Python's json.dumps(obj, indent=2)). Strings escape only '"', '\\' and
// characters below U+0020 (\b \t \n \f \r, others \u00xx); non-ASCII is
// written unchanged. Floats use the shortest round-trip text, always with a
// fraction or exponent; NaN and infinities are written as null.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace zudizid::common::json {

inline constexpr uint32_t kDefaultDepthBudget = 128;

// ---------------------------------------------------------------- value

class Value {
 public:
  enum class Type { Null, Bool, Int, UInt, Float, String, Array, Object };
  using Array = std::vector<Value>;
  using Object = std::vector<std::pair<std::string, Value>>;  // insertion order

  Value() = default;
  Value(std::nullptr_t) {}                                            // NOLINT
  Value(bool b) : v_(b) {}                                            // NOLINT
  Value(int v) : Value(static_cast<int64_t>(v)) {}                    // NOLINT
  Value(int64_t v) { set_int(v); }                                    // NOLINT
  Value(unsigned v) : v_(static_cast<uint64_t>(v)) {}                 // NOLINT
  Value(uint64_t v) : v_(v) {}                                        // NOLINT
  Value(double v) : v_(v) {}                                          // NOLINT
  Value(std::string s) : v_(std::move(s)) {}                          // NOLINT
  Value(std::string_view s) : v_(std::string(s)) {}                   // NOLINT
  Value(const char* s) : v_(std::string(s)) {}                        // NOLINT
  Value(Array a) : v_(std::move(a)) {}                                // NOLINT
  Value(Object o) : v_(std::move(o)) {}                               // NOLINT

  static Value array() { return Value(Array{}); }
  static Value object() { return Value(Object{}); }

  // Int holds negative integers only; every non-negative integer is UInt.
  Type type() const { return static_cast<Type>(v_.index()); }
  bool is_null() const { return type() == Type::Null; }
  bool is_bool() const { return type() == Type::Bool; }
  bool is_integer() const { return type() == Type::Int || type() == Type::UInt; }
  bool is_number() const { return is_integer() || type() == Type::Float; }
  bool is_string() const { return type() == Type::String; }
  bool is_array() const { return type() == Type::Array; }
  bool is_object() const { return type() == Type::Object; }

  bool as_bool() const { return std::get<bool>(v_); }
  int64_t as_int() const { return std::get<int64_t>(v_); }     // Type::Int
  uint64_t as_uint() const { return std::get<uint64_t>(v_); }  // Type::UInt
  double as_float() const { return std::get<double>(v_); }     // Type::Float
  // Any number as a double.
  double as_double() const;
  const std::string& as_string() const { return std::get<std::string>(v_); }
  const Array& as_array() const { return std::get<Array>(v_); }
  Array& as_array() { return std::get<Array>(v_); }
  const Object& as_object() const { return std::get<Object>(v_); }
  Object& as_object() { return std::get<Object>(v_); }

  // Object member by name (the first with that name), or nullptr.
  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);
  // Sets an object member, replacing an existing one in place or appending.
  Value& set(std::string_view key, Value v);
  // Appends to an array.
  void push_back(Value v) { as_array().push_back(std::move(v)); }

  friend bool operator==(const Value&, const Value&) = default;

 private:
  void set_int(int64_t v) {
    if (v >= 0)
      v_ = static_cast<uint64_t>(v);
    else
      v_ = v;
  }
  std::variant<std::nullptr_t, bool, int64_t, uint64_t, double, std::string, Array, Object> v_;
};

// ---------------------------------------------------------------- writer

void append_string(std::string& out, std::string_view s);  // quoted and escaped
void append_float(std::string& out, double v);              // null when not finite

// Streaming writer; commas, colons and (when pretty) line breaks are placed
// automatically. Misuse (a key outside an object) is a programming error.
class Writer {
 public:
  explicit Writer(std::string& out, bool pretty = false) : out_(out), pretty_(pretty) {}

  void begin_object();
  void end_object();
  void begin_array();
  void end_array();
  void key(std::string_view k);

  void null();
  void boolean(bool v);
  void int64(int64_t v);
  void uint64(uint64_t v);
  void float64(double v);
  void string(std::string_view s);
  void value(const Value& v);
  // An already-encoded JSON value.
  void raw(std::string_view json);

  std::string& buffer() { return out_; }

 private:
  void before_value();
  void newline();
  void end_container(char close);

  struct Level {
    bool object;
    bool empty = true;
  };
  std::string& out_;
  bool pretty_;
  bool after_key_ = false;
  std::vector<Level> stack_;
};

std::string to_string(const Value& v);
std::string to_string_pretty(const Value& v);

// ---------------------------------------------------------------- reader

struct Error {
  std::string message;
  bool has_position = false;
  size_t line = 0;
  size_t column = 0;

  // "{message} at line {line} column {column}", or the message alone.
  std::string to_string() const;
  friend bool operator==(const Error&, const Error&) = default;
};

template <class T>
using Result = std::expected<T, Error>;

struct ParseOptions {
  uint32_t depth_budget = kDefaultDepthBudget;
  // Fail on an object key seen twice ("duplicate field `{}`"); otherwise the
  // last value wins, kept at the place of the first.
  bool reject_duplicate_keys = false;
};

// A pull reader. The record readers drive it token by token; `parse_value`
// reads a whole value into a `Value`.
class Reader {
 public:
  static constexpr int kEof = -1;

  explicit Reader(std::string_view text, ParseOptions options = {}) : text_(text), options_(options) {}

  // Skips space, tab, line feed and carriage return; returns the next byte or
  // kEof without consuming it.
  int peek_token();
  void bump() { ++pos_; }
  size_t position() const { return pos_; }

  // Errors at the current position, and about the byte just consumed.
  Error error_here(std::string message) const { return error_at(pos_, std::move(message)); }
  Error error_at(size_t pos, std::string message) const;
  // Errors about the next byte (the one peek_token returned), or at the end.
  Error error_next(std::string message) const { return error_at(std::min(pos_ + 1, text_.size()), std::move(message)); }

  // Nesting budget around a container's contents.
  Result<void> enter();
  void leave() { ++depth_; }

  // A whole value at the next token.
  Result<Value> parse_value();
  Result<void> skip_value();
  // The string starting at the next token (which must be '"').
  Result<std::string> parse_string();
  // After the last value: only whitespace may remain ("trailing characters").
  Result<void> finish();

 private:
  Result<void> parse_into(Value* out);  // out == nullptr: validate and drop
  Result<void> parse_number(Value* out);
  Result<void> parse_ident(std::string_view rest);
  Result<void> parse_string_into(std::string* out);
  Result<uint32_t> parse_hex4();

  std::string_view text_;
  ParseOptions options_;
  size_t pos_ = 0;
  uint32_t depth_ = options_.depth_budget;
};

// Parses a complete text holding one value.
Result<Value> parse(std::string_view text, ParseOptions options = {});

// The description of a value in "invalid type" messages: "null",
// "boolean `true`", "integer `5`", "floating point `2.5`",
// "string \"...\"" (escaped), "sequence", "map".
std::string describe(const Value& v);

}  // namespace zudizid::common::json
