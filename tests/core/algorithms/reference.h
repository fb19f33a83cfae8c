// Plain map-based transcriptions of the algorithms, step by step as their
// procedures are written (with the repairs the implementation makes: edges
// with an end that is no node are skipped where they would fail, Leiden keeps
// its best partition and carries its id counter). The implementations must
// agree with these bit for bit (betweenness to 1e-12).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "algorithms/compact_graph.h"

namespace zudizid::algorithms::reference {

using Ids = std::vector<Uuid>;
using Edges = std::vector<EdgeEnds>;
template <class T>
using Map = std::unordered_map<Uuid, T>;

inline Map<double> pagerank(const Ids& nodes, const Edges& edges, double damping, uint64_t max_iterations,
                            double tolerance, uint64_t* iterations_run = nullptr) {
  const double n = static_cast<double>(nodes.size());
  std::unordered_set<Uuid> is_node(nodes.begin(), nodes.end());
  Map<double> ranks;
  for (const Uuid& v : nodes) ranks[v] = 1.0 / n;
  Map<uint64_t> out_degree;
  Map<std::vector<Uuid>> incoming;
  for (const EdgeEnds& e : edges) {
    if (!is_node.count(e.source)) continue;
    out_degree[e.source] += 1;
    incoming[e.target].push_back(e.source);
  }
  if (iterations_run) *iterations_run = 0;
  if (max_iterations == 0) return ranks;
  const double base = (1.0 - damping) / n;
  for (uint64_t iteration = 1;; ++iteration) {
    if (iterations_run) *iterations_run = iteration;
    Map<double> next;
    double change = 0;
    for (const Uuid& v : nodes) {
      double sum = 0;
      auto in = incoming.find(v);
      if (in != incoming.end()) {
        for (const Uuid& s : in->second) {
          auto d = out_degree.find(s);
          sum += ranks.at(s) / (d == out_degree.end() ? 1.0 : static_cast<double>(d->second));
        }
      }
      double value = sum * damping + base;
      change += std::abs(value - ranks.at(v));
      next[v] = value;
    }
    ranks = std::move(next);
    if (change < tolerance) break;
    if (iteration == max_iterations) break;
  }
  return ranks;
}

inline Map<double> degree(const Ids& nodes, const Edges& edges, int direction /*0 both, 1 in, 2 out*/,
                          bool normalized) {
  Map<double> d;
  for (const Uuid& v : nodes) d[v] = 0.0;
  for (const EdgeEnds& e : edges) {
    if (direction != 1) d[e.source] += 1.0;
    if (direction != 2) d[e.target] += 1.0;
  }
  if (normalized && nodes.size() >= 2) {
    for (auto& [id, v] : d) v /= static_cast<double>(static_cast<int64_t>(nodes.size()) - 1);
  }
  return d;
}

inline Map<double> clustering(const Ids& nodes, const Edges& edges) {
  Map<std::unordered_set<Uuid>> around;
  for (const EdgeEnds& e : edges) {
    around[e.source].insert(e.target);
    around[e.target].insert(e.source);
  }
  Map<double> c;
  for (const Uuid& v : nodes) {
    auto it = around.find(v);
    if (it == around.end() || it->second.size() < 2) {
      c[v] = 0.0;
      continue;
    }
    std::vector<Uuid> list(it->second.begin(), it->second.end());
    int32_t links = 0;
    for (size_t i = 0; i < list.size(); ++i) {
      for (size_t j = i + 1; j < list.size(); ++j) {
        if (around[list[i]].count(list[j])) ++links;
      }
    }
    const uint64_t k = list.size();
    c[v] = static_cast<double>(links) / static_cast<double>(k * (k - 1) / 2);
  }
  return c;
}

inline Map<double> betweenness(const Ids& nodes, const Edges& edges, bool normalized) {
  std::unordered_set<Uuid> is_node(nodes.begin(), nodes.end());
  Map<double> centrality;
  for (const Uuid& v : nodes) centrality[v] = 0.0;
  Map<std::vector<Uuid>> adj;
  for (const EdgeEnds& e : edges) {
    if (!is_node.count(e.source) || !is_node.count(e.target)) continue;
    adj[e.source].push_back(e.target);
    adj[e.target].push_back(e.source);
  }
  for (const Uuid& s : nodes) {
    Map<double> sigma;
    Map<int32_t> distance;
    Map<std::vector<Uuid>> preds;
    for (const Uuid& v : nodes) {
      sigma[v] = 0.0;
      distance[v] = -1;
      preds[v];
    }
    sigma[s] = 1.0;
    distance[s] = 0;
    std::deque<Uuid> queue{s};
    std::vector<Uuid> stack;
    while (!queue.empty()) {
      Uuid v = queue.front();
      queue.pop_front();
      stack.push_back(v);
      auto it = adj.find(v);
      if (it == adj.end()) continue;
      for (const Uuid& w : it->second) {
        if (distance.at(w) < 0) {
          queue.push_back(w);
          distance[w] = distance.at(v) + 1;
        }
        if (distance.at(w) == distance.at(v) + 1) {
          sigma[w] += sigma.at(v);
          preds[w].push_back(v);
        }
      }
    }
    Map<double> delta;
    for (const Uuid& v : nodes) delta[v] = 0.0;
    while (!stack.empty()) {
      Uuid w = stack.back();
      stack.pop_back();
      for (const Uuid& v : preds[w]) delta[v] = (delta[w] + 1.0) * (sigma[v] / sigma[w]) + delta[v];
      if (w != s) centrality[w] = centrality[w] + delta[w];
    }
  }
  if (normalized && nodes.size() >= 3) {
    const double scale = static_cast<double>(uint64_t{nodes.size() - 1} * uint64_t{nodes.size() - 2});
    for (auto& [id, v] : centrality) v /= scale;
  }
  return centrality;
}

// Weighted adjacency where every joined pair weighs 1.0 each way.
inline Map<Map<double>> unit_adjacency(const Edges& edges) {
  Map<Map<double>> adj;
  for (const EdgeEnds& e : edges) {
    adj[e.source][e.target] = 1.0;
    adj[e.target][e.source] = 1.0;
  }
  return adj;
}

inline Map<uint64_t> renumber(const Map<uint64_t>& assignment) {
  std::set<uint64_t> distinct;
  for (const auto& [id, c] : assignment) distinct.insert(c);
  std::map<uint64_t, uint64_t> number;
  for (uint64_t c : distinct) number.emplace(c, number.size());
  Map<uint64_t> out;
  for (const auto& [id, c] : assignment) out[id] = number.at(c);
  return out;
}

inline Map<uint64_t> community(Ids nodes, const Edges& edges, double resolution, uint64_t max_iterations,
                               double tolerance) {
  std::sort(nodes.begin(), nodes.end());
  Map<uint64_t> assignment;
  for (size_t i = 0; i < nodes.size(); ++i) assignment[nodes[i]] = i;
  Map<Map<double>> adj = unit_adjacency(edges);
  Map<double> degree;
  double total = 0;
  for (const auto& [v, around] : adj) {
    double d = 0;
    for (const auto& [w, weight] : around) d += weight;
    degree[v] = d;
    total += d;
  }
  if (max_iterations == 0 || nodes.empty()) return renumber(assignment);
  const double m = total * 0.5, two_m = m + m, two_m_sq = two_m * two_m;
  auto sigma = [&](uint64_t c) {
    double s = 0;
    for (const auto& [x, cx] : assignment) {
      if (cx == c && degree.count(x)) s += degree.at(x);
    }
    return s;
  };
  for (uint64_t pass = 0; pass < max_iterations; ++pass) {
    bool moved = false;
    for (const Uuid& u : nodes) {
      const uint64_t cur = assignment.at(u);
      std::set<uint64_t> candidates{cur};
      auto it = adj.find(u);
      if (it != adj.end()) {
        for (const auto& [v, w] : it->second) {
          if (assignment.count(v)) candidates.insert(assignment.at(v));
        }
      }
      uint64_t best = cur;
      double best_gain = 0.0;
      for (uint64_t c : candidates) {
        if (c == cur) continue;
        const double k_i = degree.count(u) ? degree.at(u) : 0.0;
        double k_in_c = 0, k_in_cur = 0;
        for (const auto& [v, w] : it->second) {
          if (!assignment.count(v)) continue;
          if (assignment.at(v) == c) k_in_c += w;
          if (assignment.at(v) == cur) k_in_cur += w;
        }
        const double sigma_c = sigma(c), sigma_cur = sigma(cur);
        const double gain = (k_in_c - k_in_cur) / two_m - ((sigma_c - sigma_cur + k_i) * resolution * k_i) / two_m_sq;
        if (gain > best_gain) {
          best = c;
          best_gain = gain;
        }
      }
      if (best_gain > tolerance && best != cur) {
        assignment[u] = best;
        moved = true;
      }
    }
    if (!moved) break;
  }
  return renumber(assignment);
}

inline Map<uint64_t> community_fast(const Ids& nodes, const Edges& edges) {
  std::unordered_set<Uuid> is_node(nodes.begin(), nodes.end());
  Map<std::vector<Uuid>> around;
  for (const Uuid& u : nodes) {
    std::vector<Uuid> list;
    for (const EdgeEnds& e : edges) {
      if (e.source == u && is_node.count(e.target)) list.push_back(e.target);
    }
    for (const EdgeEnds& e : edges) {
      if (e.target == u && is_node.count(e.source)) list.push_back(e.source);
    }
    std::sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
    around[u] = list;
  }
  Map<uint64_t> labels;
  for (size_t i = 0; i < nodes.size(); ++i) labels[nodes[i]] = i;
  for (int pass = 0; pass < 3; ++pass) {
    Map<uint64_t> next = labels;
    bool changed = false;
    for (const Uuid& u : nodes) {
      if (around[u].empty()) continue;
      std::map<uint64_t, uint64_t> tally;
      for (const Uuid& v : around[u]) ++tally[labels.at(v)];
      uint64_t best = 0, best_count = 0;
      for (const auto& [label, count] : tally) {
        if (count > best_count) {
          best = label;
          best_count = count;
        }
      }
      if (best != labels.at(u)) {
        next[u] = best;
        changed = true;
      }
    }
    labels = std::move(next);
    if (!changed) break;
  }
  std::map<uint64_t, uint64_t> number;
  Map<uint64_t> out;
  for (const Uuid& u : nodes) {
    auto [it, fresh] = number.emplace(labels.at(u), number.size());
    out[u] = it->second;
  }
  return out;
}

struct Leiden {
  double gamma = 0.1;
  uint64_t max_iterations = 10;
  double tolerance = 1e-9;

