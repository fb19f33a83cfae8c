#include "fulltext/indexer/path_to_unordered_id.h"

#include <algorithm>

namespace fendral::indexer {

uint32_t PathToUnorderedId::get_or_allocate_unordered_id(std::string_view path) {
  if (auto it = ids_.find(path); it != ids_.end()) return it->second;
  auto id = static_cast<uint32_t>(ids_.size());
  ids_.emplace(std::string(path), id);
  return id;
}

PathToUnorderedId::Ordered PathToUnorderedId::ordered() const {
  std::vector<std::pair<std::string_view, uint32_t>> sorted(ids_.begin(), ids_.end());
  std::sort(sorted.begin(), sorted.end());
  Ordered out;
  out.unordered_to_ordered.resize(sorted.size());
  out.paths.reserve(sorted.size());
  for (size_t rank = 0; rank < sorted.size(); ++rank) {
    out.unordered_to_ordered[sorted[rank].second] = static_cast<uint32_t>(rank);
    out.paths.emplace_back(sorted[rank].first);
  }
  return out;
}

}  // namespace fendral::indexer
