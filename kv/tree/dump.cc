// The Debug form of a tree handle: a level-by-level dump of its pages.
#include <unordered_set>

#include "common/log.h"
#include "kv/tree/tree.h"

namespace kelm {

namespace {
std::string set_debug(const std::unordered_set<PageId>& s) {
  std::vector<PageId> v(s.begin(), s.end());
  std::sort(v.begin(), v.end());
  std::string r = "{";
  for (size_t i = 0; i < v.size(); ++i) r += (i ? ", " : "") + std::to_string(v[i]);
  return r + "}";
}
}  // namespace

std::string Tree::debug() const {
  auto guard = pin();
  TreeInner& t = *inner_;
  PageId pid = t.root.load();
  PageId leftmost = pid;
  uint64_t level = 0;
  std::unordered_set<PageId> expected{pid}, referenced, seen;
  std::string out = "Tree: \n\t";
  out += t.pc().debug_line() + "\n";
  out += "\tlevel 0:\n";
  try {
    for (;;) {
      auto v = t.view_for_pid(pid, guard);
      if (!v || !*v) {
        ZLOG(Error, "kelm::tree", "Tree::fmt failed to read node {} that has been freed", pid);
        return out;
      }
      expected.erase(pid);
      if (seen.count(pid)) {
        ZLOG(Error, "kelm::tree", "detected a loop while iterating over the Tree. pid {} was encountered multiple times",
             pid);
        return out;  // a cycle would never end
      }
      seen.insert(pid);
      const Node& n = (*v)->node();
      out += "\t\t" + std::to_string(pid) + ": " + n.debug() + "\n";
      if (n.is_index())
        for (PageId p : n.index().pointers) referenced.insert(p);
      if (n.next) {
        pid = n.next;
        continue;
      }
      auto lm = t.view_for_pid(leftmost, guard);
      if (!lm || !*lm) throw NodeDefect{"pagecache returned non-base node: None"};
      const Node& ln = (*lm)->node();
      if (ln.is_leaf()) return out;
      if (ln.index().pointers.empty()) throw NodeDefect{"trying to debug print empty index node"};
      ++level;
      pid = leftmost = ln.index().pointers[0];
      out += "\n\tlevel " + std::to_string(level) + ":\n";
      if (!expected.empty()) throw NodeDefect{"expected pids " + set_debug(expected) + " but never saw them on this level"};
      expected = std::move(referenced);
      referenced.clear();
    }
  } catch (const NodeDefect& d) {
    return out + "<" + d.text + ">";
  }
}

}  // namespace kelm
