#include "storage/property_value.h"

#include <fmt/format.h>
#include <sys/random.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "common/float_text.h"
#include "common/io_error.h"
#include "common/utf8.h"

namespace zudizid {
namespace {

using MKind = common::msgpack::Kind;
namespace mp = common::msgpack;
namespace js = common::json;

// Kinds ranked for ordering: List sorts below Object although its index is higher.
int rank(PropertyValue::Kind k) {
  switch (k) {
    case PropertyValue::Kind::Null: return 0;
    case PropertyValue::Kind::Bool: return 1;
    case PropertyValue::Kind::Int:
    case PropertyValue::Kind::Float: return 2;
    case PropertyValue::Kind::String: return 3;
    case PropertyValue::Kind::Bytes: return 4;
    case PropertyValue::Kind::List: return 5;
    case PropertyValue::Kind::Object: return 6;
  }
  return 7;
}

std::weak_ordering bytes_cmp(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  int c = n ? std::memcmp(a.data(), b.data(), n) : 0;
  if (c != 0) return c < 0 ? std::weak_ordering::less : std::weak_ordering::greater;
  return a.size() <=> b.size();
}

std::string_view as_view(const PropertyBytes& b) {
  return std::string_view(reinterpret_cast<const char*>(b.data()), b.size());
}

std::weak_ordering float_cmp(double a, double b) {
  bool na = std::isnan(a), nb = std::isnan(b);
  if (na || nb) {
    if (na && nb) return std::weak_ordering::equivalent;
    return na ? std::weak_ordering::greater : std::weak_ordering::less;
  }
  if (a < b) return std::weak_ordering::less;
  if (a > b) return std::weak_ordering::greater;
  return std::weak_ordering::equivalent;
}

// Int against Float as `cmp` defines it: convert, NaN on either side is Equal.
std::weak_ordering int_float_cmp(int64_t i, double d) {
  if (std::isnan(d)) return std::weak_ordering::equivalent;
  return float_cmp(static_cast<double>(i), d);
}

// Exact comparison of an integer with a non-NaN double.
std::weak_ordering exact_int_float(int64_t i, double d) {
  if (d >= 9223372036854775808.0) return std::weak_ordering::less;
  if (d < -9223372036854775808.0) return std::weak_ordering::greater;
  double t = std::trunc(d);  // in [-2^63, 2^63): representable as int64
  auto ti = static_cast<int64_t>(t);
  if (i != ti) return i < ti ? std::weak_ordering::less : std::weak_ordering::greater;
  if (d > t) return std::weak_ordering::less;
  if (d < t) return std::weak_ordering::greater;
  return std::weak_ordering::equivalent;
}

std::weak_ordering total_cmp(const PropertyValue& a, const PropertyValue& b);

std::weak_ordering number_total_cmp(const PropertyValue& a, const PropertyValue& b) {
  using K = PropertyValue::Kind;
  if (a.kind() == K::Int && b.kind() == K::Int) return a.as_int() <=> b.as_int();
  if (a.kind() == K::Float && b.kind() == K::Float) return float_cmp(a.as_float(), b.as_float());
  if (a.kind() == K::Int) {
    double d = b.as_float();
    if (std::isnan(d)) return std::weak_ordering::less;
    return exact_int_float(a.as_int(), d);
  }
  double d = a.as_float();
  if (std::isnan(d)) return std::weak_ordering::greater;
  return 0 <=> exact_int_float(b.as_int(), d);
}

template <class ElemCmp>
std::weak_ordering generic_cmp(const PropertyValue& a, const PropertyValue& b, ElemCmp elem,
                               std::weak_ordering (*numbers)(const PropertyValue&, const PropertyValue&)) {
  using K = PropertyValue::Kind;
  int ra = rank(a.kind()), rb = rank(b.kind());
  if (ra != rb) return ra <=> rb;
  switch (a.kind()) {
    case K::Null: return std::weak_ordering::equivalent;
    case K::Bool: return a.as_bool() <=> b.as_bool();
    case K::Int:
    case K::Float: return numbers(a, b);
    case K::String: return bytes_cmp(a.as_string(), b.as_string());
    case K::Bytes: return bytes_cmp(as_view(a.as_bytes()), as_view(b.as_bytes()));
    case K::List: {
      const auto& x = a.as_list();
      const auto& y = b.as_list();
      size_t n = std::min(x.size(), y.size());
      for (size_t k = 0; k < n; ++k)
        if (auto c = elem(x[k], y[k]); c != 0) return c;
      return x.size() <=> y.size();
    }
    case K::Object: {
      const auto& x = a.as_object();
      const auto& y = b.as_object();
      size_t n = std::min(x.size(), y.size());
      for (size_t k = 0; k < n; ++k) {
        if (auto c = bytes_cmp(x[k].first, y[k].first); c != 0) return c;
        if (auto c = elem(x[k].second, y[k].second); c != 0) return c;
      }
      return x.size() <=> y.size();
    }
  }
  return std::weak_ordering::equivalent;
}

std::weak_ordering part_numbers(const PropertyValue& a, const PropertyValue& b) {
  using K = PropertyValue::Kind;
  if (a.kind() == K::Int && b.kind() == K::Int) return a.as_int() <=> b.as_int();
  if (a.kind() == K::Float && b.kind() == K::Float) return float_cmp(a.as_float(), b.as_float());
  if (a.kind() == K::Int) return int_float_cmp(a.as_int(), b.as_float());
  return 0 <=> int_float_cmp(b.as_int(), a.as_float());
}

std::weak_ordering total_cmp(const PropertyValue& a, const PropertyValue& b) {
  return generic_cmp(a, b, total_cmp, number_total_cmp);
}

// ---- hash

uint64_t process_hash_key() {
  static const uint64_t key = [] {
    uint64_t k = 0;
    if (getrandom(&k, sizeof k, 0) != static_cast<ssize_t>(sizeof k))
      k = reinterpret_cast<uintptr_t>(&k) ^ 0x9E3779B97F4A7C15ull;
    return k;
  }();
  return key;
}

// Keyed 64-bit stream hash: 8-byte words folded with multiply-rotate, then a
// final avalanche. Not cryptographic; resists accidental clustering only.
class StreamHasher final : public HashSink {
 public:
  explicit StreamHasher(uint64_t key) : h_(key ^ 0x243F6A8885A308D3ull) {}
  void write(const void* data, size_t len) override {
    const auto* p = static_cast<const uint8_t*>(data);
    total_ += len;
    while (len) {
      size_t take = std::min(len, size_t{8} - fill_);
      std::memcpy(reinterpret_cast<uint8_t*>(&buf_) + fill_, p, take);
      fill_ += take;
      p += take;
      len -= take;
      if (fill_ == 8) {
        mix(buf_);
        buf_ = 0;
        fill_ = 0;
      }
    }
  }
  uint64_t finish() {
    mix(buf_ ^ (static_cast<uint64_t>(fill_) << 56));
    uint64_t h = h_ ^ total_;
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    h ^= h >> 33;
    return h;
  }

