#include "graph/vector/live_search.h"

#include <algorithm>

#include "graph/graph.h"

namespace zudizid::graph {

DbResult<std::vector<HnswIndex::Hit>> search_live_nodes(const Graph& graph, const HnswIndex& index,
                                                        std::span<const float> query, uint64_t k, uint64_t ef) {
  const uint64_t points = index.size();
  // Asking for more than the index holds finds nothing more.
  uint64_t want = std::min<uint64_t>(k, points);
  for (;;) {
    auto hits = index.search(query, want, ef);
    if (!hits) return hits;
    std::vector<HnswIndex::Hit> live;
    live.reserve(hits->size());
    for (const HnswIndex::Hit& hit : *hits) {
      auto exists = graph.storage()->node_exists(hit.first);
      if (!exists) return std::unexpected(std::move(exists.error()));
      if (!*exists) continue;
      live.push_back(hit);
      if (live.size() == k) break;
    }
    if (live.size() >= std::min<uint64_t>(k, points) || want >= points) return live;
    want = std::min(points, want * 2);
  }
}

}  // namespace zudizid::graph
