#include "fulltext/core/index_reader.h"

#include "common/log.h"

namespace fendral::core {

Result<std::unique_ptr<IndexReader>> IndexReader::open(const index::FendralIndex& index,
                                                       IndexReaderOptions options) {
  auto shared = std::make_shared<Shared>(index, options.doc_store_cache_num_blocks);
  shared->inventory = GenerationInventory::create();
  shared->warming =
      WarmingState::create(options.num_warming_threads, std::move(options.warmers), shared->inventory);
  if (auto ok = shared->reload(); !ok) return fail(ok.error());
  std::unique_ptr<IndexReader> reader(new IndexReader(shared));
  if (!options.reload_on_meta_change) return reader;
  auto watch = index.directory().watch([shared] {
    if (auto ok = shared->reload(); !ok) {
      ZLOG(Error, "fendral::reader", "Error while loading searcher after commit was detected. {}",
           ok.error().debug());
    }
  });
  if (!watch) return fail(watch.error());
  reader->watch_ = std::move(*watch);
  return reader;
}

std::shared_ptr<const Searcher> IndexReader::searcher() const { return shared_->searcher(); }

Result<void> IndexReader::reload() { return shared_->reload(); }

std::shared_ptr<const Searcher> IndexReader::Shared::searcher() const {
  std::lock_guard lock(mu);
  return current;
}

Result<std::shared_ptr<const Searcher>> IndexReader::Shared::create_searcher() {
  auto meta = index.load_metas();
  if (!meta) return fail(meta.error());
  auto previous = searcher();
  std::vector<std::shared_ptr<const index::SegmentReader>> readers;
  SearcherGeneration generation;
  for (const auto& seg : meta->segments) {
    std::shared_ptr<const index::SegmentReader> reuse;
    if (previous) {
      for (const auto& r : previous->segment_readers()) {
        if (r->segment_id() == seg.id() && r->meta().delete_opstamp() == seg.delete_opstamp()) reuse = r;
      }
    }
    if (!reuse) {
      auto opened = index::SegmentReader::open(index, seg);
      if (!opened) return fail(opened.error());
      reuse = std::move(*opened);
    }
    generation.segments[reuse->segment_id()] = reuse->meta().delete_opstamp();
    readers.push_back(std::move(reuse));
  }
  generation.generation_id = generation_counter.fetch_add(1);
  auto tracked = inventory->track(std::move(generation));
  auto searcher = Searcher::create(index.schema(), std::move(readers), meta->opstamp, std::move(tracked),
                                   doc_store_cache_num_blocks);
  if (!searcher) return fail(searcher.error());
  if (auto ok = warming->warm_new_searcher(**searcher); !ok) return fail(ok.error());
  return searcher;
}

Result<void> IndexReader::Shared::reload() {
  auto searcher = create_searcher();
  if (!searcher) return fail(searcher.error());
  std::lock_guard lock(mu);
  if (!current || current->opstamp() <= (*searcher)->opstamp()) current = std::move(*searcher);
  return {};
}

}  // namespace fendral::core
