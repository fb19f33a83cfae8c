// Refinement of one Leiden iteration (see leiden.h).
#include <algorithm>
#include <limits>

#include "algorithms/community/leiden.h"

namespace zudizid::algorithms::community {

namespace {

constexpr uint32_t kNotMember = std::numeric_limits<uint32_t>::max();

// Sub-community bookkeeping of one community, on member positions 0..|M|-1;
// a sub-community is named by the member position it started from.
struct Refinement {
  const LeidenState& state;
  const std::vector<uint32_t>& members;  // ascending node id
  std::vector<uint32_t>& member_of;      // node position -> member position, or kNotMember
  double gamma;

  std::vector<double> internal_degree;  // weight to the other members
  std::vector<uint32_t> refined;        // member -> sub-community
  std::vector<uint64_t> refined_size;
  std::vector<double> refined_weight;  // adjacent pairs inside, each once
  std::vector<double> refined_degree;  // sum of the members' internal degrees
  std::vector<double> link;            // scratch: weight from one member into each sub-community

  void compute_internal_degrees() {
    const size_t m = members.size();
    internal_degree.assign(m, 0.0);
    for (size_t i = 0; i < m; ++i) {
      for (uint32_t w : state.adjacency.row(members[i])) {
        if (w != members[i] && w < member_of.size() && member_of[w] != kNotMember) internal_degree[i] += 1.0;
      }
    }
    refined.resize(m);
    for (uint32_t i = 0; i < m; ++i) refined[i] = i;
    refined_size.assign(m, 1);
    refined_weight.assign(m, 0.0);
    refined_degree = internal_degree;
    link.assign(m, 0.0);
  }

  void merge() {
    const size_t m = members.size();
    const double count = static_cast<double>(m);
    const double threshold = static_cast<double>(m - 1) * gamma;
    std::vector<uint32_t> candidates;
    for (uint32_t i = 0; i < m; ++i) {
      const uint32_t r = refined[i];
      if (refined_size[r] != 1) continue;
      if (threshold > internal_degree[i]) continue;
      candidates.clear();
      for (uint32_t w : state.adjacency.row(members[i])) {
        if (w >= member_of.size() || member_of[w] == kNotMember) continue;
        uint32_t s = refined[member_of[w]];
        if (s == r) continue;
        if (link[s] == 0.0) candidates.push_back(s);
        link[s] += 1.0;
      }
      std::sort(candidates.begin(), candidates.end());
      bool found = false;
      uint32_t best = 0;
      double best_gain = 0.0;
      for (uint32_t s : candidates) {
        const double n_s = static_cast<double>(refined_size[s]);
        if ((count - n_s) * (gamma * n_s) > refined_degree[s] - 2.0 * refined_weight[s]) continue;
        const double gain = link[s] - gamma * n_s;
        if (gain > best_gain) {
          best = s;
          best_gain = gain;
          found = true;
        }
      }
      if (found) {
        refined[i] = best;
        ++refined_size[best];
        refined_weight[best] += link[best];
        --refined_size[r];
        refined_degree[best] += internal_degree[i];
        refined_degree[r] -= internal_degree[i];
      }
      for (uint32_t s : candidates) link[s] = 0.0;
    }
  }
};

}  // namespace

bool LeidenCommunity::refine(LeidenState& state, double gamma) {
  const uint32_t n = state.node_count();
  // Members of each community, communities ascending, members in id order.
  std::vector<std::pair<uint64_t, uint32_t>> by_community;
  by_community.reserve(n);
  for (uint32_t v : state.order) by_community.emplace_back(state.community[v], v);
  std::stable_sort(by_community.begin(), by_community.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });

  std::vector<uint32_t> member_of(n, kNotMember);
  std::vector<uint32_t> members;
  bool changed = false;
  for (size_t lo = 0; lo < by_community.size();) {
    size_t hi = lo;
    const uint64_t c = by_community[lo].first;
    members.clear();
    while (hi < by_community.size() && by_community[hi].first == c) members.push_back(by_community[hi++].second);
    lo = hi;
    if (members.size() < 2) continue;

    const uint64_t base = state.next_id;
    state.next_id = base + members.size();
    for (uint32_t i = 0; i < members.size(); ++i) member_of[members[i]] = i;
    Refinement r{state, members, member_of, gamma, {}, {}, {}, {}, {}, {}};
    r.compute_internal_degrees();
    r.merge();
    for (uint32_t v : members) member_of[v] = kNotMember;

    // Distinct sub-communities, ascending by their starting id.
    std::vector<uint32_t> parts;
    for (uint32_t s = 0; s < members.size(); ++s) {
      if (r.refined_size[s] > 0) parts.push_back(s);
    }
    if (parts.size() == 1) continue;
    changed = true;
    if (state.size.size() < state.next_id + parts.size()) state.size.resize(state.next_id + parts.size(), 0);
    if (parts.size() == members.size()) {
      for (uint32_t i = 0; i < members.size(); ++i) {
        state.community[members[i]] = base + i;
        state.size[base + i] = 1;
      }
      state.size[c] -= members.size();
      continue;
    }
    std::vector<uint64_t> target(members.size());
    target[parts[0]] = c;
    for (size_t k = 1; k < parts.size(); ++k) target[parts[k]] = state.next_id++;
    state.size[c] = 0;
    for (uint32_t i = 0; i < members.size(); ++i) {
      uint64_t to = target[r.refined[i]];
      state.community[members[i]] = to;
      ++state.size[to];
    }
  }
  return changed;
}

}  // namespace zudizid::algorithms::community