 private:
  void mix(uint64_t w) {
    h_ ^= w * 0x9E3779B97F4A7C15ull;
    h_ = std::rotl(h_, 27) * 0x94D049BB133111EBull + 0x52DCE729;
  }
  uint64_t h_;
  uint64_t buf_ = 0;
  size_t fill_ = 0;
  uint64_t total_ = 0;
};

void put_u64(HashSink& sink, uint64_t v) {
  uint8_t b[8];
  for (int k = 0; k < 8; ++k) b[k] = static_cast<uint8_t>(v >> (8 * k));
  sink.write(b, 8);
}

// ---- debug text

class DebugPrinter {
 public:
  DebugPrinter(std::string& out, bool pretty) : out_(out), pretty_(pretty) {}

  void value(const PropertyValue& v) {
    using K = PropertyValue::Kind;
    switch (v.kind()) {
      case K::Null: out_ += "Null"; return;
      case K::Bool: return tuple("Bool", [&] { out_ += v.as_bool() ? "true" : "false"; });
      case K::Int: return tuple("Int", [&] { fmt::format_to(std::back_inserter(out_), "{}", v.as_int()); });
      case K::Float: return tuple("Float", [&] { common::append_float_debug(out_, v.as_float()); });
      case K::String: return tuple("String", [&] { out_ += common::debug_quote(v.as_string()); });
      case K::Bytes:
        return tuple("Bytes", [&] {
          const auto& b = v.as_bytes();
          seq('[', ']', b.size(), [&](size_t k) { fmt::format_to(std::back_inserter(out_), "{}", b[k]); });
        });
      case K::List:
        return tuple("List", [&] {
          const auto& l = v.as_list();
          seq('[', ']', l.size(), [&](size_t k) { value(l[k]); });
        });
      case K::Object:
        return tuple("Object", [&] {
          const auto& o = v.as_object();
          seq('[', ']', o.size(), [&](size_t k) {
            seq('(', ')', 2, [&](size_t j) {
              if (j == 0)
                out_ += common::debug_quote(o[k].first);
              else
                value(o[k].second);
            });
          });
        });
    }
  }

