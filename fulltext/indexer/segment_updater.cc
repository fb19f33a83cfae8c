#include "fulltext/indexer/segment_updater.h"

#include <algorithm>

#include "common/log.h"
#include "common/thread_name.h"
#include "fulltext/indexer/apply_deletes.h"

namespace fendral::indexer {
namespace {

constexpr const char* kTarget = "fendral::indexer::segment_updater";

std::vector<SegmentEntry> entries_of(const index::IndexMeta& meta, const DeleteCursor& cursor) {
  std::vector<SegmentEntry> out;
  for (const auto& m : meta.segments) out.push_back(SegmentEntry{m, cursor, std::nullopt});
  return out;
}

}  // namespace

SegmentUpdater::SegmentUpdater(index::FendralIndex index, const index::IndexMeta& meta, DeleteCursor cursor)
    : index_(std::move(index)), manager_(entries_of(meta, cursor)), active_meta_(meta) {
  thread_ = std::thread([this] {
    zudizid::common::set_current_thread_name("segment_updater");
    loop();
  });
}

SegmentUpdater::~SegmentUpdater() {
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

std::future<Result<void>> SegmentUpdater::schedule_add_segment(SegmentEntry entry) {
  return schedule([this, e = std::move(entry)]() mutable -> Result<void> {
    manager_.add_entry(std::move(e));
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
  std::set<std::string> living{"meta.json"};
  for (const auto& m : index_.inventory()->all()) {
    auto files = m.list_files();
    living.insert(files.begin(), files.end());
  }
  auto r = index_.directory().garbage_collect(living);
  if (!r) ZLOG(Warn, kTarget, "Garbage collection failed: {}", r.error().display());
}

index::IndexMeta SegmentUpdater::active_meta() const {
  std::lock_guard lock(meta_mu_);
  return active_meta_;
}

}  // namespace fendral::indexer
