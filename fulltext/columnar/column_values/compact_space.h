// Compact-space codec for 128-bit values (IP addresses read as big-endian
// numbers). Large empty stretches of the value space are removed; the
// remaining covered ranges are numbered consecutively from code 1 (code 0 is
// never used), and each row stores its code in num_bits <= 32 bits.
//
// Bytes (after the column index of an IpAddr column): VInt num_vals, codec
// byte 1, the packed codes, the header, u32 header length. Header: u64 flags
// (0), VInt128 min, VInt128 max, VInt num_vals, byte num_bits, VInt128 range
// count, then per range VInt128 (start - previous end, 0 first) and VInt128
// (end - start). VInts are the engine's common form, up to 19 bytes here.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "fulltext/columnar/column_values/column_values.h"

namespace fendral::columnar {

using U128 = unsigned __int128;

struct CoveredRange {
  U128 start = 0;
  U128 end = 0;  // included
  uint32_t compact_start = 0;
};

class CompactSpace {
 public:
  // From the distinct values in ascending order and the number of rows.
  // A space needing more than 32 bits of codes is an invalid-input error.
  static IoResult<CompactSpace> build(std::span<const U128> distinct, uint32_t total);
  static CompactSpace from_ranges(std::vector<CoveredRange> ranges) { return CompactSpace(std::move(ranges)); }

  // The code of v, or nothing when v lies in a removed stretch.
  std::optional<uint32_t> value_to_compact(U128 v) const;
  // Contract: code >= 1.
  U128 compact_to_value(uint32_t code) const;
  uint32_t amplitude() const;
  const std::vector<CoveredRange>& ranges() const { return ranges_; }

 private:
  explicit CompactSpace(std::vector<CoveredRange> r) : ranges_(std::move(r)) {}
  std::vector<CoveredRange> ranges_;
};

// Values walked any number of times in the same order.
using U128Visitor = std::function<void(const std::function<void(U128)>&)>;

// Writes VInt count, codec byte 1, codes, header and its length.
IoResult<void> write_compact_space_values(const U128Visitor& values, std::vector<uint8_t>& out);

class CompactSpaceReader {
 public:
  // `bytes` starts with the VInt value count and the codec byte. A codec
  // byte other than 1: invalid data "Unknown code `N.`".
  static IoResult<CompactSpaceReader> open(OwnedBytes bytes);

  uint32_t num_vals() const { return num_vals_; }
  uint32_t code(uint32_t row) const { return static_cast<uint32_t>(unpacker_.get(row, codes_.as_bytes())); }
  U128 value(uint32_t row) const { return space_.compact_to_value(code(row)); }
  U128 min_value() const { return min_; }
  U128 max_value() const { return max_; }
  const CompactSpace& space() const { return space_; }
  void rows_for_codes(uint32_t lo, uint32_t hi, uint32_t start, uint32_t end, std::vector<uint32_t>& positions) const;
  void rows_for_values(U128 lo, U128 hi, uint32_t start, uint32_t end, std::vector<uint32_t>& positions) const;

 private:
  CompactSpaceReader(OwnedBytes codes, CompactSpace space, uint8_t bits)
      : codes_(std::move(codes)), space_(std::move(space)), unpacker_(bits) {}
  OwnedBytes codes_;
  CompactSpace space_;
  bitpacker::BitUnpacker unpacker_;
  U128 min_ = 0;
  U128 max_ = 0;
  uint32_t num_vals_ = 0;
};

// The reader as addresses, and as their u64 codes.
class CompactSpaceValues final : public ColumnValues<U128> {
 public:
  explicit CompactSpaceValues(std::shared_ptr<const CompactSpaceReader> r) : r_(std::move(r)) {}
  U128 get_val(uint32_t row) const override { return r_->value(row); }
  void get_row_ids_for_value_range(U128 lo, U128 hi, uint32_t start, uint32_t end,
                                   std::vector<uint32_t>& positions) const override {
    r_->rows_for_values(lo, hi, start, end, positions);
  }
  U128 min_value() const override { return r_->min_value(); }
  U128 max_value() const override { return r_->max_value(); }
  uint32_t num_vals() const override { return r_->num_vals(); }

 private:
  std::shared_ptr<const CompactSpaceReader> r_;
};

class CompactSpaceCodes final : public ColumnValues<uint64_t> {
 public:
  explicit CompactSpaceCodes(std::shared_ptr<const CompactSpaceReader> r) : r_(std::move(r)) {}
  uint64_t get_val(uint32_t row) const override { return r_->code(row); }
  void get_row_ids_for_value_range(uint64_t lo, uint64_t hi, uint32_t start, uint32_t end,
                                   std::vector<uint32_t>& positions) const override;
  uint64_t min_value() const override { return r_->space().value_to_compact(r_->min_value()).value_or(0); }
  uint64_t max_value() const override { return r_->space().value_to_compact(r_->max_value()).value_or(0); }
  uint32_t num_vals() const override { return r_->num_vals(); }

 private:
  std::shared_ptr<const CompactSpaceReader> r_;
};

}  // namespace fendral::columnar
