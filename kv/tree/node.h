// kelm::Node: the content of one tree page, and kelm::Link, the delta that
// changes it.
//
// A node covers the half-open key range [lo, hi) (hi empty: unbounded) and
// knows its right sibling. Every stored key (leaf key or index separator) is
// the full key without its first `prefix_len` bytes, which it shares with lo.
// A node installed in the page table is immutable: changes are made on a
// private copy (`clone` + `apply`) and published by the page cache.
//
// Invariant violations inside these operations are engine defects; they are
// reported through `NodeDefect` (see below) instead of ending the process.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "kv/ivec.h"
#include "kv/pagecache/disk_ptr.h"

namespace kelm {

using Bytes = std::span<const uint8_t>;

struct Leaf {
  std::vector<IVec> keys;    // encoded, strictly ascending
  std::vector<IVec> values;  // one per key
};

struct Index {
  std::vector<IVec> keys;         // encoded separators, ascending
  std::vector<PageId> pointers;   // child pid per separator
};

using Data = std::variant<Leaf, Index>;

namespace link {
struct Set {
  IVec key;  // encoded
  IVec value;
};
struct Del {
  IVec key;  // encoded
};
struct ParentMergeIntention {
  PageId pid;
};
struct ParentMergeConfirm {};
struct ChildMergeCap {};
}  // namespace link

// Tag order is the serialised tag byte: 0 Set, 1 Del, 2 ParentMergeIntention,
// 3 ParentMergeConfirm, 4 ChildMergeCap.
using Link = std::variant<link::Set, link::Del, link::ParentMergeIntention, link::ParentMergeConfirm, link::ChildMergeCap>;

std::string link_debug(const Link& l);

// Thrown only inside the engine by node operations that find a broken
// invariant; the tree and page-cache entry points catch it and return
// Error::ReportableBug with the defect text, so the host process keeps running.
struct NodeDefect {
  std::string text;
};

struct Node {
  uint8_t prefix_len = 0;
  PageId next = 0;           // 0: none
  PageId merging_child = 0;  // 0: none
  bool merging = false;
  IVec lo;
  IVec hi;  // empty: unbounded
  Data data = Leaf{};

  bool is_index() const { return std::holds_alternative<Index>(data); }
  bool is_leaf() const { return std::holds_alternative<Leaf>(data); }
  const Leaf& leaf() const { return const_cast<Node*>(this)->leaf(); }
  const Index& index() const { return const_cast<Node*>(this)->index(); }
  Leaf& leaf() {
    if (auto* l = std::get_if<Leaf>(&data)) return *l;
    throw NodeDefect{"leaf data expected on an index node"};
  }
  Index& index() {
    if (auto* i = std::get_if<Index>(&data)) return *i;
    throw NodeDefect{"index data expected on a leaf node"};
  }
  size_t len() const { return is_leaf() ? leaf().keys.size() : index().keys.size(); }
  const std::vector<IVec>& keys() const { return is_leaf() ? leaf().keys : index().keys; }

  Node clone() const { return *this; }
  // A private copy with room for `extra` more entries, so that the one
  // change applied to it next does not reallocate its vectors.
  Node clone_with_room(size_t extra) const;

  // Applies one link in place (private copies only).
  void apply(const Link& l);

  // (stored key, value) of a full key in a leaf, or none.
  std::optional<std::pair<const IVec*, const IVec*>> leaf_pair_for_key(Bytes key) const;
  // (encoded key, current value) for the insert and compare-and-swap paths.
  std::pair<IVec, std::optional<IVec>> node_kv_pair(Bytes key) const;
  Bytes prefix_encode(Bytes key) const;
  // prefix ++ stored, without its first new_prefix_len bytes.
  static IVec prefix_decode(Bytes prefix, const IVec& stored, size_t new_prefix_len);
  // Position and child of the greatest separator <= encoded key.
  std::pair<size_t, PageId> index_next_node(Bytes key) const;
  // Inserts a separator for a split; false when it is already there.
  bool parent_split(Bytes at, PageId to);

  // The full key of stored key i.
  IVec full_key(size_t i) const;

  std::string debug() const;
};

// Node that the tree creates for a fresh tree: an index root whose only
// separator is the empty key, pointing at `child`.
Node new_root(PageId child);
Node empty_leaf();

}  // namespace kelm
