#include "kv/pagecache/iobuf_intervals.h"

#include <algorithm>

#include <fmt/format.h>

#include "common/log.h"

namespace kelm::pagecache {

namespace {
constexpr const char* kTarget = "kelm::pagecache::iobuf";

std::string ranges_debug(const std::vector<std::pair<Lsn, Lsn>>& v) {
  std::string s = "[";
  for (size_t i = 0; i < v.size(); ++i) s += fmt::format("{}({}, {})", i ? ", " : "", v[i].first, v[i].second);
  return s + "]";
}
}  // namespace

Result<Lsn> Intervals::mark_interval(Lsn lsn, uint64_t len) {
  ZLOG(Debug, kTarget, "mark_interval({}, {})", lsn, len);
  if (len == 0) return std::unexpected(Error::reportable_bug(fmt::format("mark_interval called with an empty length at {}", lsn)));
  const Lsn high = lsn + static_cast<Lsn>(len) - 1;
  ZLOG(Trace, kTarget, "pushing interval ({}, {}) into fsynced_ranges {}", lsn, high, ranges_debug(fsynced_));
  if (!fsynced_.empty() && fsynced_.back().first == high + 1) {
    fsynced_.back().first = lsn;
  } else if (!fsynced_.empty() && fsynced_.back().second + 1 == lsn) {
    fsynced_.back().second = high;
  } else {
    fsynced_.emplace_back(lsn, high);
  }
  if (fsynced_.size() >= 2) std::sort(fsynced_.begin(), fsynced_.end(), std::greater<>());
  while (!fsynced_.empty()) {
    auto [low, hi] = fsynced_.back();
    if (low > hi) return std::unexpected(Error::reportable_bug("assertion failed: low <= high"));
    if (low <= stable_point_)
      return std::unexpected(Error::reportable_bug(fmt::format(
          "somehow, we marked offset {} stable while interval {}-{} had not yet been applied!", stable_point_, low, hi)));
    if (low != stable_point_ + 1) break;
    ZLOG(Debug, kTarget, "new highest interval: {} - {}", low, hi);
    fsynced_.pop_back();
    stable_point_ = hi;
  }

  // Batches hold the public stable lsn below their low end until they are
  // wholly written. A batch that starts above the stable point holds back
  // nothing below it, so the stable point itself is published then.
  Lsn result = stable_point_;
  while (!batches_.empty()) {
    auto [low, hi] = *batches_.begin();
    if (low >= hi)
      return std::unexpected(
          Error::reportable_bug(fmt::format("expected batch low mark {} to be below high mark {}", low, hi)));
    if (hi <= stable_point_) {
      batches_.erase(batches_.begin());
      continue;
    }
    if (low <= stable_point_) result = low - 1;
    break;
  }
  result = std::max(result, public_);
  ZLOG(Trace, kTarget, "mark_interval new highest lsn {}", result);
  public_ = result;
  return result;
}

Result<void> Intervals::mark_batch(Lsn low, Lsn high) {
  if (low <= stable_point_) return std::unexpected(Error::reportable_bug("assertion failed: interval.0 > self.stable_lsn"));
  batches_[low] = high;
  return {};
}

bool Intervals::is_written(Lsn lsn) const {
  if (stable_point_ >= lsn) return true;
  for (auto [low, high] : fsynced_)
    if (low <= lsn && lsn <= high) return true;
  return false;
}

}  // namespace kelm::pagecache
