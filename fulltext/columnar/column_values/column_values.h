// Column values: the read interface of one column's values, one instance per
// value kind, and the order-preserving mappings of every kind to u64.
//
// Stored numbers are the mapped u64 forms, whose unsigned order equals the
// kind's own order:
//   u64: v   i64 / DateTime: v XOR 2^63   bool: 0 / 1   row id: the id
//   f64: bits XOR 2^63 when the sign is clear, ~bits when it is set
// A typed reader decodes the u64 and maps it back; a value-range search maps
// its bounds once and compares stored numbers.
//
// Objects are immutable, shared through shared_ptr, and read by any number
// of threads. Contract for every row argument: row < num_vals().
#pragma once

#include <algorithm>
#include <compare>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "fulltext/columnar/column_values/u64_codecs.h"

namespace fendral::columnar {

// A timestamp in nanoseconds.
struct DateTime {
  int64_t nanos = 0;
  auto operator<=>(const DateTime&) const = default;
};

template <class T>
struct MonotonicMapping;

template <>
struct MonotonicMapping<uint64_t> {
  static uint64_t to_u64(uint64_t v) { return v; }
  static uint64_t from_u64(uint64_t u) { return u; }
};
template <>
struct MonotonicMapping<int64_t> {
  static uint64_t to_u64(int64_t v) { return static_cast<uint64_t>(v) ^ (uint64_t{1} << 63); }
  static int64_t from_u64(uint64_t u) { return static_cast<int64_t>(u ^ (uint64_t{1} << 63)); }
};
template <>
struct MonotonicMapping<DateTime> {
  static uint64_t to_u64(DateTime v) { return MonotonicMapping<int64_t>::to_u64(v.nanos); }
  static DateTime from_u64(uint64_t u) { return DateTime{MonotonicMapping<int64_t>::from_u64(u)}; }
};
template <>
struct MonotonicMapping<double> {
  static uint64_t to_u64(double v) {
    uint64_t b;
    std::memcpy(&b, &v, 8);
    return (b >> 63) == 0 ? b ^ (uint64_t{1} << 63) : ~b;
  }
  static double from_u64(uint64_t u) {
    uint64_t b = (u >> 63) != 0 ? u & ~(uint64_t{1} << 63) : ~u;
    double v;
    std::memcpy(&v, &b, 8);
    return v;
  }
};
template <>
struct MonotonicMapping<bool> {
  static uint64_t to_u64(bool v) { return v ? 1 : 0; }
  static bool from_u64(uint64_t u) { return u != 0; }
};
template <>
struct MonotonicMapping<uint32_t> {
  static uint64_t to_u64(uint32_t v) { return v; }
  static uint32_t from_u64(uint64_t u) { return static_cast<uint32_t>(u); }
};

template <class T>
class ColumnValues;

// Owned iterator over rows [next, end) of a column, in row order.
template <class T>
class ColumnValuesIter {
 public:
  ColumnValuesIter(std::shared_ptr<const ColumnValues<T>> col, uint32_t start, uint32_t end)
      : col_(std::move(col)), next_(start), end_(end) {}
  std::optional<T> next() {
    if (next_ >= end_) return std::nullopt;
    return col_->get_val(next_++);
  }
  size_t size_hint() const { return end_ - next_; }
  // Skips n rows; 0, or the number of rows still to skip when they run out.
  size_t advance_by(size_t n) {
    size_t left = end_ - next_;
    size_t step = std::min(n, left);
    next_ += static_cast<uint32_t>(step);
    return n - step;
  }
  std::optional<T> nth(size_t n) {
    if (advance_by(n) != 0) return std::nullopt;
    return next();
  }

 private:
  std::shared_ptr<const ColumnValues<T>> col_;
  uint32_t next_;
  uint32_t end_;
};

template <class T>
class ColumnValues : public std::enable_shared_from_this<ColumnValues<T>> {
 public:
  virtual ~ColumnValues() = default;
  virtual T get_val(uint32_t row) const = 0;
  // Contract: indexes and output have the same length.
  virtual void get_vals(std::span<const uint32_t> indexes, std::span<T> output) const {
    for (size_t i = 0; i < indexes.size(); ++i) output[i] = get_val(indexes[i]);
  }
  virtual void get_vals_opt(std::span<const uint32_t> indexes, std::span<std::optional<T>> output) const {
    for (size_t i = 0; i < indexes.size(); ++i) output[i] = get_val(indexes[i]);
  }
  virtual void get_range(uint64_t start, std::span<T> output) const {
    for (size_t i = 0; i < output.size(); ++i) output[i] = get_val(static_cast<uint32_t>(start + i));
  }
  // Replaces positions with the rows r in [start, min(end, num_vals)) whose
  // value lies in [lo, hi], ascending.
  virtual void get_row_ids_for_value_range(T lo, T hi, uint32_t start, uint32_t end,
                                           std::vector<uint32_t>& positions) const = 0;
  virtual T min_value() const = 0;
  virtual T max_value() const = 0;
  virtual uint32_t num_vals() const = 0;
  ColumnValuesIter<T> iter() const { return ColumnValuesIter<T>(this->shared_from_this(), 0, num_vals()); }
};

// A codec reader presenting kind T through its mapping.
template <class T, class Codec>
class TypedCodecValues final : public ColumnValues<T> {
 public:
  explicit TypedCodecValues(Codec codec) : codec_(std::move(codec)) {}
  T get_val(uint32_t row) const override { return MonotonicMapping<T>::from_u64(codec_.get(row)); }
  void get_row_ids_for_value_range(T lo, T hi, uint32_t start, uint32_t end,
                                   std::vector<uint32_t>& positions) const override {
    uint64_t l = MonotonicMapping<T>::to_u64(lo);
    uint64_t h = MonotonicMapping<T>::to_u64(hi);
    if (l > h) {
      positions.clear();
      return;
    }
    codec_.get_row_ids_for_value_range(l, h, start, end, positions);
  }
  T min_value() const override { return MonotonicMapping<T>::from_u64(codec_.stats().min_value); }
  T max_value() const override { return MonotonicMapping<T>::from_u64(codec_.stats().max_value); }
  uint32_t num_vals() const override { return codec_.stats().num_rows; }
  const Codec& codec() const { return codec_; }

