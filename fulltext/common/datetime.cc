#include "fulltext/common/datetime.h"

#include <fmt/format.h>

#include <cmath>
#include <cstdlib>

namespace fendral {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civil_from_days(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

bool digits(std::string_view s, size_t pos, size_t n, int64_t* out) {
  if (pos + n > s.size()) return false;
  int64_t v = 0;
  for (size_t i = pos; i < pos + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  *out = v;
  return true;
}

}  // namespace

std::string format_rfc3339(int64_t nanos) {
  int64_t secs = nanos / 1000000000;
  int64_t frac = nanos % 1000000000;
  if (frac < 0) {
    frac += 1000000000;
    secs -= 1;
  }
  int64_t days = secs / 86400;
  int64_t sod = secs % 86400;
  if (sod < 0) {
    sod += 86400;
    days -= 1;
  }
  int64_t y;
  unsigned m, d;
  civil_from_days(days, &y, &m, &d);
  std::string out = fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}", y, m, d, sod / 3600, (sod / 60) % 60, sod % 60);
  if (frac != 0) {
    std::string f = fmt::format("{:09}", frac);
    while (!f.empty() && f.back() == '0') f.pop_back();
    out += "." + f;
  }
  out += "Z";
  return out;
}

std::optional<int64_t> parse_rfc3339(std::string_view s) {
  int64_t year, month, day, hour, minute, second;
  if (!digits(s, 0, 4, &year) || s.size() < 19 || s[4] != '-' || !digits(s, 5, 2, &month) || s[7] != '-' ||
      !digits(s, 8, 2, &day) || (s[10] != 'T' && s[10] != 't') || !digits(s, 11, 2, &hour) || s[13] != ':' ||
      !digits(s, 14, 2, &minute) || s[16] != ':' || !digits(s, 17, 2, &second)) {
    return std::nullopt;
  }
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month < 1 || month > 12) return std::nullopt;
  int max_day = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
  if (day < 1 || day > max_day || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  size_t pos = 19;
  int64_t frac_nanos = 0;
  if (pos < s.size() && s[pos] == '.') {
    ++pos;
    size_t start = pos;
    int64_t scale = 100000000;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
      frac_nanos += (s[pos] - '0') * scale;
      scale /= 10;
      ++pos;
    }
    if (pos == start || pos - start > 9) return std::nullopt;
  }
  if (pos >= s.size()) return std::nullopt;
  int64_t offset_secs = 0;
  if (s[pos] == 'Z' || s[pos] == 'z') {
    ++pos;
  } else if (s[pos] == '+' || s[pos] == '-') {
    int64_t oh, om;
    if (!digits(s, pos + 1, 2, &oh) || pos + 3 >= s.size() || s[pos + 3] != ':' || !digits(s, pos + 4, 2, &om) ||
        oh > 23 || om > 59) {
      return std::nullopt;
    }
    offset_secs = (oh * 3600 + om * 60) * (s[pos] == '-' ? -1 : 1);
    pos += 6;
  } else {
    return std::nullopt;
  }
  if (pos != s.size()) return std::nullopt;
  int64_t secs = days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
                 hour * 3600 + minute * 60 + second - offset_secs;
  __int128 nanos = static_cast<__int128>(secs) * 1000000000 + frac_nanos;
  if (nanos > INT64_MAX || nanos < INT64_MIN) return std::nullopt;
  return static_cast<int64_t>(nanos);
}

}  // namespace fendral
