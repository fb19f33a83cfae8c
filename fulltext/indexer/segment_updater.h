// The segment updater: registers finished segments, commits (deletes applied,
// meta.json written) and collects garbage, one task at a time in submission
// order on its own thread "segment_updater". Callers wait on the reply.
//
// An exception escaping a task becomes that task's error reply; the thread
// keeps running. After kill(), commits write nothing and workers drop the
// segments they finish.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "fulltext/index/index.h"
#include "fulltext/indexer/delete_queue.h"
#include "fulltext/indexer/segment_manager.h"

namespace fendral::indexer {

class SegmentUpdater {
 public:
  SegmentUpdater(index::FendralIndex index, const index::IndexMeta& meta, DeleteCursor cursor);
  ~SegmentUpdater();  // runs the queued tasks, then joins the thread

  std::future<Result<void>> schedule_add_segment(SegmentEntry entry);
  std::future<Result<void>> schedule_commit(uint64_t opstamp, std::optional<std::string> payload);
  // Removes every segment, committed or not, from the register.
  void remove_all_segments() { manager_.remove_all_segments(); }

  void kill() { killed_ = true; }
  bool is_alive() const { return !killed_; }
  // The meta of the last commit.
  index::IndexMeta active_meta() const;

 private:
  std::future<Result<void>> schedule(std::function<Result<void>()> task);
  Result<void> run_commit(uint64_t opstamp, const std::optional<std::string>& payload);
  Result<void> write_index_meta(uint64_t opstamp, const std::optional<std::string>& payload);
  void collect_garbage();
  void loop();

  index::FendralIndex index_;
  SegmentManager manager_;
  std::atomic<bool> killed_{false};
  mutable std::mutex meta_mu_;
  index::IndexMeta active_meta_;

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::pair<std::function<Result<void>()>, std::promise<Result<void>>>> tasks_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace fendral::indexer