 private:
  Codec codec_;
};

// Opens column-values bytes (codec byte first) as kind T. A missing codec
// byte or one of 3 or more: invalid data "Failed to read codec type".
template <class T>
IoResult<std::shared_ptr<const ColumnValues<T>>> load_u64_based_column_values(OwnedBytes bytes) {
  if (bytes.is_empty() || bytes.data()[0] > 2) return io_fail(IoErrorKind::InvalidData, "Failed to read codec type");
  OwnedBytes rest = bytes.sub_range(1, bytes.len());
  switch (static_cast<CodecType>(bytes.data()[0])) {
    case CodecType::Bitpacked: {
      auto r = BitpackedReader::open(std::move(rest));
      if (!r) return std::unexpected(r.error());
      return std::make_shared<const TypedCodecValues<T, BitpackedReader>>(std::move(*r));
    }
    case CodecType::Linear: {
      auto r = LinearReader::open(std::move(rest));
      if (!r) return std::unexpected(r.error());
      return std::make_shared<const TypedCodecValues<T, LinearReader>>(std::move(*r));
    }
    case CodecType::BlockwiseLinear: {
      auto r = BlockwiseLinearReader::open(std::move(rest));
      if (!r) return std::unexpected(r.error());
      return std::make_shared<const TypedCodecValues<T, BlockwiseLinearReader>>(std::move(*r));
    }
  }
  return io_fail(IoErrorKind::InvalidData, "Failed to read codec type");
}

// Presents an inner column of kind In as kind Out: `convert` maps values,
// `convert_bound` maps search bounds back to the inner kind.
template <class In, class Out, Out (*Convert)(In), In (*ConvertBound)(Out)>
class ConvertedColumnValues final : public ColumnValues<Out> {
 public:
  explicit ConvertedColumnValues(std::shared_ptr<const ColumnValues<In>> inner) : inner_(std::move(inner)) {}
  Out get_val(uint32_t row) const override { return Convert(inner_->get_val(row)); }
  void get_row_ids_for_value_range(Out lo, Out hi, uint32_t start, uint32_t end,
                                   std::vector<uint32_t>& positions) const override {
    inner_->get_row_ids_for_value_range(ConvertBound(lo), ConvertBound(hi), start, end, positions);
  }
  Out min_value() const override { return Convert(inner_->min_value()); }
  Out max_value() const override { return Convert(inner_->max_value()); }
  uint32_t num_vals() const override { return inner_->num_vals(); }

 private:
  std::shared_ptr<const ColumnValues<In>> inner_;
};

namespace convert {
template <class T>
uint64_t to_u64(T v) { return MonotonicMapping<T>::to_u64(v); }
template <class T>
T from_u64(uint64_t u) { return MonotonicMapping<T>::from_u64(u); }
inline double i64_to_f64(int64_t v) { return static_cast<double>(v); }
inline double u64_to_f64(uint64_t v) { return static_cast<double>(v); }
int64_t f64_to_i64_bound(double v);
uint64_t f64_to_u64_bound(double v);
inline int64_t u64_bits_as_i64(uint64_t v) { return static_cast<int64_t>(v); }
inline uint64_t i64_bits_as_u64(int64_t v) { return static_cast<uint64_t>(v); }
}  // namespace convert

// Any typed column read as its stored u64 form (the merge's view).
template <class T>
std::shared_ptr<const ColumnValues<uint64_t>> to_u64_view(std::shared_ptr<const ColumnValues<T>> inner) {
  if constexpr (std::is_same_v<T, uint64_t>) {
    return inner;
  } else {
    return std::make_shared<const ConvertedColumnValues<T, uint64_t, convert::to_u64<T>, convert::from_u64<T>>>(
        std::move(inner));
  }
}

// Numerical coercions of the segment merger.
using I64AsF64 = ConvertedColumnValues<int64_t, double, convert::i64_to_f64, convert::f64_to_i64_bound>;
using U64AsF64 = ConvertedColumnValues<uint64_t, double, convert::u64_to_f64, convert::f64_to_u64_bound>;
using U64AsI64 = ConvertedColumnValues<uint64_t, int64_t, convert::u64_bits_as_i64, convert::i64_bits_as_u64>;
using I64AsU64 = ConvertedColumnValues<int64_t, uint64_t, convert::i64_bits_as_u64, convert::u64_bits_as_i64>;

}  // namespace fendral::columnar
