// The segment set a searcher was built from, and the registry of the
// generations still in use.
//
// A generation lives as long as any searcher built with it holds it. The
// GenerationInventory hands out generations through track(): it keeps a
// weak entry per generation, and list() returns those still alive. Every
// registration and every release of a generation bumps the live count and
// wakes wait_for_change().
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "fulltext/index/index_meta.h"

namespace fendral::core {

struct SearcherGeneration {
  // Segment id -> delete opstamp (absent when the segment has no deletes),
  // ordered by the id's bytes.
  std::map<index::SegmentId, std::optional<uint64_t>> segments;
  uint64_t generation_id = 0;
};

class GenerationInventory {
 public:
  static std::shared_ptr<GenerationInventory> create();

  // Registers the generation; it is listed until the last holder of the
  // returned pointer releases it.
  std::shared_ptr<const SearcherGeneration> track(SearcherGeneration generation);
  std::vector<std::shared_ptr<const SearcherGeneration>> list() const;
  size_t live_count() const;
  // Waits until the live count differs from `seen` or the timeout passes;
  // returns the live count then.
  size_t wait_for_change(size_t seen, std::chrono::milliseconds timeout) const;

 private:
  GenerationInventory() = default;
  void released();
  mutable std::mutex mu_;
  mutable std::condition_variable changed_;
  std::vector<std::weak_ptr<const SearcherGeneration>> entries_;
  size_t live_ = 0;
  std::weak_ptr<GenerationInventory> self_;
};

}  // namespace fendral::core
