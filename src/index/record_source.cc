#include "index/record_source.h"

namespace zudizid::index {

DbResult<std::vector<Node>> RecordSource::get_nodes_by_label(
    std::string_view label) {
  auto all = scan_current_nodes();
  if (!all) return std::unexpected(std::move(all.error()));
  std::vector<Node> out;
  for (auto& n : *all) {
    if (n.label == label) out.push_back(std::move(n));
  }
  return out;
}

}  // namespace zudizid::index
