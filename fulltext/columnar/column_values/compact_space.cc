#include "fulltext/columnar/column_values/compact_space.h"

#include <algorithm>
#include <cstring>

#include "fulltext/common/le_bytes.h"
#include <queue>
#include <set>
#include <string>

#include "fulltext/common/vint.h"

namespace fendral::columnar {

namespace {

constexpr U128 kMax = ~U128{0};

uint32_t bit_width(U128 v) {
  uint32_t n = 0;
  while (v != 0) {
    ++n;
    v >>= 1;
  }
  return n;
}

void put_vint128(std::vector<uint8_t>& out, U128 v) {
  while (v >= 0x80) {
    out.push_back(static_cast<uint8_t>(v & 0x7F));
    v >>= 7;
  }
  out.push_back(static_cast<uint8_t>(v | 0x80));
}

IoResult<U128> read_vint128(std::span<const uint8_t>& in) {
  U128 r = 0;
  for (size_t i = 0; i < in.size() && i < 19; ++i) {
    r |= static_cast<U128>(in[i] & 0x7F) << (7 * i);
    if (in[i] & 0x80) {
      in = in.subspan(i + 1);
      return r;
    }
  }
  return io_fail(IoErrorKind::InvalidData, "Reach end of buffer while reading VInt");
}

struct Blank {
  U128 start;
  U128 end;
  U128 size() const { return end - start + 1; }
};

IoError corrupt(const std::string& what) { return IoError(IoErrorKind::InvalidData, what); }

}  // namespace

IoResult<CompactSpace> CompactSpace::build(std::span<const U128> values, uint32_t total) {
  if (values.empty()) return CompactSpace({CoveredRange{0, 0, 1}});
  const U128 min = values.front();
  const U128 max = values.back();
  U128 amplitude = max - min == kMax ? kMax : max - min + 1;
  uint32_t bits = bit_width(amplitude);
  std::vector<Blank> removed;
  if (min != 0) removed.push_back({0, min - 1});
  if (max != kMax) removed.push_back({max + 1, kMax});
  auto smaller = [](const Blank& a, const Blank& b) {
    if (a.size() != b.size()) return a.size() < b.size();
    return a.start > b.start;  // equal sizes: the lower blank first
  };
  std::priority_queue<Blank, std::vector<Blank>, decltype(smaller)> heap(smaller);
  for (size_t i = 1; i < values.size(); ++i) {
    if (values[i] - values[i - 1] >= 4) heap.push({values[i - 1] + 1, values[i] - 1});
  }
  std::vector<Blank> staged;
  U128 staged_sum = 0;
  bool any_accepted = !removed.empty();
  while (!heap.empty()) {
    Blank b = heap.top();
    heap.pop();
    staged.push_back(b);
    staged_sum += b.size();
    U128 fresh = amplitude - staged_sum;
    uint32_t fresh_bits = bit_width(fresh);
    if (fresh_bits == bits) continue;
    uint64_t saved = uint64_t{bits - fresh_bits} * total;
    uint64_t cost = staged.size() * 36;
    if (bits <= 32 && cost >= saved) continue;
    amplitude = fresh;
    bits = fresh_bits;
    removed.insert(removed.end(), staged.begin(), staged.end());
    any_accepted = true;
    staged.clear();
    staged_sum = 0;
  }
  if (bits > 32) {
    return io_fail(IoErrorKind::InvalidInput, "Column values need more than 32 bits of compact codes");
  }
  if (!any_accepted && !staged.empty()) removed.push_back(staged.front());
  std::sort(removed.begin(), removed.end(), [](const Blank& a, const Blank& b) { return a.start < b.start; });
  std::vector<CoveredRange> ranges;
  U128 next = 0;  // first value not yet assigned to a blank or a range
  bool open = true;
  for (const Blank& b : removed) {
    if (b.start > next) ranges.push_back({next, b.start - 1, 0});
    if (b.end == kMax) {
      open = false;
      break;
    }
    next = b.end + 1;
  }
  if (open) ranges.push_back({next, kMax, 0});
  if (ranges.empty()) ranges.push_back({0, 0, 0});
  uint64_t cs = 1;
  for (CoveredRange& r : ranges) {
    r.compact_start = static_cast<uint32_t>(cs);
    cs += static_cast<uint64_t>(r.end - r.start + 1);
  }
  if (cs - 1 > UINT32_MAX) {
    return io_fail(IoErrorKind::InvalidInput, "Column values need more than 32 bits of compact codes");
  }
  return CompactSpace(std::move(ranges));
}

std::optional<uint32_t> CompactSpace::value_to_compact(U128 v) const {
  auto it = std::upper_bound(ranges_.begin(), ranges_.end(), v, [](U128 x, const CoveredRange& r) { return x < r.start; });
  if (it == ranges_.begin()) return std::nullopt;
  --it;
  if (v > it->end) return std::nullopt;
  return it->compact_start + static_cast<uint32_t>(v - it->start);
}

U128 CompactSpace::compact_to_value(uint32_t code) const {
  auto it = std::upper_bound(ranges_.begin(), ranges_.end(), code,
                             [](uint32_t c, const CoveredRange& r) { return c < r.compact_start; });
  if (it == ranges_.begin()) return 0;
  --it;
  return it->start + (code - it->compact_start);
}

uint32_t CompactSpace::amplitude() const {
  const CoveredRange& last = ranges_.back();
  return last.compact_start + static_cast<uint32_t>(last.end - last.start);
}

IoResult<void> write_compact_space_values(const U128Visitor& values, std::vector<uint8_t>& out) {
  std::set<U128> distinct;
  uint32_t count = 0;
  values([&](U128 v) {
    distinct.insert(v);
    ++count;
  });
  std::vector<U128> sorted(distinct.begin(), distinct.end());
  auto space = CompactSpace::build(sorted, count);
  if (!space) return std::unexpected(space.error());
  const uint32_t amplitude = space->amplitude();
  const uint8_t bits = static_cast<uint8_t>(bit_width(amplitude));
  vint::append(out, count);
  out.push_back(1);
  bitpacker::BitPacker packer;
  bool missing = false;
  values([&](U128 v) {
    auto c = space->value_to_compact(v);
    if (!c) {
      missing = true;
      return;
    }
    packer.write(*c, bits, out);
  });
  if (missing) return io_fail(IoErrorKind::InvalidData, "Could not convert value to compact_space. This is a bug.");
  packer.close(out);
  std::vector<uint8_t> header(8, 0);
  put_vint128(header, sorted.empty() ? 0 : sorted.front());
  put_vint128(header, sorted.empty() ? 0 : sorted.back());
  vint::append(header, count);
  header.push_back(bits);
  put_vint128(header, space->ranges().size());
  U128 prev = 0;
  for (const CoveredRange& r : space->ranges()) {
    put_vint128(header, r.start - prev);
    put_vint128(header, r.end - r.start);
    prev = r.end;
  }
  out.insert(out.end(), header.begin(), header.end());
  append_le<uint32_t>(out, static_cast<uint32_t>(header.size()));
  return {};
}

IoResult<CompactSpaceReader> CompactSpaceReader::open(OwnedBytes bytes) {
  std::span<const uint8_t> in = bytes.as_bytes();
  auto count = vint::read_u64(in);
  if (!count) return std::unexpected(count.error());
  if (in.empty()) return io_fail(IoErrorKind::UnexpectedEof, "failed to fill whole buffer");
  if (in[0] != 1) return io_fail(IoErrorKind::InvalidData, "Unknown code `" + std::to_string(in[0]) + ".`");
  in = in.subspan(1);
  if (in.size() < 4) return std::unexpected(corrupt("Compact space values shorter than 4 bytes"));
  uint32_t hlen;
  std::memcpy(&hlen, in.data() + in.size() - 4, 4);
  if (hlen > in.size() - 4) return std::unexpected(corrupt("Compact space header beyond its bytes"));
  const size_t codes_len = in.size() - 4 - hlen;
  std::span<const uint8_t> h = in.subspan(codes_len, hlen);
  if (h.size() < 8) return io_fail(IoErrorKind::UnexpectedEof, "failed to fill whole buffer");
  h = h.subspan(8);
  auto min = read_vint128(h);
  if (!min) return std::unexpected(min.error());
  auto max = read_vint128(h);
  if (!max) return std::unexpected(max.error());
  auto num_vals = vint::read_u64(h);
  if (!num_vals) return std::unexpected(num_vals.error());
  if (h.empty()) return io_fail(IoErrorKind::UnexpectedEof, "failed to fill whole buffer");
  const uint8_t bits = h[0];
  h = h.subspan(1);
  if (bits > 32) return std::unexpected(corrupt("Compact space codes wider than 32 bits"));
  auto nranges = read_vint128(h);
  if (!nranges) return std::unexpected(nranges.error());
  if (*nranges == 0 || *nranges > h.size() / 2) return std::unexpected(corrupt("Compact space range count beyond its header"));
  std::vector<CoveredRange> ranges;
  U128 value = 0;
  uint64_t cs = 1;
  for (U128 i = 0; i < *nranges; ++i) {
    auto d1 = read_vint128(h);
    if (!d1) return std::unexpected(d1.error());
    auto d2 = read_vint128(h);
    if (!d2) return std::unexpected(d2.error());
    if ((i > 0 && *d1 == 0) || *d1 > kMax - value || *d2 > kMax - (value + *d1) || *d2 >= (U128{1} << 32)) {
      return std::unexpected(corrupt("Compact space ranges overlap or overflow"));
    }
    U128 start = value + *d1;
    U128 end = start + *d2;
    ranges.push_back({start, end, static_cast<uint32_t>(cs)});
    cs += static_cast<uint64_t>(*d2) + 1;
    if (cs - 1 > UINT32_MAX) return std::unexpected(corrupt("Compact space ranges need more than 32 bits"));
    value = end;
  }
  const uint32_t n = static_cast<uint32_t>(*num_vals);
  if ((uint64_t{n} * bits + 7) / 8 > codes_len) return std::unexpected(corrupt("Compact space codes shorter than their rows"));
  CompactSpaceReader r(bytes.sub_range(bytes.len() - in.size(), bytes.len() - in.size() + codes_len),
                       CompactSpace::from_ranges(std::move(ranges)), bits);
  r.min_ = *min;
  r.max_ = *max;
  r.num_vals_ = n;
  const uint32_t amplitude = r.space_.amplitude();
  for (uint32_t row = 0; row < n; ++row) {
    uint32_t c = r.code(row);
    if (c == 0 || c > amplitude) return std::unexpected(corrupt("Compact space code outside its ranges"));
  }
  return r;
}

void CompactSpaceReader::rows_for_codes(uint32_t lo, uint32_t hi, uint32_t start, uint32_t end,
                                        std::vector<uint32_t>& positions) const {
  positions.clear();
  end = std::min(end, num_vals_);
  if (lo > hi || start >= end) return;
  (void)unpacker_.get_ids_for_value_range(lo, hi, start, end, codes_.as_bytes(), positions);
}

void CompactSpaceReader::rows_for_values(U128 lo, U128 hi, uint32_t start, uint32_t end,
                                         std::vector<uint32_t>& positions) const {
  positions.clear();
  const auto& ranges = space_.ranges();
  if (hi < lo || ranges.empty()) return;
  uint32_t lo_code;
  if (auto c = space_.value_to_compact(lo)) {
    lo_code = *c;
  } else {
    auto it = std::upper_bound(ranges.begin(), ranges.end(), lo, [](U128 x, const CoveredRange& r) { return x < r.start; });
    if (it == ranges.end()) return;
    lo_code = it->compact_start;
  }
  uint32_t hi_code;
  if (auto c = space_.value_to_compact(hi)) {
    hi_code = *c;
  } else {
    auto it = std::upper_bound(ranges.begin(), ranges.end(), hi, [](U128 x, const CoveredRange& r) { return x < r.start; });
    if (it == ranges.begin()) return;
    --it;
    hi_code = it->compact_start + static_cast<uint32_t>(it->end - it->start);
  }
  rows_for_codes(lo_code, hi_code, start, end, positions);
}

void CompactSpaceCodes::get_row_ids_for_value_range(uint64_t lo, uint64_t hi, uint32_t start, uint32_t end,
                                                    std::vector<uint32_t>& positions) const {
  // Codes order like the values and code 0 is never stored, so a code range
  // is searched as it is.
  if (hi > UINT32_MAX) hi = UINT32_MAX;
  if (lo > hi) {
    positions.clear();
    return;
  }
  r_->rows_for_codes(static_cast<uint32_t>(lo), static_cast<uint32_t>(hi), start, end, positions);
}

}  // namespace fendral::columnar
