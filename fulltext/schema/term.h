// Terms: a field and value bytes [type code][value]. Numbers and dates use
// 8-byte big-endian order-preserving images, so byte order is value order.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fulltext/error/error.h"
#include "fulltext/schema/schema.h"

namespace fendral::schema {

// Value-type codes.
enum class ValueType : uint8_t {
  Str = 's', U64 = 'u', I64 = 'i', F64 = 'f', Bool = 'o', Date = 'd', Facet = 'h', Bytes = 'b', Json = 'j', IpAddr = 'p',
};
std::optional<ValueType> value_type_from_code(uint8_t code);
std::string_view value_type_debug(ValueType t);

constexpr uint8_t kJsonPathEnd = 0x00;

// Order-preserving images and their inverses.
inline uint64_t i64_to_u64(int64_t v) { return static_cast<uint64_t>(v) ^ (uint64_t{1} << 63); }
inline int64_t u64_to_i64(uint64_t v) { return static_cast<int64_t>(v ^ (uint64_t{1} << 63)); }
uint64_t f64_to_u64(double v);
double u64_to_f64(uint64_t v);

using Ipv6 = std::array<uint8_t, 16>;
std::string format_ipv6(const Ipv6& addr);

template <class T>
struct TermBound {
  enum class Kind { Included, Excluded, Unbounded };
  Kind kind = Kind::Unbounded;
  T value{};
};

class Term {
 public:
  Term() = default;
  Term(Field field, std::vector<uint8_t> bytes) : field_(field), bytes_(std::move(bytes)) {}

  static Term from_field_u64(Field f, uint64_t v);
  static Term from_field_i64(Field f, int64_t v);
  static Term from_field_f64(Field f, double v);
  static Term from_field_bool(Field f, bool v);
  static Term from_field_date(Field f, int64_t nanos);
  static Term from_field_text(Field f, std::string_view text);
  static Term from_field_bytes(Field f, std::span<const uint8_t> bytes);
  static Term from_field_ip_addr(Field f, const Ipv6& addr);
  // Facet from its encoded form (segments joined by 0x00).
  static Term from_facet(Field f, std::string_view encoded);
  // 'j', the path of split_json_path(path) pushed with the flag, 0x00.
  static Term from_field_json_path(Field f, std::string_view path, bool expand_dots);

  Field field() const { return field_; }
  const std::vector<uint8_t>& serialized_term() const { return bytes_; }
  // Contract: a non-empty term with a valid code.
  ValueType typ() const;
  // Bytes after the code.
  std::span<const uint8_t> serialized_value_bytes() const { return std::span<const uint8_t>(bytes_).subspan(1); }
  // Value bytes: after the code, or for 'j' after the path, 0x00 and nested code.
  std::vector<uint8_t> value_bytes() const;

  Result<uint64_t> as_u64_mapped() const;
  Result<Ipv6> as_ip_addr() const;

  void append_bytes(std::span<const uint8_t> b) { bytes_.insert(bytes_.end(), b.begin(), b.end()); }
  void append_type_and_value(ValueType t, std::span<const uint8_t> value);

  std::string debug() const;
  bool operator==(const Term&) const = default;

 private:
  Field field_ = 0;
  std::vector<uint8_t> bytes_;
};

TermBound<std::vector<uint8_t>> value_bytes_vec(const TermBound<Term>& bound);
Result<TermBound<Ipv6>> as_ip_addr(const TermBound<Term>& bound);

// Appends the typed value of a query text to a fresh JSON path term: a date,
// an integer (i64 before u64), a float (integral floats as integers when they
// fit), or a boolean; nullopt for anything else.
std::optional<Term> append_json_value_to_term(const Term& path_term, std::string_view text, bool truncate_dates);

}  // namespace fendral::schema
