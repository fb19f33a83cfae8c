// A UTC instant as seconds since 1970-01-01T00:00:00 plus nanoseconds. Wide
// enough for every date "metadata.bin" may hold (years -262143 to 262142),
// which a 64-bit nanosecond count could not reach.
#pragma once

#include <compare>
#include <cstdint>
#include <string>

namespace zudizid::index {

struct UtcTime {
  std::int64_t seconds = 0;
  std::uint32_t nanos = 0;  // < 1e9

  static UtcTime now();
  friend auto operator<=>(const UtcTime&, const UtcTime&) = default;
  friend bool operator==(const UtcTime&, const UtcTime&) = default;
};

// ISO 8601 with the suffix Z, e.g. 2026-12-11T00:05:09Z (or with nine
// fraction digits when there are nanoseconds). Years beyond 0..9999 carry a
// sign: +12026-01-01T00:00:00Z.
std::string to_iso8601(const UtcTime& t);

// Whether the date of `seconds` lies in the years -262143 to 262142 (the day
// being seconds / 86400 rounded down).
bool is_legal_timestamp(std::int64_t seconds);

}  // namespace zudizid::index
