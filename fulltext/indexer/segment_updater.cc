#include "fulltext/indexer/segment_updater.h"

#include <algorithm>
#include <fmt/format.h>

#include "common/log.h"
#include "common/thread_name.h"
#include "fulltext/indexer/apply_deletes.h"
#include "fulltext/indexer/merger.h"

namespace fendral::indexer {
namespace {

constexpr const char* kTarget = "fendral::indexer::segment_updater";
constexpr size_t kMergeThreads = 4;

std::vector<SegmentEntry> entries_of(const index::IndexMeta& meta, const DeleteCursor& cursor) {
  std::vector<SegmentEntry> out;
  for (const auto& m : meta.segments) out.push_back(SegmentEntry{m, cursor, std::nullopt});
  return out;
}

std::string meta_debug(const index::SegmentMeta& m) {
  return fmt::format("SegmentMeta {{ segment_id: {}, max_doc: {}, deletes: {} }}", m.id().debug(), m.max_doc(),
                     m.deletes() ? m.deletes()->debug() : "None");
}

// A list that holds a single segment without deleted documents has nothing
// to gain from a merge.
void drop_lone_clean_segment(std::vector<index::SegmentMeta>& metas) {
  if (metas.size() == 1 && !metas[0].has_deletes()) metas.clear();
}

}  // namespace

SegmentUpdater::SegmentUpdater(index::FendralIndex index, const index::IndexMeta& meta, DeleteCursor cursor,
                               std::shared_ptr<const MergePolicy> policy, std::shared_ptr<OpstampCounter> opstamps)
    : index_(std::move(index)), manager_(entries_of(meta, cursor)), opstamps_(std::move(opstamps)),
      active_meta_(meta), policy_(std::move(policy)) {
  thread_ = std::thread([this] {
    zudizid::common::set_current_thread_name("segment_updater");
    loop();
  });
  for (size_t i = 0; i < kMergeThreads; ++i) {
    merge_threads_.emplace_back([this, i] {
      zudizid::common::set_current_thread_name(fmt::format("merge_thread_{}", i));
      merge_loop(i);
    });
  }
}

SegmentUpdater::~SegmentUpdater() {
  {
    std::lock_guard lock(merge_mu_);
    merge_stopping_ = true;
    merge_jobs_.clear();
  }
  merge_cv_.notify_all();
  // Running merges hand their result to the updater thread, so it stops last.
  for (auto& t : merge_threads_) t.join();
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

std::future<Result<void>> SegmentUpdater::schedule(std::function<Result<void>()> task) {
  std::promise<Result<void>> p;
  auto f = p.get_future();
  {
    std::lock_guard lock(mu_);
    tasks_.emplace_back(std::move(task), std::move(p));
  }
  cv_.notify_one();
  return f;
}

void SegmentUpdater::loop() {
  for (;;) {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return stopping_ || !tasks_.empty(); });
    if (tasks_.empty()) return;
    auto [task, promise] = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    Result<void> r;
    try {
      r = task();
    } catch (const std::exception& e) {
      r = fail(FendralError::system_error(std::string("segment updater task failed: ") + e.what()));
    } catch (...) {
      r = fail(FendralError::system_error("segment updater task failed"));
    }
    promise.set_value(std::move(r));
  }
}

void SegmentUpdater::merge_loop(size_t) {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock lock(merge_mu_);
      merge_cv_.wait(lock, [&] { return merge_stopping_ || !merge_jobs_.empty(); });
      if (merge_jobs_.empty()) return;
      job = std::move(merge_jobs_.front());
      merge_jobs_.pop_front();
      ++running_merges_;
    }
    try {
      job();
    } catch (...) {
      ZLOG(Error, kTarget, "uncaught merge panic");
    }
    job = nullptr;  // releases the pending merge before the pool counts it done
    {
      std::lock_guard lock(merge_mu_);
      --running_merges_;
    }
    merge_idle_cv_.notify_all();
  }
}

