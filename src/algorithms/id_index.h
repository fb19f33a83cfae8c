// IdIndex: the dense numbering every algorithm works on, and NodeMap, the
// node id -> value map every algorithm returns.
//
// An IdIndex numbers distinct 16-byte ids 0, 1, 2, ... in the order they are
// first inserted; `find` answers in one probe sequence of an open-addressing
// table. Positions are 32-bit: an index holds fewer than 2^32 - 1 ids (a
// graph that large would need 64 GB for its ids alone).
//
//   IdIndex index;
//   uint32_t a = index.insert(x);      // 0
//   index.insert(x);                   // 0 again
//   index.find(y) == IdIndex::kAbsent  // true
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "common/uuid.h"

namespace zudizid::algorithms {

using common::Uuid;

class IdIndex {
 public:
  static constexpr uint32_t kAbsent = UINT32_MAX;

  IdIndex() = default;
  // Room for `expected` ids before the table grows.
  explicit IdIndex(size_t expected);
  // An index of `ids` in order; a repeated id keeps its first position.
  static IdIndex of(std::span<const Uuid> ids);

  // The position of `id`, appending it when absent.
  uint32_t insert(const Uuid& id);
  // The position of `id`, or kAbsent.
  uint32_t find(const Uuid& id) const;
  bool contains(const Uuid& id) const { return find(id) != kAbsent; }

  size_t size() const { return ids_.size(); }
  bool empty() const { return ids_.empty(); }
  const Uuid& id(uint32_t position) const { return ids_[position]; }
  const std::vector<Uuid>& ids() const { return ids_; }

 private:
  void rehash(size_t slot_count);
  size_t slot_of(const Uuid& id) const;

  std::vector<Uuid> ids_;
  std::vector<uint32_t> slots_;  // power-of-two length, kAbsent marks a free slot
  size_t mask_ = 0;
};

// A map from node id to value: the keys' positions index `values`.
template <class T>
struct NodeMap {
  IdIndex keys;
  std::vector<T> values;

  size_t size() const { return values.size(); }
  bool empty() const { return values.empty(); }
  const T* find(const Uuid& id) const {
    uint32_t p = keys.find(id);
    return p == IdIndex::kAbsent ? nullptr : &values[p];
  }
  const Uuid& id_at(size_t position) const { return keys.id(static_cast<uint32_t>(position)); }
};

}  // namespace zudizid::algorithms
