// The index reader: hands out the current searcher and rebuilds it from
// meta.json on reload() and, unless the options say otherwise, whenever the
// directory reports that meta.json changed (the watch lives as long as the
// reader; a failed reload there is logged under "fendral::reader").
//
//   IndexReaderOptions o;
//   o.warmers = {my_warmer};                   // weak: the caller owns it
//   auto reader = IndexReader::open(index, o);
//   auto s = (*reader)->searcher();            // never blocks
//   ... commit ...; (*reader)->reload();
//
// Every searcher built gets the next searcher generation id (0 first); an
// id is consumed once the segment readers are open, even when the build
// fails later. A segment reader whose segment id and delete opstamp are
// unchanged is reused. A reload never replaces a
// searcher by one built from an older commit, so overlapping reloads cannot
// hide an acknowledged commit. A failed reload keeps the current searcher.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "fulltext/core/searcher.h"
#include "fulltext/core/warming.h"

namespace fendral::core {

struct IndexReaderOptions {
  size_t doc_store_cache_num_blocks = 100;
  size_t num_warming_threads = 1;
  std::vector<std::weak_ptr<Warmer>> warmers;
  // Reload whenever the directory reports a new meta.json (the program's
  // setting); off, the reader reloads only when asked.
  bool reload_on_meta_change = true;
};

class IndexReader {
 public:
  static Result<std::unique_ptr<IndexReader>> open(const index::FendralIndex& index, IndexReaderOptions options = {});

  std::shared_ptr<const Searcher> searcher() const;
  Result<void> reload();

  const WarmingState& warming() const { return *shared_->warming; }
  const GenerationInventory& generations() const { return *shared_->inventory; }

 private:
  struct Shared {
    index::FendralIndex index;
    size_t doc_store_cache_num_blocks;
    std::shared_ptr<GenerationInventory> inventory;
    std::shared_ptr<WarmingState> warming;
    std::atomic<uint64_t> generation_counter{0};
    mutable std::mutex mu;  // guards current
    std::shared_ptr<const Searcher> current;

    Result<std::shared_ptr<const Searcher>> create_searcher();
    std::shared_ptr<const Searcher> searcher() const;
    Result<void> reload();
  };
  explicit IndexReader(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
  std::shared_ptr<Shared> shared_;
  WatchHandle watch_;
};

}  // namespace fendral::core
