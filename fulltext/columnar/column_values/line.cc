#include "fulltext/columnar/column_values/line.h"

#include "fulltext/common/vint.h"

namespace fendral::columnar {

Line Line::train(std::span<const uint64_t> u) {
  Line line;
  const uint64_t n = u.size();
  if (n <= 1) return line;
  const uint64_t first = u.front();
  const uint64_t last = u.back();
  const uint64_t dy = last - first;
  constexpr uint64_t k2_32 = uint64_t{1} << 32;
  if (dy <= (uint64_t{1} << 63)) {
    line.slope = dy >= k2_32 ? 0 : (dy << 32) / (n - 1);
  } else {
    const uint64_t a = first - last;
    line.slope = a >= k2_32 ? 0 : ~((a << 32) / (n - 1));
  }
  // The intercept is the lowest residual, measured from just below the first
  // value so that runs dipping below it still count as lowest.
  const uint64_t base = first - (k2_32 - 1);
  uint64_t best = 0;
  bool have = false;
  for (uint64_t i = 0; i < n; ++i) {
    uint64_t r = u[i] - line.linear_part(i);
    if (!have || r - base < best - base) {
      best = r;
      have = true;
    }
  }
  line.intercept = best;
  return line;
}

void Line::serialize(std::vector<uint8_t>& out) const {
  vint::append(out, slope);
  vint::append(out, intercept);
}

size_t Line::num_bytes() const {
  uint8_t buf[vint::kMaxLen];
  return vint::serialize(slope, buf) + vint::serialize(intercept, buf);
}

IoResult<Line> Line::deserialize(std::span<const uint8_t>& in) {
  auto s = vint::read_u64(in);
  if (!s) return std::unexpected(s.error());
  auto i = vint::read_u64(in);
  if (!i) return std::unexpected(i.error());
  return Line{*s, *i};
}

}  // namespace fendral::columnar
