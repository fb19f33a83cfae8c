#include "fulltext/stacker/shared_arena_hashmap.h"

#include <bit>

namespace fendral::stacker {

uint32_t murmurhash2(std::span<const uint8_t> key) {
  constexpr uint32_t kSeed = 0xC13F64AF;
  constexpr uint32_t m = 0x5BD1E995;
  uint32_t h = kSeed ^ static_cast<uint32_t>(key.size());
  size_t i = 0;
  for (; i + 4 <= key.size(); i += 4) {
    uint32_t k = uint32_t(key[i]) | uint32_t(key[i + 1]) << 8 | uint32_t(key[i + 2]) << 16 | uint32_t(key[i + 3]) << 24;
    k *= m;
    k ^= k >> 24;
    k *= m;
    h *= m;
    h ^= k;
  }
  size_t rest = key.size() - i;
  if (rest > 0) {
    uint32_t k = 0;
    for (size_t j = 0; j < rest; ++j) k |= uint32_t(key[i + j]) << (8 * j);
    h ^= k;
    h *= m;
  }
  h ^= h >> 13;
  h *= m;
  h ^= h >> 15;
  return h;
}

SharedArenaHashMap::SharedArenaHashMap(size_t capacity) {
  capacity_ = std::bit_floor(std::max<size_t>(capacity, 1));
  size_t slots = std::min(capacity_, kInitialSlots);
  table_.assign(slots, Slot{});
  mask_ = slots - 1;
}

// Called when the slot array holds half as many entries as slots. The slot
// array is never larger than the nominal capacity, so a full slot array
// means the nominal capacity is due to double as well.
void SharedArenaHashMap::grow() {
  if (capacity_ <= 2 * len_) capacity_ = std::max<size_t>(capacity_ * 2, 8);
  size_t new_cap = std::min(std::max<size_t>(table_.size() * 2, 8), capacity_);
  std::vector<Slot> fresh(new_cap);
  size_t mask = new_cap - 1;
  for (const Slot& s : table_) {
    if (s.addr.is_null()) continue;
    uint64_t probe = uint64_t{s.hash} + 1;
    while (!fresh[probe & mask].addr.is_null()) ++probe;
    fresh[probe & mask] = s;
  }
  table_ = std::move(fresh);
  mask_ = mask;
}

std::vector<std::pair<std::span<const uint8_t>, Addr>> SharedArenaHashMap::iter(const MemoryArena& arena) const {
  std::vector<std::pair<std::span<const uint8_t>, Addr>> out;
  out.reserve(len_);
  for (const Slot& s : table_) {
    if (s.addr.is_null()) continue;
    uint16_t klen = arena.read<uint16_t>(s.addr);
    out.emplace_back(std::span<const uint8_t>(arena.ptr(s.addr.offset(2)), klen), s.addr.offset(2 + klen));
  }
  return out;
}

}  // namespace fendral::stacker
