// The register of an index's segments: uncommitted (registered since the
// last commit) and committed. Thread-safe; entries are copied out and
// written back whole.
#pragma once

#include <mutex>
#include <vector>

#include "fulltext/indexer/segment_entry.h"

namespace fendral::indexer {

class SegmentManager {
 public:
  explicit SegmentManager(std::vector<SegmentEntry> committed) : committed_(std::move(committed)) {}
  void add_entry(SegmentEntry entry);
  // Uncommitted first, then committed.
  std::vector<SegmentEntry> entries() const;
  // Makes exactly these entries the committed register.
  void commit(std::vector<SegmentEntry> entries);
  void remove_all_segments();
  // Drops committed segments whose every document is deleted.
  void drop_empty_segments();
  std::vector<index::SegmentMeta> committed_metas() const;

 private:
  mutable std::mutex mu_;
  std::vector<SegmentEntry> uncommitted_;
  std::vector<SegmentEntry> committed_;
};

}  // namespace fendral::indexer
