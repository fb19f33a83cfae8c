#include "algorithms/community/community.h"

#include <algorithm>
#include <limits>

namespace zudizid::algorithms::community {

std::vector<uint64_t> dense_numbers(const std::vector<uint64_t>& community, uint64_t bound) {
  constexpr uint64_t kUnused = std::numeric_limits<uint64_t>::max();
  std::vector<uint64_t> number(bound, kUnused);
  for (uint64_t c : community) number[c] = 0;
  uint64_t next = 0;
  for (uint64_t& slot : number) {
    if (slot != kUnused) slot = next++;
  }
  std::vector<uint64_t> out(community.size());
  for (size_t i = 0; i < community.size(); ++i) out[i] = number[community[i]];
  return out;
}

NodeMap<uint64_t> detect_communities(std::span<const Uuid> nodes, std::span<const EdgeEnds> edges,
                                     const CommunityConfig& config) {
  CompactGraph g = CompactGraph::build(nodes, edges);
  const uint32_t n = g.node_count;
  Adjacency adj = Adjacency::both_directions(g.index.size(), g.edges);
  adj.sort_unique();

  const std::vector<uint32_t> order = g.nodes_by_id();
  std::vector<uint64_t> assignment(n);
  for (uint32_t i = 0; i < n; ++i) assignment[order[i]] = i;

  // degree[v] = size of v's neighbour set; W = the sum of all degrees.
  std::vector<double> degree(adj.rows());
  double total_weight = 0;
  for (uint32_t v = 0; v < adj.rows(); ++v) {
    degree[v] = static_cast<double>(adj.degree(v));
    total_weight += degree[v];
  }
  // sigma[c]: the degrees of the nodes in community c.
  std::vector<double> sigma(n, 0.0);
  for (uint32_t v = 0; v < n; ++v) sigma[assignment[v]] += degree[v];

  if (config.max_iterations > 0 && n > 0) {
    const double m = total_weight * 0.5;
    const double two_m = m + m;
    const double two_m_sq = two_m * two_m;
    // links[c]: weight from the visited node into community c.
    std::vector<double> links(n, 0.0);
    std::vector<uint64_t> candidates;
    for (uint64_t pass = 0; pass < config.max_iterations; ++pass) {
      bool moved = false;
      for (uint32_t u : order) {
        const uint64_t cur = assignment[u];
        candidates.clear();
        for (uint32_t v : adj.row(u)) {
          if (!g.is_node(v)) continue;
          uint64_t c = assignment[v];
          if (links[c] == 0.0) candidates.push_back(c);
          links[c] += 1.0;
        }
        std::sort(candidates.begin(), candidates.end());
        const double k_i = degree[u];
        const double k_in_cur = links[cur];
        const double sigma_cur = sigma[cur];
        uint64_t best = cur;
        double best_gain = 0.0;
        for (uint64_t c : candidates) {
          if (c == cur) continue;
          const double k_in_c = links[c];
          const double sigma_c = sigma[c];
          const double gain =
              (k_in_c - k_in_cur) / two_m - ((sigma_c - sigma_cur + k_i) * config.resolution * k_i) / two_m_sq;
          if (gain > best_gain) {
            best = c;
            best_gain = gain;
          }
        }
        for (uint64_t c : candidates) links[c] = 0.0;
        if (best_gain > config.tolerance && best != cur) {
          sigma[cur] -= k_i;
          sigma[best] += k_i;
          assignment[u] = best;
          moved = true;
        }
      }
      if (!moved) break;
    }
  }

  NodeMap<uint64_t> result;
  result.values = dense_numbers(assignment, n);
  result.keys = g.take_node_index();
  return result;
}

}  // namespace zudizid::algorithms::community