  Ids order;
  Map<Map<double>> adj;
  Map<uint64_t> comm;
  std::map<uint64_t, uint64_t> size;
  uint64_t counter = 0;

  double weight_to_community(const Uuid& v, uint64_t c) const {
    double sum = 0;
    auto it = adj.find(v);
    if (it == adj.end()) return 0.0;
    for (const auto& [w, weight] : it->second) {
      if (w == v) continue;
      auto cw = comm.find(w);
      if (cw != comm.end() && cw->second == c) sum += weight;
    }
    return sum;
  }

  double quality() const {
    std::map<uint64_t, std::vector<Uuid>> members;
    for (const auto& [v, c] : comm) members[c].push_back(v);
    uint64_t e = 0, p = 0;
    for (const auto& [c, list] : members) {
      for (size_t i = 0; i < list.size(); ++i) {
        for (size_t j = i + 1; j < list.size(); ++j) {
          auto it = adj.find(list[i]);
          if (it != adj.end() && it->second.count(list[j])) ++e;
        }
      }
      p += list.size() * (list.size() - 1) / 2;
    }
    return static_cast<double>(e) - gamma * static_cast<double>(p);
  }

  bool local_moving() {
    bool any = false;
    for (bool moved = true; moved;) {
      moved = false;
      for (const Uuid& v : order) {
        const uint64_t h = comm.at(v);
        const double n_h = static_cast<double>(size.at(h));
        const double k_h = weight_to_community(v, h);
        auto it = adj.find(v);
        if (it == adj.end()) continue;
        std::set<uint64_t> candidates;
        for (const auto& [w, weight] : it->second) {
          auto cw = comm.find(w);
          if (cw != comm.end() && cw->second != h) candidates.insert(cw->second);
        }
        uint64_t best = h;
        double best_gain = tolerance;
        const double a = n_h - 1;
        for (uint64_t c : candidates) {
          const double n_c = static_cast<double>(size.at(c));
          const double gain = (weight_to_community(v, c) - k_h) + gamma * (a - n_c);
          if (gain > best_gain) {
            best = c;
            best_gain = gain;
          }
        }
        if (best != h) {
          size[h] -= 1;
          comm[v] = best;
          size[best] += 1;
          moved = any = true;
        }
      }
    }
    return any;
  }

