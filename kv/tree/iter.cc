// Forward range iteration: a step takes the next key of the private copy of
// the current leaf; past its end it steps to the right sibling, or finds its
// leaf afresh from the root, under the shared side of the concurrency control.
#include "common/log.h"
#include "kv/sync/concurrency_control.h"
#include "kv/tree/prefetch.h"
#include "kv/tree/tree.h"

namespace kelm {

namespace {

int cmp(Bytes a, Bytes b) {
  auto o = IVec::compare(a, b);
  return o < 0 ? -1 : (o > 0 ? 1 : 0);
}

// The iterator's private copy of a leaf.
Node copy_leaf(const Node& n) {
  if (const auto* lf = std::get_if<Leaf>(&n.data)) {
    tree::prefetch_buffers(lf->keys, true);
    tree::prefetch_buffers(lf->values, true);
  }
  return n.clone();
}

}  // namespace

std::optional<Result<std::pair<IVec, IVec>>> Iter::next() {
  using Item = std::optional<Result<std::pair<IVec, IVec>>>;
  auto within_hi = [&](const IVec& key) {
    return hi_.kind == Bound::Kind::Unbounded || (hi_.kind == Bound::Kind::Included ? cmp(hi_.key.bytes(), key.bytes()) >= 0
                                                                                    : cmp(hi_.key.bytes(), key.bytes()) > 0);
  };
  if (resuming_) {
    // The next key of the private copy follows the last one returned; the
    // copy is this iterator's own, so reading it takes no lock.
    const Node& node = cached_->second;
    const Leaf& lf = std::get<Leaf>(node.data);
    if (resume_at_ < lf.keys.size()) {
      const size_t pos = resume_at_++;
      IVec key = node.full_key(pos);
      if (!within_hi(key)) return std::nullopt;
      return Item(std::pair{std::move(key), lf.values[pos]});
    }
    lo_ = Bound::excluded(node.full_key(resume_at_ - 1));
    resuming_ = false;
  }
  auto cc = tree::concurrency_control().read();
  auto guard = pin();
  TreeInner& t = *tree_.inner();
  try {
    auto lookup = [&](Bytes key) -> Result<std::pair<PageId, Node>> {
      auto v = t.view_for_key(key, guard);
      if (!v) return std::unexpected(v.error());
      return std::pair<PageId, Node>{v->pid, copy_leaf(v->node())};
    };
    std::pair<PageId, Node> cur;
    if (forward_ && cached_) {
      cur = std::move(*cached_);
      cached_.reset();
    } else {
      auto r = lookup(lo_.kind == Bound::Kind::Unbounded ? Bytes() : lo_.key.bytes());
      if (!r) return Item(std::unexpected(r.error()));
      cur = std::move(*r);
    }
    for (size_t pass = 0; pass < 1000000; ++pass) {
      const Node& node = cur.second;
      bool lo_has_key = lo_.kind != Bound::Kind::Unbounded;
      if (lo_has_key && hi_.kind != Bound::Kind::Unbounded && cmp(lo_.key.bytes(), hi_.key.bytes()) > 0)
        return std::nullopt;
      bool reaches = node.hi.empty() || !lo_has_key ||
                     (lo_.kind == Bound::Kind::Excluded ? cmp(node.hi.bytes(), lo_.key.bytes()) >= 0
                                                        : cmp(node.hi.bytes(), lo_.key.bytes()) > 0);
      if (!reaches) {
        auto r = lookup(lo_.key.bytes());
        if (!r) return Item(std::unexpected(r.error()));
        cur = std::move(*r);
        continue;
      }
      bool starts = node.lo.empty() || (lo_has_key && cmp(node.lo.bytes(), lo_.key.bytes()) <= 0);
      if (!starts) {
        std::vector<uint8_t> seek(node.lo.data(), node.lo.data() + node.lo.size());
        if (seek.back() == 0) {
          seek.pop_back();
        } else {
          seek.back()--;
          seek.insert(seek.end(), 4, 0xFF);
        }
        auto r = lookup(Bytes(seek));
        if (!r) return Item(std::unexpected(r.error()));
        cur = std::move(*r);
        continue;
      }
      if (node.is_index()) throw NodeDefect{"assertion failed: !self.data.is_index()"};
      const auto& lf = node.leaf();
      Bytes search = !lo_has_key ? node.lo.bytes()
                                 : (cmp(node.lo.bytes(), lo_.key.bytes()) > 0 ? node.lo.bytes() : lo_.key.bytes());
      Bytes enc = node.prefix_encode(search);
      size_t pos = std::lower_bound(lf.keys.begin(), lf.keys.end(), enc,
                                    [](const IVec& a, Bytes b) { return cmp(a.bytes(), b) < 0; }) -
                   lf.keys.begin();
      if (lo_.kind == Bound::Kind::Excluded) {
        if (lo_.key.size() < node.prefix_len) throw NodeDefect{"excluded bound shorter than the node's prefix"};
        Bytes ex = lo_.key.bytes().subspan(node.prefix_len);
        while (pos < lf.keys.size() && cmp(lf.keys[pos].bytes(), ex) == 0) ++pos;
      }
      if (pos < lf.keys.size()) {
        IVec key = node.full_key(pos);
        IVec value = lf.values[pos];
        cached_ = std::move(cur);
        forward_ = true;
        resuming_ = true;
        resume_at_ = pos + 1;
        if (!within_hi(key)) return std::nullopt;
        return Item(std::pair{std::move(key), std::move(value)});
      }
      if (node.hi.empty()) return std::nullopt;
      lo_ = Bound::included(node.hi);
      // The right sibling usually starts at this leaf's hi: step to it
      // instead of descending from the root. The checks above send a
      // sibling that no longer covers lo_ back through a descent.
      if (node.next != 0 && !node.merging) {
        auto sib = t.view_for_pid(node.next, guard);
        if (!sib) return Item(std::unexpected(sib.error()));
        if (*sib && (*sib)->node().is_leaf() && !(*sib)->node().merging) {
          cur = std::pair<PageId, Node>{node.next, copy_leaf((*sib)->node())};
          continue;
        }
      }
      auto r = lookup(lo_.key.bytes());
      if (!r) return Item(std::unexpected(r.error()));
      cur = std::move(*r);
    }
    std::string text = "failed to iterate over the tree: lower bound " + lo_.debug() + ", tree " + tree_.debug();
    throw NodeDefect{text};
  } catch (const NodeDefect& d) {
    ZLOG(Error, "kelm::tree", "engine defect: {}", d.text);
    return Item(std::unexpected(Error::reportable_bug(d.text)));
  }
}

}  // namespace kelm
