// The segment updater: registers finished segments, commits (deletes applied,
// meta.json written), collects garbage and plans merges, one task at a time
// in submission order on its own thread "segment_updater". Callers wait on
// the reply. Merges run on a pool of four threads "merge_thread_{i}" and hand
// their result back to the updater thread.
//
// An exception escaping a task becomes that task's error reply, and one
// escaping a merge is logged ("uncaught merge panic"); both threads keep
// running. After kill(), commits write nothing, workers drop the segments
// they finish, running merges stop at their next check and finished merges
// are not registered: dropping a writer never waits for a whole merge.
//
// A merge of uncommitted segments becomes durable with the next commit; a
// merge of committed segments rewrites meta.json at once with the active
// meta's opstamp and payload. A segment takes part in at most one merge.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "fulltext/index/index.h"
#include "fulltext/indexer/delete_queue.h"
#include "fulltext/indexer/merge_policy.h"
#include "fulltext/indexer/segment_manager.h"

namespace fendral::indexer {

// The opstamp counter shared by the index writer and its segment updater.
using OpstampCounter = std::atomic<uint64_t>;

class SegmentUpdater {
 public:
  SegmentUpdater(index::FendralIndex index, const index::IndexMeta& meta, DeleteCursor cursor,
                 std::shared_ptr<const MergePolicy> policy, std::shared_ptr<OpstampCounter> opstamps);
  // Drops queued merges, waits for running ones, runs the queued tasks, then
  // joins every thread.
  ~SegmentUpdater();

  std::future<Result<void>> schedule_add_segment(SegmentEntry entry);
  std::future<Result<void>> schedule_commit(uint64_t opstamp, std::optional<std::string> payload);
  // Removes every segment, committed or not, from the register.
  void remove_all_segments() { manager_.remove_all_segments(); }

  void set_merge_policy(std::shared_ptr<const MergePolicy> policy);
  std::shared_ptr<const MergePolicy> merge_policy() const;
  // Waits until no merge is queued or running (merges planned meanwhile
  // included).
  void wait_merging_threads();

  void kill() { killed_ = true; }
  bool is_alive() const { return !killed_; }
  // The meta of the last commit.
  index::IndexMeta active_meta() const;

 private:
  struct PendingMerge {
    uint64_t target_opstamp;
    std::vector<index::SegmentId> ids;
  };

  std::future<Result<void>> schedule(std::function<Result<void>()> task);
  Result<void> run_commit(uint64_t opstamp, const std::optional<std::string>& payload);
  Result<void> write_index_meta(uint64_t opstamp, const std::optional<std::string>& payload);
  void collect_garbage();
  void plan_merges();
  void launch_merge(std::shared_ptr<PendingMerge> merge);
  void run_merge(std::vector<SegmentEntry> entries, const std::shared_ptr<PendingMerge>& merge);
  Result<std::optional<SegmentEntry>> merge_segments(std::vector<SegmentEntry>& entries, uint64_t target);
  Result<void> finish_merge(const PendingMerge& merge, std::optional<SegmentEntry> merged);
  void loop();
  void merge_loop(size_t thread_index);

  index::FendralIndex index_;
  SegmentManager manager_;
  std::atomic<bool> killed_{false};
  std::shared_ptr<OpstampCounter> opstamps_;
  mutable std::mutex meta_mu_;
  index::IndexMeta active_meta_;
  mutable std::mutex policy_mu_;
  std::shared_ptr<const MergePolicy> policy_;

  // Updater thread.
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::pair<std::function<Result<void>()>, std::promise<Result<void>>>> tasks_;
  bool stopping_ = false;
  std::thread thread_;

  // Merge pool; pending_ lists every merge planned and not yet finished.
  std::mutex merge_mu_;
  std::condition_variable merge_cv_, merge_idle_cv_;
  std::deque<std::function<void()>> merge_jobs_;
  std::vector<std::weak_ptr<PendingMerge>> pending_;
  size_t running_merges_ = 0;
  bool merge_stopping_ = false;
  std::vector<std::thread> merge_threads_;
};

}  // namespace fendral::indexer
