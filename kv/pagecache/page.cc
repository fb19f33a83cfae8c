#include "kv/pagecache/page.h"

namespace kelm::pagecache {

std::string CacheInfo::debug() const {
  return "CacheInfo { ts: " + std::to_string(ts) + ", lsn: " + std::to_string(lsn) + ", pointer: " + pointer.debug() +
         ", log_size: " + std::to_string(log_size) + " }";
}

std::string Meta::debug() const {
  std::string s = "Meta { inner: {";
  bool first = true;
  for (const auto& [k, v] : inner) {
    s += (first ? "" : ", ") + k.debug() + ": " + std::to_string(v);
    first = false;
  }
  return s + "} }";
}

std::string update_debug(const Update& u) {
  struct V {
    std::string operator()(const Link& l) const { return "Link(" + link_debug(l) + ")"; }
    std::string operator()(const Node& n) const { return "Node(" + n.debug() + ")"; }
    std::string operator()(const FreeMark&) const { return "Free"; }
    std::string operator()(const Counter& c) const { return "Counter(" + std::to_string(c.value) + ")"; }
    std::string operator()(const Meta& m) const { return "Meta(" + m.debug() + ")"; }
  };
  return std::visit(V{}, u);
}

}  // namespace kelm::pagecache
