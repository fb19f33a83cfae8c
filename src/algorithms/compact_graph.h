// The input every algorithm takes, and the dense form it computes on.
//
// Input: node ids and edges as (source, target) pairs. Edges carry no weight
// and no type; an edge may name ids that are not in the node list.
//
// CompactGraph numbers the distinct node ids 0 .. node_count - 1 in list
// order (a repeated id keeps its first position), then every edge end that
// is no node, in edge order; `edges` holds the edges in input order on those
// numbers. Algorithms iterate the numbers where the reference procedure
// iterates maps, so the floating-point operations, and their order, stay the
// same.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "algorithms/id_index.h"

namespace zudizid::algorithms {

struct EdgeEnds {
  Uuid source;
  Uuid target;
  friend bool operator==(const EdgeEnds&, const EdgeEnds&) = default;
};

struct CompactEdge {
  uint32_t source;
  uint32_t target;
};

struct CompactGraph {
  IdIndex index;
  uint32_t node_count = 0;
  std::vector<CompactEdge> edges;

  static CompactGraph build(std::span<const Uuid> nodes, std::span<const EdgeEnds> edges);
  bool is_node(uint32_t v) const { return v < node_count; }
  // The node positions sorted ascending by the ids' 16 bytes.
  std::vector<uint32_t> nodes_by_id() const;
  // The index of the nodes alone (same positions), leaving `index` empty.
  IdIndex take_node_index();
};

// Compressed adjacency rows: row v is targets[offsets[v] .. offsets[v + 1]).
struct Adjacency {
  std::vector<uint64_t> offsets;
  std::vector<uint32_t> targets;

  size_t rows() const { return offsets.empty() ? 0 : offsets.size() - 1; }
  std::span<const uint32_t> row(uint32_t v) const {
    return {targets.data() + offsets[v], static_cast<size_t>(offsets[v + 1] - offsets[v])};
  }
  size_t degree(uint32_t v) const { return static_cast<size_t>(offsets[v + 1] - offsets[v]); }

  // Each kept edge appends its target to its source's row and then its source
  // to its target's row, in edge order; repeats and self-loops (twice) stay.
  template <class Keep>
  static Adjacency both_directions(size_t rows, std::span<const CompactEdge> edges, Keep keep);
  static Adjacency both_directions(size_t rows, std::span<const CompactEdge> edges) {
    return both_directions(rows, edges, [](const CompactEdge&) { return true; });
  }
  // Each kept edge appends its target to its source's row (`Forward`), or its
  // source to its target's row (`Backward`), in edge order.
  enum class Direction : uint8_t { Forward, Backward };
  template <class Keep>
  static Adjacency directed(size_t rows, std::span<const CompactEdge> edges, Direction direction, Keep keep);
  // Rows sorted ascending with repeats removed: the neighbour sets.
  void sort_unique();

 private:
  // Turns per-row counts in offsets[v + 1] into offsets; returns each row's
  // next free slot.
  std::vector<uint64_t> start_rows(size_t rows);
};

template <class Keep>
Adjacency Adjacency::directed(size_t rows, std::span<const CompactEdge> edges, Direction direction, Keep keep) {
  const bool forward = direction == Direction::Forward;
  Adjacency adj;
  adj.offsets.assign(rows + 1, 0);
  for (const CompactEdge& e : edges) {
    if (keep(e)) ++adj.offsets[(forward ? e.source : e.target) + 1];
  }
  std::vector<uint64_t> fill = adj.start_rows(rows);
  for (const CompactEdge& e : edges) {
    if (!keep(e)) continue;
    if (forward) {
      adj.targets[fill[e.source]++] = e.target;
    } else {
      adj.targets[fill[e.target]++] = e.source;
    }
  }
  return adj;
}

template <class Keep>
Adjacency Adjacency::both_directions(size_t rows, std::span<const CompactEdge> edges, Keep keep) {
  Adjacency adj;
  adj.offsets.assign(rows + 1, 0);
  for (const CompactEdge& e : edges) {
    if (!keep(e)) continue;
    ++adj.offsets[e.source + 1];
    ++adj.offsets[e.target + 1];
  }
  std::vector<uint64_t> fill = adj.start_rows(rows);
  for (const CompactEdge& e : edges) {
    if (!keep(e)) continue;
    adj.targets[fill[e.source]++] = e.target;
    adj.targets[fill[e.target]++] = e.source;
  }
  return adj;
}

}  // namespace zudizid::algorithms
