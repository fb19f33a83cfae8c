// The segment accountant: which pages live in which segment of `db`, and the
// life of each segment slot.
//
//   Free --next--> Active --stabilize--> Inactive --(<= 50% live)--> Draining
//   Draining --(every page replaced, replacement durable)--> Free (free_list)
//
// `next` hands out free slots lowest offset first, else grows the file at
// `tip`. Freed slots at the end of the file are cut off by truncation jobs on
// the IO pool; `next` waits for those before it hands the tip out again.
// Blob files of replaced page versions are deleted once the replacement is
// durable (the segment holding it is no longer Active).
//
// The accountant has no lock of its own: its owner serialises every call.
// The cleaner has its own mutex so the flusher can pop work without it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include "kv/error.h"
#include "common/oneshot.h"
#include "kv/pagecache/log_config.h"
#include "kv/pagecache/snapshot.h"

namespace kelm::pagecache {

// What the accountant needs of one stored fragment of a page.
struct FragmentInfo {
  Lsn lsn = 0;
  DiskPtr pointer;
  uint64_t log_size = 0;
};

struct Segment {
  struct Free {
    std::optional<Lsn> previous_lsn;
  };
  struct Active {
    Lsn lsn = 0;
    uint64_t rss = 0;
    uint64_t deferred_replaced_rss = 0;
    std::set<PageId> deferred_replaced_pids;
    std::set<PageId> pids;
    Lsn latest_replacement_lsn = 0;
    std::unordered_set<Lsn> can_free_upon_deactivation;
    std::unordered_set<Lsn> deferred_rm_blob;
  };
  struct Inactive {
    Lsn lsn = 0;
    uint64_t rss = 0;
    std::set<PageId> pids;
    uint64_t max_pids = 0;
    uint64_t replaced_pids = 0;
    Lsn latest_replacement_lsn = 0;
  };
  struct Draining {
    Lsn lsn = 0;
    uint64_t max_pids = 0;
    uint64_t replaced_pids = 0;
    Lsn latest_replacement_lsn = 0;
  };
  std::variant<Free, Active, Inactive, Draining> v;

  bool is_free() const { return std::holds_alternative<Free>(v); }
  bool is_active() const { return std::holds_alternative<Active>(v); }
  bool is_inactive() const { return std::holds_alternative<Inactive>(v); }
  bool is_draining() const { return std::holds_alternative<Draining>(v); }
  // The lsn of a used slot; ReportableBug for a Free one.
  Result<Lsn> lsn() const;
  std::string debug() const;
};

class SegmentCleaner {
 public:
  // One (page id, segment offset) to relocate, lowest segment first; an
  // entry whose pages are all taken answers once more with nothing and goes.
  std::optional<std::pair<PageId, LogOffset>> pop();
  Result<void> add_pids(LogOffset offset, std::set<PageId> pids);
  void remove(LogOffset offset);
  bool empty() const;

 private:
  mutable std::mutex mu_;
  std::map<LogOffset, std::set<PageId>> to_clean_;
};

// A file shrink running on the IO pool. Whoever needs it finished first runs
// it (the pool job or a waiter), so waiting never depends on a free pool
// thread: the waiter may hold the accountant's lock that busy pool threads
// are queued on.
class TruncationTask {
 public:
  TruncationTask(std::shared_ptr<File> file, uint64_t len) : file_(std::move(file)), len_(len) {}
  IoResult<void> run();
  // A later shrink to a shorter length makes this one pointless; waits for a
  // run in progress, so the shorter length is always applied last.
  void supersede();

 private:
  std::mutex mu_;
  bool done_ = false;
  IoResult<void> result_;
  std::shared_ptr<File> file_;
  uint64_t len_;
};

class SegmentAccountant {
 public:
  SegmentAccountant(LogConfig config, std::shared_ptr<SegmentCleaner> cleaner)
      : config_(std::move(config)), cleaner_(std::move(cleaner)) {}

  // Builds the slots from the recovered snapshot and the file's length, frees
  // (and zeroes) every slot without live pages and waits for the resulting
  // truncations.
  Result<void> initialize_from_snapshot(const Snapshot& snapshot);

  Result<LogOffset> next(Lsn lsn);
  Result<void> mark_link(PageId pid, const FragmentInfo& info);
  Result<void> mark_replace(PageId pid, Lsn lsn, std::span<const FragmentInfo> old_infos, const FragmentInfo& new_info);
  Result<void> stabilize(Lsn stable_lsn);

  // Read access, for the log's start-up and for tests.
  const std::vector<Segment>& segments() const { return segments_; }
  const std::set<LogOffset>& free_list() const { return free_list_; }
  LogOffset tip() const { return tip_; }
  Lsn max_stabilized_lsn() const { return max_stabilized_lsn_; }
  const std::map<Lsn, LogOffset>& ordering() const { return ordering_; }
  const std::shared_ptr<SegmentCleaner>& cleaner() const { return cleaner_; }
  // Waits for every running file shrink; the first error is returned.
  Result<void> wait_for_truncations();

 private:
  Segment& slot(size_t index);
  Result<void> possibly_clean_or_free_segment(size_t index, Lsn lsn);
  Result<void> free_segment(LogOffset offset);
  Result<void> deactivate_segment(Lsn lsn);
  Result<void> settle_segments_from_snapshot(bool has_active, size_t active_index);
  Result<void> wait_pending_from(LogOffset from);
  Lsn segment_base(Lsn lsn) const { return lsn - lsn % static_cast<Lsn>(config_.segment_size); }

  LogConfig config_;
  std::shared_ptr<SegmentCleaner> cleaner_;
  std::vector<Segment> segments_;
  std::set<LogOffset> free_list_;
  LogOffset tip_ = 0;
  Lsn max_stabilized_lsn_ = -1;
  std::map<Lsn, LogOffset> ordering_;
  std::map<LogOffset, std::shared_ptr<TruncationTask>> pending_truncations_;
};

}  // namespace kelm::pagecache
