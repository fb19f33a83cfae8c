// B-link tree algorithms: descent with move-right, splits finished by any
// thread, root growth, single-key writes and cooperative merges.
#include <algorithm>
#include <thread>

#include "common/log.h"
#include "kv/tree/tree.h"

namespace kelm {

using pagecache::CasOutcome;
using tree::View;

namespace {

constexpr const char* kTarget = "kelm::tree";
constexpr size_t kMaxPasses = 1000000;
std::atomic<bool> g_merges{true};

[[noreturn]] void defect(std::string text) { throw NodeDefect{std::move(text)}; }

int cmp(Bytes a, Bytes b) {
  auto o = IVec::compare(a, b);
  return o < 0 ? -1 : (o > 0 ? 1 : 0);
}

size_t common_prefix(Bytes a, Bytes b) {
  size_t n = std::min(a.size(), b.size()), i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

bool should_split(const Node& n) { return n.is_index() ? n.len() > 256 : n.len() > 16; }
bool should_merge(const Node& n) { return n.is_index() ? n.len() < 64 : n.len() < 4; }

void check_bounds(const Node& n, const char* self) {
  std::string s(self);
  if (n.lo.empty() && n.hi.empty()) defect("assertion failed: !(" + s + ".lo.is_empty() && " + s + ".hi.is_empty())");
  if (n.lo.empty() && n.prefix_len > 0)
    defect("assertion failed: !(" + s + ".lo.is_empty() && (" + s + ".prefix_len > 0))");
  if (n.lo.size() < n.prefix_len) defect("assertion failed: " + s + ".lo.len() >= " + s + ".prefix_len as usize");
  if (n.hi.size() < n.prefix_len) defect("assertion failed: " + s + ".hi.len() >= " + s + ".prefix_len as usize");
  if (!n.lo.empty() && !n.hi.empty() && !(n.lo < n.hi)) defect(n.debug());
}

// Re-encodes stored keys from (old prefix bytes) to a new prefix length.
void reencode(std::vector<IVec>& keys, Bytes old_prefix, size_t new_len) {
  if (old_prefix.size() == new_len) return;
  for (auto& k : keys) k = Node::prefix_decode(old_prefix, k, new_len);
}

View make_view(const pagecache::PageView& pv, PageId pid) { return View{pv, pid, pv.read->log_size()}; }

}  // namespace

namespace tree {
void set_merges_enabled(bool on) { g_merges.store(on); }
bool merges_enabled() { return g_merges.load(std::memory_order_relaxed); }
}  // namespace tree

TreeInner::TreeInner(IVec n, Context c, PageId r) : name(std::move(n)), ctx(std::move(c)), root(r) {}

Result<std::optional<View>> TreeInner::view_for_pid(PageId pid, const Guard& guard) {
  for (;;) {
    auto g = pc().get(pid, guard);
    if (!g) return std::unexpected(g.error());
    if (!*g) return std::optional<View>();
    View v = make_view(**g, pid);
    const Node& n = v.node();
    if (tree::merges_enabled() && n.merging_child != 0) {
      if (auto m = merge_node(v, n.merging_child, guard); !m) return std::unexpected(m.error());
      continue;
    }
    return std::optional<View>(v);
  }
}

Result<View> TreeInner::view_for_key(Bytes key, const Guard& guard) {
  PageId cursor = root.load(std::memory_order_acquire);
  PageId root_pid = cursor;
  std::optional<View> parent, unsplit_parent;
  bool took_leftmost = false;
  auto restart = [&](int line) {
    ZLOG(Trace, kTarget, "retrying at line {} when cursor was {}", line, cursor);
    cursor = root_pid = root.load(std::memory_order_acquire);
    parent.reset();
    unsplit_parent.reset();
    took_leftmost = false;
  };
  for (size_t pass = 0; pass < kMaxPasses; ++pass) {
    auto got = view_for_pid(cursor, guard);
    if (!got) return std::unexpected(got.error());
    if (!*got) {
      restart(1651);
      continue;
    }
    View view = **got;
    const Node& node = view.node();
    if (node.merging) {
      restart(1661);
      continue;
    }
    bool overshot = cmp(key, node.lo.bytes()) < 0;
    bool undershot = !node.hi.empty() && cmp(key, node.hi.bytes()) >= 0;
    if (overshot) {
      restart(1670);
      continue;
    }
    if (should_split(node)) {
      if (auto s = split_node(view, parent, root_pid, guard); !s) return std::unexpected(s.error());
      restart(1675);
      continue;
    }
    if (undershot) {
      if (node.next == 0) defect("if our hi bound is not Inf (inity), we should have a right sibling");
      cursor = node.next;
      if (!unsplit_parent && parent) {
        unsplit_parent = parent;
      } else if (!parent && node.lo.empty()) {
        if (unsplit_parent) defect("assertion failed: unsplit_parent.is_none()");
        if (view.pid != root_pid)
          defect(fmt::format("assertion failed: `(left == right)` left: `{}`, right: `{}`", view.pid, root_pid));
        auto h = root_hoist(root_pid, node.next, node.hi, guard);
        if (!h) return std::unexpected(h.error());
        if (*h) {
          restart(1697);
          continue;
        }
      }
      continue;
    }
    if (unsplit_parent) {
      View up = *unsplit_parent;
      unsplit_parent.reset();
      Node copy = up.node().clone_with_room(1);
      if (!copy.parent_split(node.lo.bytes(), cursor)) {
        restart(1713);
        continue;
      }
      auto r = pc().replace(up.pid, up.node_view, std::move(copy), guard);
      if (!r) return std::unexpected(r.error());
    }
    if (tree::merges_enabled() && parent && !took_leftmost && should_merge(node)) {
      const Node& pnode = parent->node();
      if (pnode.merging_child != 0) defect("assertion failed: parent.merging_child.is_none()");
      if (!pnode.merging) {
        auto l = pc().link(parent->pid, parent->node_view, Link(link::ParentMergeIntention{cursor}), guard);
        if (!l) return std::unexpected(l.error());
        if (l->installed) {
          View pv = make_view(l->view, parent->pid);
          if (auto m = merge_node(pv, cursor, guard); !m) return std::unexpected(m.error());
          restart(1751);
          continue;
        }
      }
    }
    if (node.is_leaf()) return view;
    auto [pos, child] = node.index_next_node(key);
    took_leftmost = pos == 0;
    parent = view;
    unsplit_parent.reset();
    cursor = child;
  }
  defect(fmt::format("cannot find pid {} in view_for_key, looking for key {} in tree", cursor,
                     IVec::debug_bytes(key)));
}

Result<void> TreeInner::split_node(const View& view, const std::optional<View>& parent, PageId root_pid,
                                   const Guard& guard) {
  ZLOG(Trace, kTarget, "splitting node {}", view.pid);
  const Node& old = view.node();
  Node left = old.clone();
  size_t n = left.len();
  size_t keep = n / 2 + 1;
  Bytes old_prefix = old.lo.bytes().subspan(0, old.prefix_len);
  Node right;
  right.hi = old.hi;
  right.next = old.next;
  std::vector<uint8_t> split(old_prefix.begin(), old_prefix.end());
  if (left.is_leaf()) {
    auto& lf = left.leaf();
    const IVec& a = lf.keys[keep - 1];
    const IVec& b = lf.keys[keep];
    size_t c = common_prefix(a.bytes(), b.bytes());
    split.insert(split.end(), b.data(), b.data() + std::min(b.size(), c + 1));
    Leaf rl;
    rl.keys.assign(lf.keys.begin() + keep, lf.keys.end());
    rl.values.assign(lf.values.begin() + keep, lf.values.end());
    lf.keys.resize(keep);
    lf.values.resize(keep);
    right.data = std::move(rl);
  } else {
    auto& ix = left.index();
    split.insert(split.end(), ix.keys[keep].data(), ix.keys[keep].data() + ix.keys[keep].size());
    Index ri;
    ri.keys.assign(ix.keys.begin() + keep, ix.keys.end());
    ri.pointers.assign(ix.pointers.begin() + keep, ix.pointers.end());
    ix.keys.resize(keep);
    ix.pointers.resize(keep);
    right.data = std::move(ri);
  }
  if (split.empty()) defect("assertion failed: !split_point.is_empty()");
  IVec at = IVec::from_vec(std::move(split));
  right.lo = at;
  right.prefix_len =
      right.hi.empty() ? 0 : static_cast<uint8_t>(std::min<size_t>(255, common_prefix(at.bytes(), right.hi.bytes())));
  if (right.prefix_len < old.prefix_len)
    defect(fmt::format("new prefix length {} should be greater than or equal to the old prefix length {}",
                       right.prefix_len, old.prefix_len));
  if (right.prefix_len != old.prefix_len) {
    auto& keys = right.is_leaf() ? right.leaf().keys : right.index().keys;
    reencode(keys, old_prefix, right.prefix_len);
  }
  left.hi = at;
  left.prefix_len = static_cast<uint8_t>(std::min<size_t>(255, common_prefix(left.lo.bytes(), at.bytes())));
  if (left.prefix_len != old.prefix_len) {
    auto& keys = left.is_leaf() ? left.leaf().keys : left.index().keys;
    reencode(keys, old_prefix, left.prefix_len);
  }
  check_bounds(left, "self");
  check_bounds(right, "right");
  auto alloc = pc().allocate(pagecache::Update(std::move(right)), guard);
  if (!alloc) return std::unexpected(alloc.error());
  auto [rpid, rview] = *alloc;
  left.next = rpid;
  auto rep = pc().replace(view.pid, view.node_view, std::move(left), guard);
  if (!rep) return std::unexpected(rep.error());
  if (!rep->installed) {
    auto f = pc().free(rpid, rview, guard);
    if (!f) return std::unexpected(f.error());
    if (!f->installed) defect("could not free allocated page");
    return {};
  }
  guard.writes.push_back(view.pid);
  guard.writes.push_back(rpid);
  if (parent) {
    Node copy = parent->node().clone_with_room(1);
    if (!copy.parent_split(at.bytes(), rpid)) return {};
    auto r = pc().replace(parent->pid, parent->node_view, std::move(copy), guard);
    if (!r) return std::unexpected(r.error());
    return {};
  }
  auto h = root_hoist(root_pid, rpid, at, guard);
  if (!h) return std::unexpected(h.error());
  return {};
}

Result<bool> TreeInner::root_hoist(PageId from, PageId to, const IVec& at, const Guard& guard) {
  Node nr;
  nr.data = Index{{IVec(), at}, {from, to}};
  auto alloc = pc().allocate(pagecache::Update(std::move(nr)), guard);
  if (!alloc) return std::unexpected(alloc.error());
  auto [pid, view] = *alloc;
  ZLOG(Debug, kTarget, "allocated pid {} in root_hoist", pid);
  auto cas = pc().cas_root_in_meta(name, from, pid, guard);
  if (!cas) return std::unexpected(cas.error());
  if (!*cas) {
    ZLOG(Debug, kTarget, "root hoist from {} to {} successful", from, pid);
    for (;;) {
      PageId expected = from;
      if (root.compare_exchange_weak(expected, pid, std::memory_order_acq_rel)) break;
      if (expected != from) std::this_thread::yield();
    }
    return true;
  }
  ZLOG(Debug, kTarget, "root hoist from {} to {} failed: {}", from, pid,
       **cas ? "Err(Some(" + std::to_string(**cas) + "))" : std::string("Err(None)"));
  auto f = pc().free(pid, view, guard);
  if (!f) return std::unexpected(f.error());
  if (!f->installed) defect("could not free allocated page");
  return false;
}

Result<std::optional<std::optional<IVec>>> TreeInner::insert_inner(Bytes key, const std::optional<IVec>& value,
                                                                   const Guard& guard) {
  auto v = view_for_key(key, guard);
  if (!v) return std::unexpected(v.error());
  auto [enc, cur] = v->node().node_kv_pair(key);
  using R = std::optional<std::optional<IVec>>;
  if (!value && !cur) return R(std::optional<IVec>());
  if (value && cur && *value == *cur) return R(value);
  Link l = value ? Link(link::Set{std::move(enc), *value}) : Link(link::Del{std::move(enc)});
  auto out = pc().link(v->pid, v->node_view, l, guard);
  if (!out) return std::unexpected(out.error());
  if (!out->installed) return R();
  guard.writes.push_back(v->pid);
  return R(std::move(cur));
}

Result<void> TreeInner::merge_node(const View& parent, PageId child, const Guard& guard) {
  ZLOG(Trace, kTarget, "merging child pid {} of parent pid {}", child, parent.pid);
  View child_view;
  for (;;) {
    auto cv = view_for_pid(child, guard);
    if (!cv) return std::unexpected(cv.error());
    if (!*cv) return {};
    if ((*cv)->node().merging) {
      ZLOG(Trace, kTarget, "child pid {} already merging", child);
      child_view = **cv;
      break;
    }
    auto l = pc().link(child, (*cv)->node_view, Link(link::ChildMergeCap{}), guard);
    if (!l) return std::unexpected(l.error());
    if (l->installed) {
      ZLOG(Trace, kTarget, "child pid {} merge capped", child);
      child_view = make_view(l->view, child);
      break;
    }
    ZLOG(Trace, kTarget, "child pid {} merge cap failed, retrying", child);
  }
  const Node& cnode = child_view.node();
  const Node& pnode = parent.node();
  if (!pnode.is_index()) defect("merging child of a leaf parent");
  const auto& ptrs = pnode.index().pointers;
  auto it = std::find(ptrs.begin(), ptrs.end(), child);
  if (it == ptrs.end()) defect("merging child " + std::to_string(child) + " not found in its parent");
  size_t pos = it - ptrs.begin();
  if (pos == 0) defect("merging child must not be the leftmost child of its parent");
  size_t i = pos - 1;
  PageId cursor = ptrs[i];
  for (;;) {
    ZLOG(Trace, kTarget, "cursor_pid is {} while looking for left sibling", cursor);
    auto lv = view_for_pid(cursor, guard);
    if (!lv) return std::unexpected(lv.error());
    if (!*lv) {
      ZLOG(Trace, kTarget, "couldn't retrieve frags for freed (possibly outdated) prospective left sibling with pid {}",
           cursor);
      if (i == 0) {
        ZLOG(Trace, kTarget,
             "failed to find any left sibling for merging pid {}, which means this merge must have already completed.",
             child);
        return {};
      }
      --i;
      cursor = ptrs[i];
      continue;
    }
    const Node& left = (*lv)->node();
    if (left.next == child) {
      ZLOG(Trace, kTarget, "found left sibling pid {} points to merging node pid {}", cursor, child);
      if (left.is_leaf() != cnode.is_leaf()) defect("Can't merge incompatible Data!");
      Node merged = left.clone();
      merged.hi = cnode.hi;
      merged.next = cnode.next;
      size_t plen = std::min<size_t>(255, common_prefix(left.lo.bytes(), cnode.hi.bytes()));
      if (cnode.hi.empty()) plen = 0;
      merged.prefix_len = static_cast<uint8_t>(plen);
      auto& mkeys = merged.is_leaf() ? merged.leaf().keys : merged.index().keys;
      reencode(mkeys, left.lo.bytes().subspan(0, left.prefix_len), plen);
      if (cnode.lo.size() < cnode.prefix_len) defect("merging child lo shorter than its prefix length");
      Bytes cprefix = cnode.lo.bytes().subspan(0, cnode.prefix_len);
      for (size_t k = 0; k < cnode.len(); ++k) {
        const IVec& ck = cnode.keys()[k];
        mkeys.push_back(cnode.prefix_len == plen ? ck : Node::prefix_decode(cprefix, ck, plen));
        if (merged.is_leaf()) merged.leaf().values.push_back(cnode.leaf().values[k]);
        else merged.index().pointers.push_back(cnode.index().pointers[k]);
      }
      auto r = pc().replace(cursor, (*lv)->node_view, std::move(merged), guard);
      if (!r) return std::unexpected(r.error());
      if (r->installed) {
        ZLOG(Trace, kTarget, "merged node pid {} into left sibling pid {}", child, cursor);
        break;
      }
      ZLOG(Trace, kTarget, "failed to merge pid {} into pid {} due to cas failure", child, cursor);
      continue;
    }
    if (cmp(left.hi.bytes(), cnode.lo.bytes()) >= 0) {
      ZLOG(Trace, kTarget, "cursor pid {} has hi key {}, which is >= merging child pid {}'s lo key of {}, breaking",
           cursor, left.hi.debug(), child, cnode.lo.debug());
      break;
    }
    if (left.next == 0) {
      ZLOG(Trace, kTarget, "hit the right side of the tree without finding a left sibling for merging child pid {}",
           child);
      break;
    }
    ZLOG(Trace, kTarget, "traversing from cursor pid {} to right sibling pid {}", cursor, left.next);
    cursor = left.next;
  }
  View pv = parent;
  for (;;) {
    ZLOG(Trace, kTarget, "trying to install parent merge confirmation of merged child pid {} for parent pid {}", child,
         pv.pid);
    auto l = pc().link(pv.pid, pv.node_view, Link(link::ParentMergeConfirm{}), guard);
    if (!l) return std::unexpected(l.error());
    if (l->installed) {
      ZLOG(Trace, kTarget, "ParentMergeConfirm succeeded on parent pid {}, now freeing child pid {}", pv.pid, child);
      break;
    }
    auto again = view_for_pid(pv.pid, guard);
    if (!again) return std::unexpected(again.error());
    if (!*again) {
      ZLOG(Trace, kTarget, "failed to confirm merge on parent pid {}, which was freed", pv.pid);
      return {};
    }
    ZLOG(Trace, kTarget, "failed to confirm merge on parent pid {}, trying again", pv.pid);
    if ((*again)->node().merging_child == child) {
      pv = **again;
      continue;
    }
    ZLOG(Trace, kTarget, "someone else must have already completed the merge, and now the merging child for parent pid {} is {}",
         pv.pid, (*again)->node().merging_child ? "Some(" + std::to_string((*again)->node().merging_child) + ")" : "None");
    return {};
  }
  auto f = pc().free(child, child_view.node_view, guard);
  if (!f) return std::unexpected(f.error());
  if (!f->installed) {
    ZLOG(Trace, kTarget, "someone was able to reuse freed merged pid {}", child);
    defect("somehow the merging child was reused before all threads that witnessed its previous merge have left their epoch");
  }
  ZLOG(Trace, kTarget, "freed merged pid {}", child);
  ZLOG(Trace, kTarget, "finished with merge of pid {}", child);
  return {};
}

}  // namespace kelm
