// The page cache's LRU: 256 shards, each counting page log sizes (rounded up
// to a power of two) against cache_capacity / 256.
//
// Accesses are recorded without locks into per-shard batches of 64 words;
// the thread that closes a full batch applies all waiting batches of its
// shard if it can take the shard's flag without waiting (flat combining) and
// returns the pids whose content should leave memory.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "kv/epoch/epoch.h"
#include "kv/pagecache/disk_ptr.h"

namespace kelm::pagecache {

class Lru {
 public:
  static constexpr size_t kShards = 256;
  static constexpr size_t kBatch = 64;

  explicit Lru(uint64_t cache_capacity);
  ~Lru();
  Lru(const Lru&) = delete;
  Lru& operator=(const Lru&) = delete;

  // Records one access; the pids to page out, in eviction order.
  std::vector<PageId> accessed(PageId pid, uint64_t size, const Guard& guard);

  // The access word of a size: exponent e (smallest with 2^e >= size) in bits
  // 56..63, position in bits 0..55.
  static uint64_t access_word(uint64_t position, uint64_t size);

 private:
  struct AccessBatch {
    std::atomic<uint64_t> slots[kBatch] = {};
    std::atomic<uint64_t> fill{0};
    std::atomic<AccessBatch*> next{nullptr};
  };
  struct Entry {
    int64_t prev = -1, next = -1;
    bool listed = false;
    uint64_t size = 0;
  };
  struct Shard {
    std::atomic<AccessBatch*> current{new AccessBatch()};
    std::atomic<AccessBatch*> full{nullptr};
    std::atomic<uint8_t> lock{0};
    // Guarded by `lock`:
    std::vector<Entry> entries;
    int64_t head = -1;  // most recent
    int64_t tail = -1;  // least recent
    size_t len = 0;
    uint64_t capacity = 0;
    uint64_t size = 0;
  };

  void apply(Shard& s, size_t shard_index, uint64_t word, std::vector<PageId>& out);
  static void unlink(Shard& s, int64_t pos);
  static void push_front(Shard& s, int64_t pos);

  std::unique_ptr<Shard[]> shards_;
};

}  // namespace kelm::pagecache
