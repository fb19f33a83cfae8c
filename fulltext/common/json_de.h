// Record readers over the common JSON pull reader, with the conventions of
// the engine's stored JSON: keys in any order, unknown keys skipped,
// "duplicate field `{}`", "missing field `{}`", "invalid type: {}, expected
// {}" and "invalid value: {}, expected {}", each with the position where
// reading stopped.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/json.h"

namespace fendral::json_de {

namespace json = zudizid::common::json;
using Error = json::Error;
template <class T>
using Result = json::Result<T>;

// "Error(\"msg\", line: L, column: C)"
std::string debug(const Error& e);

class De {
 public:
  explicit De(std::string_view text) : text_(text), r_(text) {}
  std::string_view text() const { return text_; }
  json::Reader& reader() { return r_; }

  // A record given as an object (keys in any order) or, when `fields` is
  // not empty, as an array of its members in declaration order. on_field is
  // called with each key (for arrays: the declared name of the position)
  // and returns true when it read the value, false to have it skipped. A
  // declared key given twice fails; the caller checks required members and
  // reports absent ones with missing().
  Result<void> record(std::string_view expecting, const std::vector<std::string_view>& fields,
                      const std::function<Result<bool>(std::string_view key)>& on_field);
  // Number of array elements the last record() read, or nullopt for objects.
  std::optional<size_t> seq_len() const { return seq_len_; }

  // A sequence whose elements `on_element` reads one after the other (it is
  // called with the reader at each element). Anything else fails with
  // "invalid type: {}, expected a sequence".
  Result<void> sequence(const std::function<Result<void>()>& on_element);

  Error missing(std::string_view field) { return r_.error_here("missing field `" + std::string(field) + "`"); }
  Error custom(std::string message) { return r_.error_here(std::move(message)); }

  int peek() { return r_.peek_token(); }
  bool next_is_null();  // consumes a null when it is next

  Result<bool> boolean();
  Result<uint64_t> u64();
  Result<uint32_t> u32();
  Result<std::string> string(std::string_view expecting = "a string");
  Result<json::Value> value() { return r_.parse_value(); }
  Result<void> skip() { return r_.skip_value(); }
  Result<void> finish() { return r_.finish(); }

  // "invalid type: {describe(v)}, expected {expecting}" about the value just read.
  Error invalid_type(const json::Value& v, std::string_view expecting);

 private:
  // The elements of the array whose '[' is next; `on_element` gets each
  // element's position.
  Result<void> elements(const std::function<Result<void>(size_t index)>& on_element);

  std::string_view text_;
  json::Reader r_;
  std::optional<size_t> seq_len_;
};

}  // namespace fendral::json_de

namespace fendral::json_de {
// "`a`", "`a` or `b`", "one of `a`, `b`, `c`"
std::string one_of(const std::vector<std::string_view>& names);
// Reads a unit-variant enum given by name or by index; returns the index.
Result<size_t> variant(De& de, const std::vector<std::string_view>& names);
}  // namespace fendral::json_de
