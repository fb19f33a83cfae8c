#include "kv/tree/node.h"

#include <algorithm>
#include <type_traits>

#include "kv/tree/prefetch.h"

namespace kelm {
namespace {

[[noreturn]] void defect(std::string text) { throw NodeDefect{std::move(text)}; }

int cmp(Bytes a, Bytes b) {
  auto o = IVec::compare(a, b);
  return o < 0 ? -1 : (o > 0 ? 1 : 0);
}

constexpr size_t kPrefetchAll = 32;

// Binary search: (found, position or insertion point).
std::pair<bool, size_t> search(const std::vector<IVec>& keys, Bytes probe) {
  size_t lo = 0, hi = keys.size();
  // Leaves are small: their key buffers are all asked for before the
  // probes. Index nodes are larger and their short separators are inline.
  if (hi <= kPrefetchAll) tree::prefetch_buffers(keys, false);
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    int c = cmp(keys[mid].bytes(), probe);
    if (c == 0) return {true, mid};
    if (c < 0) lo = mid + 1;
    else hi = mid;
  }
  return {false, lo};
}

std::string pid_opt(PageId p) { return p ? "Some(" + std::to_string(p) + ")" : "None"; }

}  // namespace

std::string link_debug(const Link& l) {
  struct V {
    std::string operator()(const link::Set& s) const { return "Set(" + s.key.debug() + ", " + s.value.debug() + ")"; }
    std::string operator()(const link::Del& d) const { return "Del(" + d.key.debug() + ")"; }
    std::string operator()(const link::ParentMergeIntention& p) const {
      return "ParentMergeIntention(" + std::to_string(p.pid) + ")";
    }
    std::string operator()(const link::ParentMergeConfirm&) const { return "ParentMergeConfirm"; }
    std::string operator()(const link::ChildMergeCap&) const { return "ChildMergeCap"; }
  };
  return std::visit(V{}, l);
}

namespace {
template <class T>
std::vector<T> copy_with_room(const std::vector<T>& v, size_t extra) {
  if constexpr (std::is_same_v<T, IVec>) tree::prefetch_buffers(v, true);
  std::vector<T> out;
  out.reserve(v.size() + extra);
  out.assign(v.begin(), v.end());
  return out;
}
}  // namespace

Node Node::clone_with_room(size_t extra) const {
  Node n;
  n.prefix_len = prefix_len;
  n.next = next;
  n.merging_child = merging_child;
  n.merging = merging;
  n.lo = lo;
  n.hi = hi;
  if (const auto* l = std::get_if<Leaf>(&data)) {
    n.data = Leaf{copy_with_room(l->keys, extra), copy_with_room(l->values, extra)};
  } else {
    const auto& ix = std::get<Index>(data);
    n.data = Index{copy_with_room(ix.keys, extra), copy_with_room(ix.pointers, extra)};
  }
  return n;
}

Bytes Node::prefix_encode(Bytes key) const {
  if (cmp(lo.bytes(), key) > 0) defect("assertion failed: *self.lo <= *key");
  if (!hi.empty() && cmp(hi.bytes(), key) <= 0) defect("assertion failed: *self.hi > *key");
  if (key.size() < prefix_len) defect("key shorter than the node's prefix length");
  return key.subspan(prefix_len);
}

void Node::apply(const Link& l) {
  if (merging) defect("somehow a link was applied to a node after it was merged");
  if (auto* s = std::get_if<link::Set>(&l)) {
    if (!hi.empty() && cmp(s->key.bytes(), hi.bytes().subspan(prefix_len)) >= 0)
      defect("assertion failed: *key < self.hi[self.prefix_len as usize..]");
    if (is_index()) defect("tried to Set a value to an index");
    auto& lf = leaf();
    auto [found, i] = search(lf.keys, s->key.bytes());
    if (found) {
      lf.values[i] = s->value;
    } else {
      lf.keys.insert(lf.keys.begin() + i, s->key);
      lf.values.insert(lf.values.begin() + i, s->value);
    }
  } else if (auto* d = std::get_if<link::Del>(&l)) {
    if (is_index()) defect("tried to attach a Del to an Index chain");
    auto& lf = leaf();
    if (lf.keys.empty()) return;
    auto [found, i] = search(lf.keys, d->key.bytes());
    if (found) {
      lf.keys.erase(lf.keys.begin() + i);
      lf.values.erase(lf.values.begin() + i);
    }
  } else if (auto* p = std::get_if<link::ParentMergeIntention>(&l)) {
    if (merging_child != 0)
      defect("trying to merge " + link_debug(l) + " into node " + debug() + " which is already merging another child");
    if (p->pid == 0) defect("ParentMergeIntention of pid 0");
    merging_child = p->pid;
  } else if (std::holds_alternative<link::ParentMergeConfirm>(l)) {
    if (merging_child == 0) defect("assertion failed: self.merging_child.is_some()");
    PageId child = merging_child;
    merging_child = 0;
    if (is_leaf()) defect("parent_merge_confirm called on leaf data");
    auto& ix = index();
    auto it = std::find(ix.pointers.begin(), ix.pointers.end(), child);
    if (it == ix.pointers.end()) defect("merged child " + std::to_string(child) + " not found in its parent");
    size_t i = it - ix.pointers.begin();
    ix.keys.erase(ix.keys.begin() + i);
    ix.pointers.erase(it);
  } else {
    merging = true;
  }
}

