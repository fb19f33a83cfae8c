#include "algorithms/id_index.h"

#include <bit>
#include <cstring>

namespace zudizid::algorithms {

namespace {

// Ids made by counters differ only in a few bytes; every byte must reach the
// slot bits, so both halves go through a full 64-bit finaliser.
uint64_t mix(const Uuid& id) {
  uint64_t a, b;
  std::memcpy(&a, id.bytes().data(), 8);
  std::memcpy(&b, id.bytes().data() + 8, 8);
  uint64_t x = a ^ (b * 0x9E3779B97F4A7C15ull) ^ std::rotl(b, 29);
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBull;
  x ^= x >> 31;
  return x;
}

}  // namespace

IdIndex::IdIndex(size_t expected) {
  ids_.reserve(expected);
  rehash(std::bit_ceil(std::max<size_t>(16, expected + expected / 2 + 1)));
}

IdIndex IdIndex::of(std::span<const Uuid> ids) {
  IdIndex index(ids.size());
  for (const Uuid& id : ids) index.insert(id);
  return index;
}

size_t IdIndex::slot_of(const Uuid& id) const { return static_cast<size_t>(mix(id)) & mask_; }

void IdIndex::rehash(size_t slot_count) {
  slots_.assign(slot_count, kAbsent);
  mask_ = slot_count - 1;
  for (uint32_t p = 0; p < ids_.size(); ++p) {
    size_t s = slot_of(ids_[p]);
    while (slots_[s] != kAbsent) s = (s + 1) & mask_;
    slots_[s] = p;
  }
}

uint32_t IdIndex::find(const Uuid& id) const {
  if (slots_.empty()) return kAbsent;
  for (size_t s = slot_of(id);; s = (s + 1) & mask_) {
    uint32_t p = slots_[s];
    if (p == kAbsent || ids_[p] == id) return p;
  }
}

uint32_t IdIndex::insert(const Uuid& id) {
  // Load factor at most 2/3 keeps probe sequences short.
  if ((ids_.size() + 1) * 3 > slots_.size() * 2) rehash(std::max<size_t>(16, slots_.size() * 2));
  size_t s = slot_of(id);
  for (;; s = (s + 1) & mask_) {
    uint32_t p = slots_[s];
    if (p == kAbsent) break;
    if (ids_[p] == id) return p;
  }
  auto p = static_cast<uint32_t>(ids_.size());
  ids_.push_back(id);
  slots_[s] = p;
  return p;
}

}  // namespace zudizid::algorithms
