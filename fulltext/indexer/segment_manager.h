// The register of an index's segments: uncommitted (registered since the
// last commit, and merges of those) and committed (the last meta.json's, and
// merges of those). A segment id is in at most one register, at most once.
// Thread-safe; entries are copied out and written back whole.
#pragma once

#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fulltext/indexer/segment_entry.h"

namespace fendral::indexer {

// "[Seg(\"1a2b3c4d\"), ...]": segment ids as the logs show them.
std::string segment_ids_debug(const std::vector<index::SegmentId>& ids);

class SegmentManager {
 public:
  explicit SegmentManager(std::vector<SegmentEntry> committed) : committed_(std::move(committed)) {}
  // Replaces an uncommitted entry of the same id.
  void add_entry(SegmentEntry entry);
  // Uncommitted first, then committed.
  std::vector<SegmentEntry> entries() const;
  // Makes exactly these entries the committed register.
  void commit(std::vector<SegmentEntry> entries);
  void remove_all_segments();
  // Drops committed segments whose every document is deleted.
  void drop_empty_segments();
  std::vector<index::SegmentMeta> committed_metas() const;

  struct Mergeable {
    std::vector<index::SegmentMeta> committed, uncommitted;
  };
  // The metas of both registers, leaving out the ids in `in_merge`.
  Mergeable mergeable_segments(const std::set<index::SegmentId>& in_merge) const;
  // The entries of the ids, in order, all from one register; InvalidArgument
  // otherwise.
  Result<std::vector<SegmentEntry>> entries_for_merge(const std::vector<index::SegmentId>& ids) const;
  // Removes the merged ids from the register holding all of them and adds the
  // merged entry (when any) there; whether that register is the committed
  // one. InvalidArgument, nothing changed, when no register holds them all.
  Result<bool> replace_merged(const std::vector<index::SegmentId>& ids, std::optional<SegmentEntry> merged);

 private:
  mutable std::mutex mu_;
  std::vector<SegmentEntry> uncommitted_;
  std::vector<SegmentEntry> committed_;
};

}  // namespace fendral::indexer