std::optional<std::pair<const IVec*, const IVec*>> Node::leaf_pair_for_key(Bytes key) const {
  if (is_index()) defect("leaf_pair_for_key called on index node");
  if (key.size() < prefix_len) defect("key shorter than the node's prefix length");
  const auto& lf = leaf();
  if (lf.keys.empty()) return std::nullopt;
  auto [found, i] = search(lf.keys, key.subspan(prefix_len));
  if (!found) return std::nullopt;
  return std::pair{&lf.keys[i], &lf.values[i]};
}

std::pair<IVec, std::optional<IVec>> Node::node_kv_pair(Bytes key) const {
  if (cmp(key, lo.bytes()) < 0) defect("assertion failed: key >= self.lo.as_ref()");
  if (!hi.empty() && cmp(key, hi.bytes()) >= 0) defect("assertion failed: key < self.hi.as_ref()");
  if (auto kv = leaf_pair_for_key(key)) return {*kv->first, *kv->second};
  return {IVec::from_slice(key.subspan(prefix_len)), std::nullopt};
}

IVec Node::prefix_decode(Bytes prefix, const IVec& stored, size_t new_prefix_len) {
  if (new_prefix_len > prefix.size() + stored.size()) defect("prefix_decode: new prefix longer than the key");
  if (new_prefix_len >= prefix.size()) return IVec::from_slice(stored.bytes().subspan(new_prefix_len - prefix.size()));
  return IVec::concat(prefix.subspan(new_prefix_len), stored.bytes());
}

std::pair<size_t, PageId> Node::index_next_node(Bytes key) const {
  if (is_leaf()) defect("index_next_node called on leaf");
  if (key.size() < prefix_len) defect("key shorter than the node's prefix length");
  Bytes enc = key.subspan(prefix_len);
  const auto& ix = index();
  if (ix.keys.empty() || cmp(enc, ix.keys[0].bytes()) < 0) defect("failed to traverse index");
  auto [found, i] = search(ix.keys, enc);
  size_t pos = found ? i : i - 1;
  return {pos, ix.pointers[pos]};
}

bool Node::parent_split(Bytes at, PageId to) {
  if (is_leaf()) defect("tried to attach a ParentSplit to a Leaf chain");
  if (at.size() < prefix_len) defect("key shorter than the node's prefix length");
  Bytes enc = at.subspan(prefix_len);
  auto& ix = index();
  auto [found, i] = search(ix.keys, enc);
  if (found) return false;
  ix.keys.insert(ix.keys.begin() + i, IVec::from_slice(enc));
  ix.pointers.insert(ix.pointers.begin() + i, to);
  return true;
}

IVec Node::full_key(size_t i) const {
  const IVec& stored = keys()[i];
  if (prefix_len == 0) return stored;
  return prefix_decode(lo.bytes().subspan(0, prefix_len), stored, 0);
}

std::string Node::debug() const {
  std::string s = "Node { prefix_len: " + std::to_string(prefix_len) + ", next: " + pid_opt(next) +
                  ", merging_child: " + pid_opt(merging_child) + ", merging: " + (merging ? "true" : "false") +
                  ", lo: " + lo.debug() + ", hi: " + hi.debug() + ", data: ";
  auto list = [](const std::vector<IVec>& v) {
    std::string r = "[";
    for (size_t i = 0; i < v.size(); ++i) r += (i ? ", " : "") + v[i].debug();
    return r + "]";
  };
  if (is_leaf()) {
    s += "Leaf(Leaf { keys: " + list(leaf().keys) + ", values: " + list(leaf().values) + " })";
  } else {
    std::string p = "[";
    for (size_t i = 0; i < index().pointers.size(); ++i) p += (i ? ", " : "") + std::to_string(index().pointers[i]);
    s += "Index(Index { keys: " + list(index().keys) + ", pointers: " + p + "] })";
  }
  return s + " }";
}

Node new_root(PageId child) {
  Node n;
  n.data = Index{{IVec()}, {child}};
  return n;
}

Node empty_leaf() { return Node{}; }

}  // namespace kelm
