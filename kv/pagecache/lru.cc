#include "kv/pagecache/lru.h"

#include <bit>
#include <thread>

#include "kv/tree/node.h"

namespace kelm::pagecache {

Lru::Lru(uint64_t cache_capacity) : shards_(new Shard[kShards]) {
  for (size_t i = 0; i < kShards; ++i) shards_[i].capacity = cache_capacity / kShards;
}

Lru::~Lru() {
  for (size_t i = 0; i < kShards; ++i) {
    delete shards_[i].current.load();
    for (AccessBatch* b = shards_[i].full.load(); b;) {
      AccessBatch* n = b->next.load();
      delete b;
      b = n;
    }
  }
}

uint64_t Lru::access_word(uint64_t position, uint64_t size) {
  uint64_t e = size <= 1 ? 0 : static_cast<uint64_t>(std::bit_width(size - 1));
  return (e << 56) | (position & ((1ull << 56) - 1));
}

void Lru::unlink(Shard& s, int64_t pos) {
  Entry& e = s.entries[pos];
  if (e.prev >= 0) s.entries[e.prev].next = e.next;
  else s.head = e.next;
  if (e.next >= 0) s.entries[e.next].prev = e.prev;
  else s.tail = e.prev;
  e.prev = e.next = -1;
  e.listed = false;
  --s.len;
}

void Lru::push_front(Shard& s, int64_t pos) {
  Entry& e = s.entries[pos];
  e.prev = -1;
  e.next = s.head;
  if (s.head >= 0) s.entries[s.head].prev = pos;
  s.head = pos;
  if (s.tail < 0) s.tail = pos;
  e.listed = true;
  ++s.len;
}

void Lru::apply(Shard& s, size_t shard_index, uint64_t word, std::vector<PageId>& out) {
  uint64_t pos = word & ((1ull << 56) - 1);
  uint64_t sz = 1ull << (word >> 56);
  if (s.entries.size() < pos + 1) s.entries.resize(pos + 1);
  Entry& e = s.entries[pos];
  s.size = s.size - e.size + sz;
  e.size = sz;
  if (e.listed) unlink(s, static_cast<int64_t>(pos));
  push_front(s, static_cast<int64_t>(pos));
  while (s.size > s.capacity && s.len > 1) {
    int64_t victim = s.tail;
    unlink(s, victim);
    s.size -= s.entries[victim].size;
    s.entries[victim].size = 0;
    out.push_back(static_cast<uint64_t>(victim) * kShards + shard_index);
  }
}

std::vector<PageId> Lru::accessed(PageId pid, uint64_t size, const Guard& guard) {
  size_t si = pid % kShards;
  Shard& s = shards_[si];
  uint64_t word = access_word(pid / kShards, size);
  bool closed = false;
  AccessBatch* cur = s.current.load(std::memory_order_acquire);
  uint64_t idx = cur->fill.fetch_add(1, std::memory_order_acq_rel);
  if (idx < kBatch) {
    cur->slots[idx].store(word, std::memory_order_release);
    return {};
  }
  for (;;) {
    auto* fresh = new AccessBatch();
    if (s.current.compare_exchange_strong(cur, fresh, std::memory_order_acq_rel, std::memory_order_acquire)) {
      AccessBatch* head = s.full.load(std::memory_order_relaxed);
      do {
        cur->next.store(head, std::memory_order_relaxed);
      } while (!s.full.compare_exchange_weak(head, cur, std::memory_order_release, std::memory_order_relaxed));
      closed = true;
      cur = fresh;
    } else {
      delete fresh;  // cur now holds the batch another thread installed
    }
    idx = cur->fill.fetch_add(1, std::memory_order_acq_rel);
    if (idx < kBatch) {
      cur->slots[idx].store(word, std::memory_order_release);
      break;
    }
  }
  if (!closed) return {};
  uint8_t expected = 0;
  if (!s.lock.compare_exchange_strong(expected, 1, std::memory_order_acquire)) return {};
  std::vector<PageId> out;
  AccessBatch* b = s.full.exchange(nullptr, std::memory_order_acq_rel);
  while (b) {
    for (size_t i = 0; i < kBatch; ++i) {
      uint64_t w;
      unsigned spins = 0;
      while ((w = b->slots[i].load(std::memory_order_acquire)) == 0) {
        if (++spins > 64) std::this_thread::yield();
      }
      apply(s, si, w, out);
    }
    AccessBatch* next = b->next.load(std::memory_order_relaxed);
    guard.retire(b);
    b = next;
  }
  if (s.lock.exchange(0, std::memory_order_release) == 0)
    throw NodeDefect{"assertion failed: self.mu.lock.swap(false, Release)"};
  return out;
}

}  // namespace kelm::pagecache