std::future<Result<void>> SegmentUpdater::schedule_add_segment(SegmentEntry entry) {
  return schedule([this, e = std::move(entry)]() mutable -> Result<void> {
    manager_.add_entry(std::move(e));
    plan_merges();
    return {};
  });
}

std::future<Result<void>> SegmentUpdater::schedule_commit(uint64_t opstamp, std::optional<std::string> payload) {
  return schedule([this, opstamp, payload]() { return run_commit(opstamp, payload); });
}

Result<void> SegmentUpdater::run_commit(uint64_t opstamp, const std::optional<std::string>& payload) {
  auto entries = manager_.entries();
  for (auto& e : entries) {
    if (auto ok = advance_deletes(index_, e, opstamp); !ok) return ok;
  }
  manager_.commit(std::move(entries));
  if (auto ok = write_index_meta(opstamp, payload); !ok) return ok;
  collect_garbage();
  plan_merges();
  return {};
}

Result<void> SegmentUpdater::write_index_meta(uint64_t opstamp, const std::optional<std::string>& payload) {
  if (killed_) return {};
  manager_.drop_empty_segments();
  auto metas = manager_.committed_metas();
  std::stable_sort(metas.begin(), metas.end(),
                   [](const index::SegmentMeta& a, const index::SegmentMeta& b) { return a.max_doc() > b.max_doc(); });
  index::IndexMeta meta{index_.settings(), std::move(metas), index_.schema(), opstamp, payload};
  ZLOG(Info, kTarget, "save metas");
  if (auto ok = index::save_metas(meta, index_.directory()); !ok) return ok;
  std::lock_guard lock(meta_mu_);
  active_meta_ = std::move(meta);
  return {};
}

void SegmentUpdater::collect_garbage() {
  ZLOG(Info, kTarget, "Running garbage collection");
  // Segments are created (meta first, then files) while this runs: list the
  // living metas only after the directory has listed its candidates.
  auto r = index_.directory().garbage_collect([&] {
    std::set<std::string> living{"meta.json"};
    for (const auto& m : index_.inventory()->all()) {
      auto files = m.list_files();
      living.insert(files.begin(), files.end());
    }
    return living;
  });
  if (!r) ZLOG(Warn, kTarget, "Garbage collection failed: {}", r.error().display());
}

index::IndexMeta SegmentUpdater::active_meta() const {
  std::lock_guard lock(meta_mu_);
  return active_meta_;
}

void SegmentUpdater::set_merge_policy(std::shared_ptr<const MergePolicy> policy) {
  std::lock_guard lock(policy_mu_);
  policy_ = std::move(policy);
}

std::shared_ptr<const MergePolicy> SegmentUpdater::merge_policy() const {
  std::lock_guard lock(policy_mu_);
  return policy_;
}

void SegmentUpdater::plan_merges() {
  std::set<index::SegmentId> in_merge;
  {
    std::lock_guard lock(merge_mu_);
    std::erase_if(pending_, [](const auto& w) { return w.expired(); });
    for (const auto& w : pending_) {
      if (auto m = w.lock()) in_merge.insert(m->ids.begin(), m->ids.end());
    }
  }
  auto [committed, uncommitted] = manager_.mergeable_segments(in_merge);
  drop_lone_clean_segment(committed);
  drop_lone_clean_segment(uncommitted);
  auto policy = merge_policy();
  uint64_t u = opstamps_->fetch_add(1);
  std::vector<std::shared_ptr<PendingMerge>> merges;
  for (auto& p : policy->merge_candidates(uncommitted)) {
    merges.push_back(std::make_shared<PendingMerge>(PendingMerge{u, std::move(p.segment_ids)}));
  }
  uint64_t c = active_meta().opstamp;
  for (auto& p : policy->merge_candidates(committed)) {
    merges.push_back(std::make_shared<PendingMerge>(PendingMerge{c, std::move(p.segment_ids)}));
  }
  for (auto& m : merges) launch_merge(std::move(m));
}

