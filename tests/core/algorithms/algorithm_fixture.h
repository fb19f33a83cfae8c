// Small graphs for the algorithm tests: ids whose byte order is their number
// order, so "a < b" reads as id(1) < id(2).
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <utility>
#include <vector>

#include "algorithms/compact_graph.h"

namespace zudizid::algorithms::testing {

inline Uuid id(int n) {
  Uuid::Bytes b{};
  b[0] = 0x5c;
  b[14] = static_cast<uint8_t>(n >> 8);
  b[15] = static_cast<uint8_t>(n);
  return Uuid(b);
}

inline std::vector<Uuid> ids(std::initializer_list<int> ns) {
  std::vector<Uuid> out;
  for (int n : ns) out.push_back(id(n));
  return out;
}

inline std::vector<EdgeEnds> edges(std::initializer_list<std::pair<int, int>> pairs) {
  std::vector<EdgeEnds> out;
  for (auto [s, t] : pairs) out.push_back({id(s), id(t)});
  return out;
}

template <class T>
T value(const NodeMap<T>& m, int n) {
  const T* v = m.find(id(n));
  EXPECT_NE(v, nullptr) << "no entry for " << n;
  return v ? *v : T{};
}

}  // namespace zudizid::algorithms::testing
