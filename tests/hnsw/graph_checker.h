// Structural invariants of a built index, for tests.
#pragma once

#include <fmt/format.h>

#include <string>
#include <unordered_set>
#include <vector>

#include "hnsw/hnsw/hnsw.h"

namespace vantor::testing {

// Empty when every list is sorted by distance, within its layer's limit,
// free of self-links, duplicates and dangling indices, and (when asked) every
// point is reachable from the entry point; otherwise the first problems found.
template <class H>
std::string check_graph(const H& h, bool require_reachable = true) {
  std::string problems;
  auto fail = [&](std::string s) {
    if (problems.size() < 2000) problems += s + "\n";
  };
  const uint64_t n = h.nb_point();
  for (uint32_t p = 0; p < n; ++p) {
    for (uint64_t l = 0; l < NB_MAX_LAYER; ++l) {
      auto list = h.neighbours(p, l);
      uint64_t lim = l == 0 ? 2 * h.max_nb_connection() : h.max_nb_connection();
      if (list.size() > lim) fail(fmt::format("point {} layer {}: {} entries > {}", p, l, list.size(), lim));
      std::unordered_set<uint32_t> seen;
      for (size_t i = 0; i < list.size(); ++i) {
        const Entry& e = list[i];
        if (e.idx == p) fail(fmt::format("point {} layer {}: self-link", p, l));
        if (e.idx >= n) fail(fmt::format("point {} layer {}: dangling {}", p, l, e.idx));
        if (!seen.insert(e.idx).second) fail(fmt::format("point {} layer {}: duplicate {}", p, l, e.idx));
        if (!(e.dist >= 0.0f)) fail(fmt::format("point {} layer {}: distance {}", p, l, e.dist));
        if (i > 0 && list[i - 1].dist > e.dist) fail(fmt::format("point {} layer {}: unsorted", p, l));
      }
    }
  }
  if (n == 0 || !require_reachable) return problems;
  auto entry = h.entry_index();
  if (!entry) return problems + "no entry point\n";
  std::vector<char> reached(n, 0);
  std::vector<uint32_t> stack{*entry};
  reached[*entry] = 1;
  uint64_t count = 1;
  while (!stack.empty()) {
    uint32_t p = stack.back();
    stack.pop_back();
    for (uint64_t l = 0; l < NB_MAX_LAYER; ++l) {
      for (const Entry& e : h.neighbours(p, l)) {
        if (e.idx < n && !reached[e.idx]) {
          reached[e.idx] = 1;
          ++count;
          stack.push_back(e.idx);
        }
      }
    }
  }
  if (count != n) fail(fmt::format("{} of {} points unreachable from the entry point", n - count, n));
  return problems;
}

}  // namespace vantor::testing
