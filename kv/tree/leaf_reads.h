// Reads that visit a tree a leaf at a time instead of a key at a time.
//
//   auto n = kelm::count_keys(tree, as_bytes("node:"), as_bytes("node;"));
//
//   kelm::AscendingReader reader(tree);
//   for (const std::string& key : sorted_keys) auto value = reader.get(Tree::as_bytes(key));
//
// Both read each leaf once and hold off writers (the shared side of the
// concurrency control) only while one leaf is read.
#pragma once

#include <functional>
#include <optional>

#include "kv/tree/tree.h"

namespace kelm {

// Accepts a full key (the leaf's prefix restored).
using KeyFilter = std::function<bool(Bytes key)>;

// The number of keys k with lo <= k < hi (hi empty: to the end of the tree)
// that `keep` accepts, every such key without a filter. Without a filter a
// leaf wholly inside the range is counted without visiting its keys.
Result<uint64_t> count_keys(const Tree& tree, Bytes lo, Bytes hi, const KeyFilter& keep = {});

// Point reads in ascending key order: the leaf found by one read serves the
// reads after it while their keys fall in its range. Reads served by a kept
// leaf see it as it was when it was read (as an iterator does); keys asked
// for out of order are still answered, with a fresh descent.
class AscendingReader {
 public:
  explicit AscendingReader(Tree tree) : tree_(std::move(tree)) {}
  Result<std::optional<IVec>> get(Bytes key);

 private:
  Tree tree_;
  std::optional<Node> leaf_;
};

}  // namespace kelm
