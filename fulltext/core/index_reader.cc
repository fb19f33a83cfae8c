#include "fulltext/core/index_reader.h"

namespace fendral::core {

Result<std::unique_ptr<IndexReader>> IndexReader::open(const index::FendralIndex& index) {
  std::unique_ptr<IndexReader> r(new IndexReader(index));
  if (auto ok = r->reload(); !ok) return fail(ok.error());
  return r;
}

std::shared_ptr<const Searcher> IndexReader::searcher() const {
  std::lock_guard lock(mu_);
  return current_;
}

Result<void> IndexReader::reload() {
  auto meta = index_.load_metas();
  if (!meta) return fail(meta.error());
  auto previous = searcher();
  std::vector<std::shared_ptr<const index::SegmentReader>> readers;
  for (const auto& seg : meta->segments) {
    std::shared_ptr<const index::SegmentReader> reuse;
    if (previous) {
      for (const auto& r : previous->segment_readers()) {
        if (r->segment_id() == seg.id() && r->meta().delete_opstamp() == seg.delete_opstamp()) reuse = r;
      }
    }
    if (!reuse) {
      auto opened = index::SegmentReader::open(index_, seg);
      if (!opened) return fail(opened.error());
      reuse = std::move(*opened);
    }
    readers.push_back(std::move(reuse));
  }
  auto searcher = Searcher::create(index_.schema(), std::move(readers), meta->opstamp);
  if (!searcher) return fail(searcher.error());
  std::lock_guard lock(mu_);
  if (!current_ || current_->opstamp() <= (*searcher)->opstamp()) current_ = std::move(*searcher);
  return {};
}

}  // namespace fendral::core