  bool refine() {
    std::map<uint64_t, Ids> groups;
    for (const Uuid& v : order) groups[comm.at(v)].push_back(v);
    bool changed = false;
    for (const auto& [c, members] : groups) {
      if (members.size() < 2) continue;
      const uint64_t base = counter;
      std::unordered_set<Uuid> is_member(members.begin(), members.end());
      Map<uint64_t> refined;
      std::map<uint64_t, uint64_t> rsize;
      std::map<uint64_t, double> rweight;
      for (size_t i = 0; i < members.size(); ++i) {
        refined[members[i]] = base + i;
        rsize[base + i] = 1;
        rweight[base + i] = 0.0;
      }
      counter = base + members.size();
      Map<double> internal;
      for (const Uuid& u : members) {
        double d = 0;
        auto it = adj.find(u);
        if (it != adj.end()) {
          for (const auto& [w, weight] : it->second) {
            if (w != u && is_member.count(w)) d += weight;
          }
        }
        internal[u] = d;
      }
      const double threshold = static_cast<double>(members.size() - 1) * gamma;
      for (const Uuid& v : members) {
        const uint64_t r = refined.at(v);
        if (rsize.at(r) != 1) continue;
        if (threshold > internal.at(v)) continue;
        std::set<uint64_t> candidates;
        auto it = adj.find(v);
        if (it != adj.end()) {
          for (const auto& [w, weight] : it->second) {
            if (is_member.count(w) && refined.at(w) != r) candidates.insert(refined.at(w));
          }
        }
        std::optional<uint64_t> best;
        double best_gain = 0.0;
        auto weight_into = [&](uint64_t s) {
          double e = 0;
          if (it == adj.end()) return e;
          for (const auto& [w, weight] : it->second) {
            if (is_member.count(w) && refined.at(w) == s) e += weight;
          }
          return e;
        };
        for (uint64_t s : candidates) {
          const double n_s = static_cast<double>(rsize.at(s));
          const double w_s = rweight.at(s);
          double t_s = 0;
          for (const Uuid& x : members) {
            if (refined.at(x) == s) t_s += internal.at(x);
          }
          if ((static_cast<double>(members.size()) - n_s) * (gamma * n_s) > t_s - 2.0 * w_s) continue;
          const double gain = weight_into(s) - gamma * n_s;
          if (gain > best_gain) {
            best = s;
            best_gain = gain;
          }
        }
        if (best) {
          const double e = weight_into(*best);
          refined[v] = *best;
          rsize[*best] += 1;
          rweight[*best] += e;
          rsize[r] -= 1;
        }
      }
      std::set<uint64_t> distinct;
      for (const Uuid& v : members) distinct.insert(refined.at(v));
      if (distinct.size() == 1) continue;
      changed = true;
      if (distinct.size() == members.size()) {
        for (const Uuid& v : members) {
          comm[v] = refined.at(v);
          size[refined.at(v)] = 1;
        }
        size[c] -= members.size();
        continue;
      }
      std::map<uint64_t, uint64_t> target;
      for (uint64_t s : distinct) target[s] = target.empty() ? c : counter++;
      size[c] = 0;
      for (const Uuid& v : members) {
        comm[v] = target.at(refined.at(v));
        size[comm[v]] += 1;
      }
    }
    return changed;
  }

