#include "algorithms/community/leiden.h"

#include <algorithm>

#include "algorithms/community/community.h"

namespace zudizid::algorithms::community {

LeidenState LeidenState::start(std::span<const Uuid> nodes, std::span<const EdgeEnds> edges) {
  LeidenState s;
  s.graph = CompactGraph::build(nodes, edges);
  s.adjacency = Adjacency::both_directions(s.graph.index.size(), s.graph.edges);
  s.adjacency.sort_unique();
  s.order = s.graph.nodes_by_id();
  const uint32_t n = s.graph.node_count;
  s.community.resize(n);
  for (uint32_t i = 0; i < n; ++i) s.community[s.order[i]] = i;
  s.size.assign(n, 1);
  s.next_id = n;
  return s;
}

void LeidenState::move(uint32_t v, uint64_t c) {
  --size[community[v]];
  if (c >= size.size()) size.resize(c + 1, 0);
  ++size[c];
  community[v] = c;
}

double LeidenState::quality(double gamma) const {
  uint64_t internal_pairs = 0;
  for (uint32_t v = 0; v < graph.node_count; ++v) {
    for (uint32_t w : adjacency.row(v)) {
      if (w > v && graph.is_node(w) && community[w] == community[v]) ++internal_pairs;
    }
  }
  uint64_t member_pairs = 0;
  for (uint64_t n : size) member_pairs += n * (n - (n > 0 ? 1 : 0)) / 2;
  return static_cast<double>(internal_pairs) - gamma * static_cast<double>(member_pairs);
}

bool LeidenCommunity::move_nodes(LeidenState& state) const {
  const auto& g = state.graph;
  std::vector<double> weight(state.size.size(), 0.0);
  std::vector<uint64_t> touched;
  std::vector<uint64_t> candidates;
  bool moved_any = false;
  for (bool moved = true; moved;) {
    moved = false;
    for (uint32_t v : state.order) {
      auto around = state.adjacency.row(v);
      if (around.empty()) continue;
      const uint64_t h = state.community[v];
      if (weight.size() < state.size.size()) weight.resize(state.size.size(), 0.0);
      // weight[c] = w(v, c): the weight from v to the other members of c.
      touched.clear();
      for (uint32_t w : around) {
        if (w == v || !g.is_node(w)) continue;
        uint64_t c = state.community[w];
        if (weight[c] == 0.0) touched.push_back(c);
        weight[c] += 1.0;
      }
      candidates.clear();
      for (uint64_t c : touched) {
        if (c != h) candidates.push_back(c);
      }
      std::sort(candidates.begin(), candidates.end());
      const double k_h = weight[h];
      const double a = static_cast<double>(state.size[h] - 1);
      uint64_t best = h;
      double best_gain = tolerance;
      for (uint64_t c : candidates) {
        const double n_c = static_cast<double>(state.size[c]);
        const double gain = (weight[c] - k_h) + gamma * (a - n_c);
        if (gain > best_gain) {
          best = c;
          best_gain = gain;
        }
      }
      for (uint64_t c : touched) weight[c] = 0.0;
      if (best != h) {
        state.move(v, best);
        moved = true;
        moved_any = true;
      }
    }
  }
  return moved_any;
}

NodeMap<uint64_t> LeidenCommunity::detect(std::span<const Uuid> nodes, std::span<const EdgeEnds> edges) const {
  NodeMap<uint64_t> result;
  if (nodes.empty()) return result;
  LeidenState state = LeidenState::start(nodes, edges);
  std::vector<uint64_t> best = state.community;
  bool have_best = false;
  double best_quality = 0;
  auto consider = [&] {
    double h = state.quality(gamma);
    if (!have_best || h >= best_quality) {
      best = state.community;
      best_quality = h;
      have_best = true;
    }
  };
  for (uint64_t iteration = 1; iteration <= max_iterations; ++iteration) {
    bool moved = move_nodes(state);
    consider();
    bool changed = refine(state, gamma);
    consider();
    if (!moved && !changed) break;
  }
  result.values = dense_numbers(best, std::max<uint64_t>(state.next_id, state.size.size()));
  result.keys = state.graph.take_node_index();
  return result;
}

}  // namespace zudizid::algorithms::community