void SegmentUpdater::launch_merge(std::shared_ptr<PendingMerge> merge) {
  if (merge->ids.empty()) contract_violation("Segment_ids cannot be empty.");
  auto entries = manager_.entries_for_merge(merge->ids);
  if (!entries) {
    ZLOG(Warn, kTarget, "Starting the merge failed for the following reason. This is not fatal. {}",
         entries.error().display());
    return;
  }
  ZLOG(Info, kTarget, "Starting merge  - {}", segment_ids_debug(merge->ids));
  {
    std::lock_guard lock(merge_mu_);
    if (merge_stopping_) return;
    pending_.push_back(merge);
    merge_jobs_.push_back([this, merge, e = std::move(*entries)]() mutable { run_merge(std::move(e), merge); });
  }
  merge_cv_.notify_one();
}

Result<std::optional<SegmentEntry>> SegmentUpdater::merge_segments(std::vector<SegmentEntry>& entries,
                                                                    uint64_t target) {
  uint64_t live = 0;
  for (const auto& e : entries) live += e.meta.max_doc() - e.meta.num_deleted_docs();
  if (live == 0) return std::optional<SegmentEntry>();
  auto segment = index_.new_segment_meta();
  std::vector<index::SegmentMeta> sources;
  for (auto& e : entries) {
    if (auto ok = advance_deletes(index_, e, target); !ok) return fail(ok.error());
    sources.push_back(e.meta);
  }
  auto merger = IndexMerger::open(index_, sources);
  if (!merger) return fail(merger.error());
  auto serializer = SegmentSerializer::open(index_, segment);
  if (!serializer) return fail(serializer.error());
  auto max_doc = merger->write(std::move(*serializer), &killed_);
  if (!max_doc) return fail(max_doc.error());
  return std::optional<SegmentEntry>(SegmentEntry{segment.with_max_doc(*max_doc), entries.front().cursor, std::nullopt});
}

void SegmentUpdater::run_merge(std::vector<SegmentEntry> entries, const std::shared_ptr<PendingMerge>& merge) {
  auto merged = merge_segments(entries, merge->target_opstamp);
  if (killed_) return;  // a merge stopped by kill() is no failure
  if (!merged) {
    ZLOG(Warn, kTarget, "Merge of {} was cancelled: {}", segment_ids_debug(merge->ids), merged.error().display());
    return;
  }
  if (killed_) return;
  auto done = schedule([this, merge, m = std::move(*merged)]() mutable { return finish_merge(*merge, std::move(m)); });
  done.wait();
}

Result<void> SegmentUpdater::finish_merge(const PendingMerge& merge, std::optional<SegmentEntry> merged) {
  ZLOG(Info, kTarget, "End merge {}", merged ? meta_debug(merged->meta) : std::string("None"));
  auto meta = active_meta();
  if (merged) {
    if (const auto* op = merged->cursor.get(); op && op->opstamp < meta.opstamp) {
      if (auto ok = advance_deletes(index_, *merged, meta.opstamp); !ok) {
        ZLOG(Error, kTarget, "Merge of {} was cancelled (advancing deletes failed): {}", segment_ids_debug(merge.ids),
             ok.error().display());
        return ok;
      }
    }
  }
  auto committed = manager_.replace_merged(merge.ids, std::move(merged));
  if (!committed) return fail(committed.error());
  if (*committed) {
    if (auto ok = write_index_meta(meta.opstamp, meta.payload); !ok) return ok;
  }
  plan_merges();
  collect_garbage();
  return {};
}

void SegmentUpdater::wait_merging_threads() {
  for (;;) {
    {
      std::unique_lock lock(merge_mu_);
      merge_idle_cv_.wait(lock, [&] { return merge_stopping_ || (merge_jobs_.empty() && running_merges_ == 0); });
      if (merge_stopping_) return;
    }
    // Tasks queued before this point may plan further merges.
    schedule([] { return Result<void>(); }).wait();
    std::lock_guard lock(merge_mu_);
    if (merge_jobs_.empty() && running_merges_ == 0) return;
  }
}

}  // namespace fendral::indexer