  Map<uint64_t> detect(Ids nodes, const Edges& edges) {
    if (nodes.empty()) return {};
    adj = unit_adjacency(edges);
    std::sort(nodes.begin(), nodes.end());
    order = nodes;
    for (size_t i = 0; i < order.size(); ++i) {
      comm[order[i]] = i;
      size[i] = 1;
    }
    counter = order.size();
    Map<uint64_t> best = comm;
    std::optional<double> best_h;
    auto consider = [&] {
      double h = quality();
      if (!best_h || h >= *best_h) {
        best = comm;
        best_h = h;
      }
    };
    for (uint64_t it = 1; it <= max_iterations; ++it) {
      bool moved = local_moving();
      consider();
      bool changed = refine();
      consider();
      if (!moved && !changed) break;
    }
    return renumber(best);
  }
};

inline std::optional<double> shortest_distance(const Edges& edges, const Uuid& s, const Uuid& t) {
  if (s == t) return 0.0;
  Map<std::vector<Uuid>> adj;
  for (const EdgeEnds& e : edges) adj[e.source].push_back(e.target);
  std::unordered_set<Uuid> visited{s};
  Map<Uuid> pred;
  std::deque<Uuid> queue{s};
  while (!queue.empty()) {
    Uuid u = queue.front();
    queue.pop_front();
    if (u == t) {
      size_t hops = 0;
      for (Uuid v = t; v != s; v = pred.at(v)) ++hops;
      return static_cast<double>(hops);
    }
    auto it = adj.find(u);
    if (it == adj.end()) continue;
    for (const Uuid& v : it->second) {
      if (visited.insert(v).second) {
        pred[v] = u;
        queue.push_back(v);
      }
    }
  }
  return std::nullopt;
}

}  // namespace zudizid::algorithms::reference
