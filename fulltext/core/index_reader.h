// The index reader: hands out the current searcher and reloads it from
// meta.json. A reload never replaces a searcher by one built from an older
// commit, so overlapping reloads cannot hide an acknowledged commit. Segment
// readers whose segment id and delete opstamp are unchanged are reused.
#pragma once

#include <memory>
#include <mutex>

#include "fulltext/core/searcher.h"

namespace fendral::core {

class IndexReader {
 public:
  static Result<std::unique_ptr<IndexReader>> open(const index::FendralIndex& index);

  std::shared_ptr<const Searcher> searcher() const;
  Result<void> reload();

 private:
  explicit IndexReader(index::FendralIndex index) : index_(std::move(index)) {}
  index::FendralIndex index_;
  mutable std::mutex mu_;
  std::shared_ptr<const Searcher> current_;
};

}  // namespace fendral::core
