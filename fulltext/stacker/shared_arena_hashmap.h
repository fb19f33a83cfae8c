// Open-addressing hash map from byte keys (at most 65535 bytes; longer keys
// are truncated) to fixed-size values, with keys and values stored in a
// caller's arena. Slots hold (entry address, key hash); at least half the
// slots stay empty, so probing always ends.
//
// capacity() is the map's nominal size, the figure the memory budget counts
// (8 bytes a slot): it starts at the size asked for and doubles whenever it
// is not above twice the entry count. The slot array itself starts at no
// more than kInitialSlots and doubles under the same rule until it reaches
// the nominal size: a segment writer asks for half a million slots and
// usually fills a few thousand, and a small dense array is built at once and
// probed without cache misses. Entry order (iter) is hash order either way,
// which no caller relies on.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "fulltext/stacker/memory_arena.h"

namespace fendral::stacker {

// MurmurHash2 (32-bit) with the map's seed.
uint32_t murmurhash2(std::span<const uint8_t> key);

class SharedArenaHashMap {
 public:
  // Capacity: the largest power of two not above max(n, 1).
  explicit SharedArenaHashMap(size_t capacity);

  // Finds or creates the key's entry and replaces its value with what
  // updater returns (given the current value, or nullopt for a new key).
  // The updater is any callable V(std::optional<V>); it is called in place,
  // never wrapped, as this runs once per indexed token.
  template <class V, class F>
  Result<V> mutate_or_create(std::span<const uint8_t> key, MemoryArena& arena, F&& updater);

  // (key, value address) of every entry, in table order.
  std::vector<std::pair<std::span<const uint8_t>, Addr>> iter(const MemoryArena& arena) const;

  size_t len() const { return len_; }
  size_t capacity() const { return capacity_; }
  size_t mem_usage() const { return capacity_ * 8; }

  static constexpr size_t kInitialSlots = 4096;

 private:
  struct Slot {
    Addr addr;
    uint32_t hash = 0;
  };
  void grow();
  std::vector<Slot> table_;
  size_t mask_;
  size_t capacity_;
  size_t len_ = 0;
};

// A SharedArenaHashMap with an arena of its own.
class ArenaHashMap {
 public:
  explicit ArenaHashMap(size_t capacity) : map_(capacity) {}
  template <class V, class F>
  Result<V> mutate_or_create(std::span<const uint8_t> key, F&& updater) {
    return map_.mutate_or_create<V>(key, arena_, std::forward<F>(updater));
  }
  std::vector<std::pair<std::span<const uint8_t>, Addr>> iter() const { return map_.iter(arena_); }
  size_t len() const { return map_.len(); }
  size_t capacity() const { return map_.capacity(); }
  size_t mem_usage() const { return map_.mem_usage() + arena_.mem_usage(); }
  MemoryArena& arena() { return arena_; }
  const MemoryArena& arena() const { return arena_; }

 private:
  SharedArenaHashMap map_;
  MemoryArena arena_;
};

template <class V, class F>
Result<V> SharedArenaHashMap::mutate_or_create(std::span<const uint8_t> key, MemoryArena& arena, F&& updater) {
  static_assert(std::is_trivially_copyable_v<V>);
  if (table_.size() <= 2 * len_) grow();
  if (key.size() > 0xFFFF) key = key.first(0xFFFF);
  uint32_t h = murmurhash2(key);
  uint64_t probe = uint64_t{h} + 1;
  while (true) {
    Slot& slot = table_[probe & mask_];
    if (slot.addr.is_null()) {
      V value = updater(std::optional<V>());
      auto addr = arena.allocate_space(2 + key.size() + sizeof(V));
      if (!addr) return std::unexpected(addr.error());
      uint16_t klen = static_cast<uint16_t>(key.size());
      arena.write<uint16_t>(*addr, klen);
      arena.write_bytes(addr->offset(2), key.data(), key.size());
      arena.write<V>(addr->offset(2 + klen), value);
      Slot& fresh = table_[probe & mask_];  // the updater never touches this table
      fresh.addr = *addr;
      fresh.hash = h;
      ++len_;
      return value;
    }
    if (slot.hash == h) {
      uint16_t klen = arena.read<uint16_t>(slot.addr);
      if (klen == key.size() && (klen == 0 || std::memcmp(arena.ptr(slot.addr.offset(2)), key.data(), klen) == 0)) {
        Addr value_addr = slot.addr.offset(2 + klen);
        V value = updater(std::optional<V>(arena.read<V>(value_addr)));
        arena.write<V>(value_addr, value);
        return value;
      }
    }
    ++probe;
  }
}

}  // namespace fendral::stacker
