#include "kv/tree/leaf_reads.h"

#include <algorithm>
#include <vector>

#include "common/log.h"
#include "kv/sync/concurrency_control.h"

namespace kelm {

namespace {

int cmp(Bytes a, Bytes b) {
  auto o = IVec::compare(a, b);
  return o < 0 ? -1 : (o > 0 ? 1 : 0);
}

Error defect_error(const NodeDefect& d) {
  ZLOG(Error, "kelm::tree", "engine defect: {}", d.text);
  return Error::reportable_bug(d.text);
}

}  // namespace

Result<uint64_t> count_keys(const Tree& tree, Bytes lo, Bytes hi, const KeyFilter& keep) {
  uint64_t n = 0;
  std::vector<uint8_t> at(lo.begin(), lo.end());
  std::vector<uint8_t> full;
  bool done = !hi.empty() && cmp(Bytes(at), hi) >= 0;
  while (!done) {
    auto cc = tree::concurrency_control().read();
    auto guard = pin();
    try {
      auto v = tree.inner()->view_for_key(Bytes(at), guard);
      if (!v) return std::unexpected(v.error());
      const Node& node = v->node();
      if (node.is_index()) throw NodeDefect{"assertion failed: !self.data.is_index()"};
      const auto& keys = node.leaf().keys;
      const Bytes enc = node.prefix_encode(Bytes(at));
      size_t pos = std::lower_bound(keys.begin(), keys.end(), enc,
                                    [](const IVec& a, Bytes b) { return cmp(a.bytes(), b) < 0; }) -
                   keys.begin();
      // Every key of the leaf lies below its hi: with hi at or below the
      // bound, no key needs comparing.
      const bool all_below = hi.empty() || (!node.hi.empty() && cmp(node.hi.bytes(), hi) <= 0);
      if (all_below && !keep) {
        n += keys.size() - pos;
      } else {
        const Bytes prefix = node.lo.bytes().subspan(0, node.prefix_len);
        for (; pos < keys.size() && !done; ++pos) {
          const Bytes stored = keys[pos].bytes();
          full.assign(prefix.begin(), prefix.end());
          full.insert(full.end(), stored.begin(), stored.end());
          if (!all_below && cmp(Bytes(full), hi) >= 0) {
            done = true;
          } else if (!keep || keep(Bytes(full))) {
            ++n;
          }
        }
      }
      if (node.hi.empty()) {
        done = true;
      } else if (!done) {
        at.assign(node.hi.data(), node.hi.data() + node.hi.size());
        done = !hi.empty() && cmp(Bytes(at), hi) >= 0;
      }
    } catch (const NodeDefect& d) {
      return std::unexpected(defect_error(d));
    }
  }
  return n;
}

Result<std::optional<IVec>> AscendingReader::get(Bytes key) {
  auto cc = tree::concurrency_control().read();
  auto guard = pin();
  try {
    const bool inside = leaf_ && cmp(key, leaf_->lo.bytes()) >= 0 &&
                        (leaf_->hi.empty() || cmp(key, leaf_->hi.bytes()) < 0);
    if (!inside) {
      auto v = tree_.inner()->view_for_key(key, guard);
      if (!v) return std::unexpected(v.error());
      leaf_ = v->node().clone();
    }
    auto kv = leaf_->leaf_pair_for_key(key);
    if (!kv) return std::optional<IVec>();
    return std::optional<IVec>(*kv->second);
  } catch (const NodeDefect& d) {
    leaf_.reset();
    return std::unexpected(defect_error(d));
  }
}

}  // namespace kelm
