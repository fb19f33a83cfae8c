// The written-range bookkeeping behind the log's stable lsn.
//
// Sealed IO buffers are written by several pool threads and finish in any
// order. Each finished write is marked here; the contiguous prefix of marked
// ranges is the stable point. The public stable lsn is the stable point held
// back by unfinished batches: while a batch's range [low, high] is not wholly
// written, no lsn from low on counts as stable, so a batch becomes durable
// whole or not at all.
//
// Not thread-safe: the owner (IoBufs) guards it with its `intervals` mutex.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kv/error.h"

namespace kelm::pagecache {

class Intervals {
 public:
  explicit Intervals(Lsn stable_point) : stable_point_(stable_point) {}

  // Records lsns [lsn, lsn + len) as written and synced. Returns the new
  // public stable lsn. ReportableBug on a broken ordering (empty range, a
  // range at or below the stable point, a batch moving backwards).
  Result<Lsn> mark_interval(Lsn lsn, uint64_t len);

  // Registers a batch whose lsns [low, high] become stable together; low must
  // lie above the stable point.
  Result<void> mark_batch(Lsn low, Lsn high);

  Lsn stable_point() const { return stable_point_; }
  // The public stable lsn as of the last mark_interval.
  Lsn stable_lsn() const { return public_; }
  // Whether lsn is written: below the stable point or inside a marked range.
  bool is_written(Lsn lsn) const;

  const std::vector<std::pair<Lsn, Lsn>>& fsynced_ranges() const { return fsynced_; }
  const std::map<Lsn, Lsn>& batches() const { return batches_; }

 private:
  std::vector<std::pair<Lsn, Lsn>> fsynced_;  // inclusive ranges above the stable point, lowest last after sorting
  std::map<Lsn, Lsn> batches_;
  Lsn stable_point_;
  Lsn public_ = stable_point_;
};

}  // namespace kelm::pagecache