 private:
  template <class F>
  void tuple(const char* name, F body) {
    out_ += name;
    seq('(', ')', 1, [&](size_t) { body(); });
  }

  // A bracketed, comma-separated sequence; pretty: one element per line with
  // a trailing comma. A tuple never prints empty; an empty list prints "[]".
  template <class F>
  void seq(char open, char close, size_t n, F element) {
    out_.push_back(open);
    if (n == 0) {
      out_.push_back(close);
      return;
    }
    if (!pretty_) {
      for (size_t k = 0; k < n; ++k) {
        if (k) out_ += ", ";
        element(k);
      }
      out_.push_back(close);
      return;
    }
    ++indent_;
    for (size_t k = 0; k < n; ++k) {
      out_.push_back('\n');
      out_.append(4 * indent_, ' ');
      element(k);
      out_.push_back(',');
    }
    --indent_;
    out_.push_back('\n');
    out_.append(4 * indent_, ' ');
    out_.push_back(close);
  }

  std::string& out_;
  bool pretty_;
  size_t indent_ = 0;
};

// ---- decoding

std::unexpected<std::string> mismatch() { return std::unexpected(std::string(kUntaggedMismatch)); }

bool msgpack_text(const mp::Value& v) {
  return (v.kind() == MKind::Str || v.kind() == MKind::Bin) && common::is_valid_utf8(v.bytes);
}

bool msgpack_byte(const mp::Value& v) {
  if (v.kind() == MKind::UInt) return v.head.u <= 255;
  if (v.kind() == MKind::SInt) return v.head.i >= 0 && v.head.i <= 255;
  return false;
}

uint8_t msgpack_byte_value(const mp::Value& v) {
  return static_cast<uint8_t>(v.kind() == MKind::UInt ? v.head.u : static_cast<uint64_t>(v.head.i));
}

size_t depth_of(const PropertyValue& v) {
  using K = PropertyValue::Kind;
  switch (v.kind()) {
    case K::Bytes: return 1;
    case K::List: {
      size_t d = 0;
      for (const auto& e : v.as_list()) d = std::max(d, depth_of(e));
      return d + 1;
    }
    case K::Object: {
      size_t d = 0;
      for (const auto& [name, e] : v.as_object()) d = std::max(d, depth_of(e));
      return d + 2;
    }
    default: return 0;
  }
}

// Depth-bounded check so that a hostile, very deep value costs no more than
// the limit's worth of recursion.
bool within_depth(const PropertyValue& v, size_t budget) {
  using K = PropertyValue::Kind;
  switch (v.kind()) {
    case K::Bytes: return budget >= 1;
    case K::List:
      if (budget < 1) return false;
      for (const auto& e : v.as_list())
        if (!within_depth(e, budget - 1)) return false;
      return true;
    case K::Object:
      if (budget < 2) return false;
      for (const auto& [name, e] : v.as_object())
        if (!within_depth(e, budget - 2)) return false;
      return true;
    default: return true;
  }
}

const PropertyValue* find_non_finite(const PropertyValue& v) {
  using K = PropertyValue::Kind;
  switch (v.kind()) {
    case K::Float: return std::isfinite(v.as_float()) ? nullptr : &v;
    case K::List:
      for (const auto& e : v.as_list())
        if (auto* p = find_non_finite(e)) return p;
      return nullptr;
    case K::Object:
      for (const auto& [name, e] : v.as_object())
        if (auto* p = find_non_finite(e)) return p;
      return nullptr;
    default: return nullptr;
  }
}

}  // namespace

std::weak_ordering PropertyValue::cmp(const PropertyValue& other) const {
  return generic_cmp(
      *this, other, [](const PropertyValue& a, const PropertyValue& b) { return a.cmp(b); }, part_numbers);
}

bool PropertyValue::total_less(const PropertyValue& a, const PropertyValue& b) { return total_cmp(a, b) < 0; }

bool PropertyValue::eq(const PropertyValue& other) const {
  if (kind() != other.kind()) return false;
  switch (kind()) {
    case Kind::Null: return true;
    case Kind::Bool: return as_bool() == other.as_bool();
    case Kind::Int: return as_int() == other.as_int();
    case Kind::Float: return as_float() == other.as_float();
    case Kind::String: return as_string() == other.as_string();
    case Kind::Bytes: return as_bytes() == other.as_bytes();
    case Kind::List: {
      const auto& x = as_list();
      const auto& y = other.as_list();
      if (x.size() != y.size()) return false;
      for (size_t k = 0; k < x.size(); ++k)
        if (!x[k].eq(y[k])) return false;
      return true;
    }
    case Kind::Object: {
      const auto& x = as_object();
      const auto& y = other.as_object();
      if (x.size() != y.size()) return false;
      for (size_t k = 0; k < x.size(); ++k)
        if (x[k].first != y[k].first || !x[k].second.eq(y[k].second)) return false;
      return true;
    }
  }
  return false;
}

void PropertyValue::hash(HashSink& sink) const {
  put_u64(sink, static_cast<uint64_t>(kind()));
  static const uint8_t kFF = 0xFF;
  switch (kind()) {
    case Kind::Null: return;
    case Kind::Bool: {
      uint8_t b = as_bool() ? 1 : 0;
      sink.write(&b, 1);
      return;
    }
    case Kind::Int: return put_u64(sink, static_cast<uint64_t>(as_int()));
    case Kind::Float: {
      // Equal floats must hash alike: -0.0 hashes as 0.0, every NaN as one NaN.
      double d = as_float();
      if (d == 0) d = 0.0;
      if (std::isnan(d)) d = std::numeric_limits<double>::quiet_NaN();
      return put_u64(sink, std::bit_cast<uint64_t>(d));
    }
    case Kind::String:
      sink.write(as_string().data(), as_string().size());
      sink.write(&kFF, 1);
      return;
    case Kind::Bytes:
      put_u64(sink, as_bytes().size());
      sink.write(as_bytes().data(), as_bytes().size());
      return;
    case Kind::List:
      put_u64(sink, as_list().size());
      for (const auto& e : as_list()) e.hash(sink);
      return;
    case Kind::Object:
      put_u64(sink, as_object().size());
      for (const auto& [name, e] : as_object()) {
        sink.write(name.data(), name.size());
        sink.write(&kFF, 1);
        e.hash(sink);
      }
      return;
  }
}

uint64_t PropertyValue::hash_value() const {
  StreamHasher h(process_hash_key());
  hash(h);
  return h.finish();
}

void PropertyValue::fmt_debug(std::string& out, bool alternate) const { DebugPrinter(out, alternate).value(*this); }

std::string PropertyValue::debug_string(bool alternate) const {
  std::string out;
  fmt_debug(out, alternate);
  return out;
}

void PropertyValue::to_msgpack(mp::Writer& w) const {
  switch (kind()) {
    case Kind::Null: return w.write_nil();
    case Kind::Bool: return w.write_bool(as_bool());
    case Kind::Int: return w.write_int(as_int());
    case Kind::Float: return w.write_f64(as_float());
    case Kind::String: return w.write_str(as_string());
    case Kind::Bytes:
      w.write_array_header(as_bytes().size());
      for (uint8_t b : as_bytes()) w.write_uint(b);
      return;
    case Kind::Object:
      w.write_array_header(as_object().size());
      for (const auto& [name, e] : as_object()) {
        w.write_array_header(2);
        w.write_str(name);
        e.to_msgpack(w);
      }
      return;
    case Kind::List:
      w.write_array_header(as_list().size());
      for (const auto& e : as_list()) e.to_msgpack(w);
      return;
  }
}

namespace {

// The value of a head that carries it whole (nil, booleans, numbers).
std::optional<PropertyValue> scalar_of(const mp::Head& h) {
  switch (h.kind) {
    case MKind::Nil: return PropertyValue();
    case MKind::Bool: return PropertyValue::boolean(h.boolean);
    case MKind::SInt: return PropertyValue::integer(h.i);
    case MKind::UInt:
      if (h.u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
        return PropertyValue::integer(static_cast<int64_t>(h.u));
      return PropertyValue::float64(static_cast<double>(h.u));
    case MKind::F32:
    case MKind::F64: return PropertyValue::float64(h.f);
    default: return std::nullopt;
  }
}

}  // namespace

std::expected<PropertyValue, std::string> PropertyValue::from_msgpack(const mp::Value& v) {
  if (auto scalar = scalar_of(v.head)) return std::move(*scalar);
  switch (v.kind()) {
    case MKind::Str:
    case MKind::Bin:
      if (common::is_valid_utf8(v.bytes)) return string(v.bytes);
      return mismatch();
    case MKind::Array: {
      bool all_bytes = true, all_pairs = true;
      for (const auto& e : v.items) {
        all_bytes = all_bytes && msgpack_byte(e);
        all_pairs = all_pairs && e.kind() == MKind::Array && e.items.size() == 2 && msgpack_text(e.items[0]);
      }
      if (all_bytes) {
        PropertyBytes b;
        b.reserve(v.items.size());
        for (const auto& e : v.items) b.push_back(msgpack_byte_value(e));
        return bytes(std::move(b));
      }
      // A pair that fails its value makes the List reading fail as well (the
      // same element fails inside it), so the Object verdict is final.
      if (all_pairs) {
        PropertyObject o;
        o.reserve(v.items.size());
        for (const auto& e : v.items) {
          auto value = from_msgpack(e.items[1]);
          if (!value) return value;
          o.emplace_back(e.items[0].bytes, std::move(*value));
        }
        return object(std::move(o));
      }
      PropertyList l;
      l.reserve(v.items.size());
      for (const auto& e : v.items) {
        auto value = from_msgpack(e);
        if (!value) return value;
        l.push_back(std::move(*value));
      }
      return list(std::move(l));
    }
    default: return mismatch();
  }
}

mp::Result<PropertyValue> PropertyValue::read_msgpack(mp::Reader& reader, const mp::Head& head) {
  if (head.kind == MKind::Str || head.kind == MKind::Bin) {
    auto payload = reader.read_payload(head.len);
    if (!payload) return std::unexpected(payload.error());
    std::string_view text(reinterpret_cast<const char*>(payload->data()), payload->size());
    if (!common::is_valid_utf8(text)) return std::unexpected(mp::Error{std::string(kUntaggedMismatch)});
    return string(std::string(text));
  }
  if (auto scalar = scalar_of(head)) return std::move(*scalar);
  auto tree = reader.read_value_after(head);
  if (!tree) return std::unexpected(tree.error());
  auto value = from_msgpack(*tree);
  if (!value) return std::unexpected(mp::Error{std::move(value.error())});
  return std::move(*value);
}

void PropertyValue::to_json(js::Writer& w) const {
  switch (kind()) {
    case Kind::Null: return w.null();
    case Kind::Bool: return w.boolean(as_bool());
    case Kind::Int: return w.int64(as_int());
    case Kind::Float: return w.float64(as_float());
    case Kind::String: return w.string(as_string());
    case Kind::Bytes:
      w.begin_array();
      for (uint8_t b : as_bytes()) w.uint64(b);
      return w.end_array();
    case Kind::Object:
      w.begin_array();
      for (const auto& [name, e] : as_object()) {
        w.begin_array();
        w.string(name);
        e.to_json(w);
        w.end_array();
      }
      return w.end_array();
    case Kind::List:
      w.begin_array();
      for (const auto& e : as_list()) e.to_json(w);
      return w.end_array();
  }
}

void PropertyValue::to_json(std::string& out) const {
  js::Writer w(out);
  to_json(w);
}

std::expected<PropertyValue, std::string> PropertyValue::from_json(const js::Value& v) {
  using T = js::Value::Type;
  switch (v.type()) {
    case T::Null: return PropertyValue();
    case T::Bool: return boolean(v.as_bool());
    case T::Int: return integer(v.as_int());
    case T::UInt:
      if (v.as_uint() <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
        return integer(static_cast<int64_t>(v.as_uint()));
      return float64(static_cast<double>(v.as_uint()));
    case T::Float: return float64(v.as_float());
    case T::String: return string(v.as_string());
    case T::Array: {
      const auto& items = v.as_array();
      bool all_bytes = true, all_pairs = true;
      for (const auto& e : items) {
        all_bytes = all_bytes && e.type() == T::UInt && e.as_uint() <= 255;
        all_pairs = all_pairs && e.is_array() && e.as_array().size() == 2 && e.as_array()[0].is_string();
      }
      if (all_bytes) {
        PropertyBytes b;
        b.reserve(items.size());
        for (const auto& e : items) b.push_back(static_cast<uint8_t>(e.as_uint()));
        return bytes(std::move(b));
      }
      if (all_pairs) {
        PropertyObject o;
        o.reserve(items.size());
        for (const auto& e : items) {
          auto value = from_json(e.as_array()[1]);
          if (!value) return value;
          o.emplace_back(e.as_array()[0].as_string(), std::move(*value));
        }
        return object(std::move(o));
      }
      PropertyList l;
      l.reserve(items.size());
      for (const auto& e : items) {
        auto value = from_json(e);
        if (!value) return value;
        l.push_back(std::move(*value));
      }
      return list(std::move(l));
    }
    case T::Object: return mismatch();
  }
  return mismatch();
}

size_t PropertyValue::encoded_depth() const { return depth_of(*this); }

std::expected<void, std::string> PropertyValue::validate_for_write() const {
  if (!within_depth(*this, kMaxWriteDepth))
    return std::unexpected(fmt::format("value nested more than {} levels deep", kMaxWriteDepth));
  return {};
}

std::expected<void, std::string> PropertyValue::validate_for_wal() const {
  if (auto r = validate_for_write(); !r) return r;
  if (const PropertyValue* bad = find_non_finite(*this))
    return std::unexpected(fmt::format("non-finite float {} cannot be logged", common::float_debug(bad->as_float())));
  return {};
}

}  // namespace zudizid
