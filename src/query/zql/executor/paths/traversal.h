// Linear path traversal: the matches of one linear pattern
// (node, relationship, node, ..., node), yielded one at a time.
//
//   auto paths = LinearBindings::create(graph, pattern, starts, &profile);
//   if (!paths) return std::unexpected(paths.error());
//   while (auto next = paths->next()) {
//     if (!*next) return std::unexpected(next->error());   // ends the stream
//     use(**next);                                          // a PathBinding
//   }
//
// Order of the matches: start nodes in the order `starts` yields them; a
// plain hop (no quantifier) in edge order; a quantified hop {min, max} in
// breadth-first order (all matches of depth 1 before those of depth 2, each
// depth in the order its paths were reached, then edge order), as if every
// hop were computed in full for the whole frontier before the next.
//
// Rules of a hop: the relationship's type and property map filter edges
// (for plain and quantified hops alike); the far node must satisfy the next
// node pattern (only the last node of a quantified match is tested); a far
// node that cannot be read skips the edge. Within one quantified hop a path
// never visits a node twice, its start included. A variable bound twice is
// rebound to the later position.
//
// Memory: nothing is materialised ahead of the consumer. The path being
// extended is one stack shared by every match that extends it; a quantified
// hop runs a depth-limited search per depth (which gives the breadth-first
// order) and so holds at most `max` edge lists. Stopping early (LIMIT) stops
// the reads.
//
// Refusals (DbError::QueryExecution), all checked by create() before any
// read: "Linear pattern must alternate node and relationship elements",
// "Pattern must start with node", "Expected relationship in linear pattern",
// "Expected node after relationship", and for a quantifier "Unbounded
// quantified traversals are not supported in Path Queries F1; provide an
// upper bound", "Zero-hop quantifiers ({0} or {0,n}) are not supported in
// Path Queries F1; min must be >= 1", "Relationship variables on quantified
// hops are not supported in Path Queries F1".
#pragma once

#include <optional>
#include <vector>

#include "graph/graph.h"
#include "query/zql/executor/paths/path_binding.h"
#include "query/zql/executor/query_context.h"
#include "query/zql/parser/ast.h"

namespace zudizid::query::zql::executor {

// Label first, then every pattern property present with an equal value. A
// node without properties matches only a pattern without any.
bool node_matches_pattern(const Node& node, const ast::NodePattern& pattern);

// The edges at `node` in `direction` (outgoing then incoming for
// Bidirectional, so a self-loop comes twice).
DbResult<std::vector<Edge>> edges_in_direction(const graph::Graph& graph, ast::Direction direction, const Uuid& node);

// Every current node with `label` (all nodes without one), in id order:
// the start candidates when no index narrows them.
graph::NodeCursor label_scan(const graph::Graph& graph, const std::optional<std::string>& label);

class LinearBindings {
 public:
  // `starts`: candidate start nodes (each is still tested against the first
  // node pattern). `profile` may be null; quantified hops add to its path
  // counters when it has them (profiling on).
  static DbResult<LinearBindings> create(graph::Graph graph, const ast::Pattern& pattern, graph::NodeCursor starts,
                                         QueryContext* profile);


  // The next match, an error (after which the stream ends) or nothing.
  std::optional<DbResult<PathBinding>> next();

 private:
  struct Frame {
    std::vector<Edge> edges;
    size_t next = 0;
  };
  struct Hop {
    size_t rel;   // element index of the relationship
    size_t node;  // element index of the node pattern after it
    bool quantified = false;
    uint64_t min = 1;
    uint64_t max = 1;
  };
  // The running state of one hop from one path (its start node at `base`).
  struct HopRun {
    size_t base = 0;
    bool extended = false;  // the last advance pushed a match
    uint64_t target = 1;    // quantified: depth of this iteration
    bool reached = false;   // quantified: some node reached at `target`
    std::vector<Frame> frames;
    size_t edge_pos = 0, node_pos = 0;
  };

  explicit LinearBindings(graph::Graph graph) : graph_(std::move(graph)) {}
  const ast::NodePattern& node_pattern(size_t i) const;
  const ast::RelationshipPattern& rel_pattern(size_t i) const;

  DbResult<void> begin_hop(size_t h);
  // Undoes the hop's last extension, then extends to its next match; false
  // when it has none.
  DbResult<bool> advance_plain(size_t h);
  DbResult<bool> advance_quantified(size_t h);
  // The far node of `edge` from `from` when the edge passes the hop's type
  // and property tests and the node can be read.
  std::optional<Node> far_node(const Hop& hop, const Edge& edge, const Uuid& from, const HopRun* visited,
                               bool count_prunes);
  void push(const Edge& edge, Node node);
  void pop();
  PathBinding materialise() const;
  // Runs `update` on the query's path counters when profiling is on.
  template <class F>
  void count(F&& update) {
    if (profile_ == nullptr) return;
    std::lock_guard lock(profile_->path_profile_mu);
    if (profile_->path_profile) update(*profile_->path_profile);
  }

  graph::Graph graph_;
  std::vector<ast::PatternElement> elements_;
  graph::NodeCursor starts_;
  QueryContext* profile_ = nullptr;
  std::vector<Hop> hops_;
  std::vector<HopRun> runs_;
  std::vector<Node> nodes_;
  std::vector<Edge> edges_;
  bool start_emitted_ = false;  // a pattern without hops emitted nodes_[0]
  bool done_ = false;
};

// Every match of a linear pattern, starting from a label scan.
DbResult<std::vector<PathBinding>> collect_linear_bindings(const graph::Graph& graph, const ast::Pattern& pattern,
                                                           QueryContext* profile);

}  // namespace zudizid::query::zql::executor
