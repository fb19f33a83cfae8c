#include "index/utc_time.h"

#include <fmt/format.h>

#include <chrono>

namespace zudizid::index {

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// Days since 1970-01-01 of a proleptic Gregorian date (era arithmetic over
// 400-year cycles of 146097 days, with March as the first month).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = floor_div(y, 400);
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

struct Civil {
  std::int64_t year;
  unsigned month, day;
};

Civil civil_from_days(std::int64_t z) {
  z += 719468;
  const std::int64_t era = floor_div(z, 146097);
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const unsigned d = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
  const unsigned m = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  return {yoe + era * 400 + (m <= 2), m, d};
}

const std::int64_t kMinDay = days_from_civil(-262143, 1, 1);
const std::int64_t kMaxDay = days_from_civil(262142, 12, 31);

}  // namespace

UtcTime UtcTime::now() {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                std::chrono::system_clock::now().time_since_epoch())
                .count();
  UtcTime t;
  t.seconds = floor_div(ns, 1'000'000'000);
  t.nanos = static_cast<std::uint32_t>(ns - t.seconds * 1'000'000'000);
  return t;
}

bool is_legal_timestamp(std::int64_t seconds) {
  const std::int64_t day = floor_div(seconds, kSecondsPerDay);
  return day >= kMinDay && day <= kMaxDay;
}

std::string to_iso8601(const UtcTime& t) {
  const std::int64_t day = floor_div(t.seconds, kSecondsPerDay);
  const std::int64_t sod = t.seconds - day * kSecondsPerDay;
  const Civil c = civil_from_days(day);
  std::string year = (c.year >= 0 && c.year <= 9999) ? fmt::format("{:04}", c.year)
                     : c.year < 0 ? fmt::format("-{:04}", -c.year)
                                  : fmt::format("+{}", c.year);
  std::string out = fmt::format("{}-{:02}-{:02}T{:02}:{:02}:{:02}", year, c.month, c.day,
                                sod / 3600, sod / 60 % 60, sod % 60);
  if (t.nanos != 0) out += fmt::format(".{:09}", t.nanos);
  out += 'Z';
  return out;
}

}  // namespace zudizid::index
