// GraphView: the node and edge lists a graph algorithm runs on, and the other
// reads the algorithms make of the graph. Every read of the graph by the
// algorithm layer goes through this module.
//
// Two forms:
//  - whole graph: every node with a current record, in id order, and every
//    stored edge, in edge id order (the edge list is not checked against
//    the node list). The node ids come from the in-memory label map and the
//    edges' ends from the in-memory adjacency lists, no record read: only
//    an edge the lists disagree on is read from its record (and the node
//    records are scanned when the label map could not be built);
//  - node set: the subgraph induced by a set of ids. Its node list holds the
//    ids whose current record reads; its edge list holds each readable
//    outgoing edge of an id of the set whose target is in the set, once
//    (under its source). Ids or edges that cannot be read are skipped
//    silently; both lists come in no particular order.
// Only ids and endpoints are returned. A view caches nothing, holds no lock
// of its own and borrows the graph: it must not outlive the handle. Writes
// committed while a view is read may or may not be seen.
//
//   GraphView view = GraphView::whole_graph(graph);
//   auto nodes = view.nodes();            // read the nodes first,
//   if (nodes && !nodes->empty()) edges = view.edges();  // edges only if any
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_set>
#include <vector>

#include "algorithms/compact_graph.h"
#include "graph/graph.h"
#include "storage/db_error.h"

namespace zudizid::graph {

class Graph;
using common::Uuid;

class GraphView {
 public:
  static GraphView whole_graph(const Graph& graph);
  static GraphView for_nodes(const Graph& graph, std::unordered_set<Uuid> ids);

  // Whole graph: a storage error is returned unchanged and no partial list.
  // A node or an edge listed in memory just before its commit's batch lands
  // may be in the list.
  // Node set: never fails.
  DbResult<std::vector<Uuid>> nodes() const;
  DbResult<std::vector<algorithms::EdgeEnds>> edges() const;

 private:
  GraphView(const Graph& graph, std::optional<std::unordered_set<Uuid>> ids) : graph_(&graph), ids_(std::move(ids)) {}

  const Graph* graph_;
  std::optional<std::unordered_set<Uuid>> ids_;
};

// The other ends of a node's edges, one per listed edge (repeats kept): the
// targets of its outgoing edges, then the sources of its incoming edges (for
// a self-loop, the node itself, once from each list). The adjacency lists are
// copied under their read locks (outgoing, then incoming, released in the
// reverse order); the edges are then read with no lock held. A listed edge
// without a record is left out (a commit lists its edges just before its
// store batch lands); any other read failure ends the call with that error.
DbResult<std::vector<Uuid>> get_neighbors(const Graph& graph, const Uuid& node, Direction direction);

// The graph's change counter: advanced by every write that adds or removes
// a node or an edge (by a commit once more after its batch is stored).
uint64_t change_counter(const Graph& graph);

// A token that lives exactly as long as the open graph (all its handles):
// equal for every handle of one graph, expired once the graph is gone.
std::weak_ptr<const void> graph_identity(const Graph& graph);

}  // namespace zudizid::graph
