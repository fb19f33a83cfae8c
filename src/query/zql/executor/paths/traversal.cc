#include "query/zql/executor/paths/traversal.h"

#include <algorithm>

namespace zudizid::query::zql::executor {

namespace {

using ast::Direction;
using ast::NodePattern;
using ast::RelationshipPattern;

DbError exec_error(const char* text) { return DbError::query_execution(text); }

bool properties_match(const PropertyMap& wanted, const PropertyMap& have) {
  for (const auto& [name, value] : wanted) {
    auto it = have.find(name);
    if (it == have.end() || !(it->second == value)) return false;
  }
  return true;
}

}  // namespace

bool node_matches_pattern(const Node& node, const NodePattern& pattern) {
  if (pattern.label && *pattern.label != node.label) return false;
  return properties_match(pattern.properties, node.properties);
}

DbResult<std::vector<Edge>> edges_in_direction(const graph::Graph& graph, Direction direction, const Uuid& node) {
  if (direction == Direction::Incoming) return graph.get_incoming_edges(node);
  auto out = graph.get_outgoing_edges(node);
  if (!out || direction == Direction::Outgoing) return out;
  auto in = graph.get_incoming_edges(node);
  if (!in) return std::unexpected(std::move(in.error()));
  out->insert(out->end(), std::make_move_iterator(in->begin()), std::make_move_iterator(in->end()));
  return out;
}

graph::NodeCursor label_scan(const graph::Graph& graph, const std::optional<std::string>& label) {
  return label ? graph.nodes_with_label(*label) : graph.nodes();
}

DbResult<LinearBindings> LinearBindings::create(graph::Graph graph, const ast::Pattern& pattern,
                                                graph::NodeCursor starts, QueryContext* profile) {
  const auto& elements = pattern.elements;
  if (elements.size() % 2 == 0) return std::unexpected(exec_error("Linear pattern must alternate node and relationship elements"));
  if (!std::holds_alternative<NodePattern>(elements[0])) return std::unexpected(exec_error("Pattern must start with node"));
  LinearBindings out(std::move(graph));
  for (size_t i = 1; i + 1 < elements.size(); i += 2) {
    const auto* rel = std::get_if<RelationshipPattern>(&elements[i]);
    if (rel == nullptr) return std::unexpected(exec_error("Expected relationship in linear pattern"));
    if (!std::holds_alternative<NodePattern>(elements[i + 1])) {
      return std::unexpected(exec_error("Expected node after relationship"));
    }
    Hop hop{i, i + 1};
    if (const auto& q = rel->quantifier) {
      if (!q->max) {
        return std::unexpected(
            exec_error("Unbounded quantified traversals are not supported in Path Queries F1; provide an upper bound"));
      }
      if (q->min == 0) {
        return std::unexpected(exec_error(
            "Zero-hop quantifiers ({0} or {0,n}) are not supported in Path Queries F1; min must be >= 1"));
      }
      if (rel->variable) {
        return std::unexpected(exec_error("Relationship variables on quantified hops are not supported in Path Queries F1"));
      }
      hop.quantified = true;
      hop.min = q->min;
      hop.max = *q->max;
    }
    out.hops_.push_back(hop);
  }
  out.elements_ = elements;
  out.starts_ = std::move(starts);
  out.profile_ = profile;
  return out;
}

const NodePattern& LinearBindings::node_pattern(size_t i) const { return std::get<NodePattern>(elements_[i]); }
const RelationshipPattern& LinearBindings::rel_pattern(size_t i) const {
  return std::get<RelationshipPattern>(elements_[i]);
}

void LinearBindings::push(const Edge& edge, Node node) {
  edges_.push_back(edge);
  nodes_.push_back(std::move(node));
}

void LinearBindings::pop() {
  edges_.pop_back();
  nodes_.pop_back();
}

std::optional<DbResult<PathBinding>> LinearBindings::next() {
  auto fail = [this](DbError error) {
    done_ = true;
    return std::optional<DbResult<PathBinding>>(std::unexpected(std::move(error)));
  };
  while (!done_) {
    if (start_emitted_) {
      start_emitted_ = false;
      nodes_.clear();
    }
    if (nodes_.empty()) {
      auto start = starts_.next();
      if (!start) {
        done_ = true;
        break;
      }
      if (!*start) return fail(std::move(start->error()));
      if (!node_matches_pattern(**start, node_pattern(0))) continue;
      nodes_.push_back(std::move(**start));
      if (hops_.empty()) {
        start_emitted_ = true;
        return materialise();
      }
      if (auto begun = begin_hop(0); !begun) return fail(std::move(begun.error()));
      continue;
    }
    const size_t h = runs_.size() - 1;
    auto extended = hops_[h].quantified ? advance_quantified(h) : advance_plain(h);
    if (!extended) return fail(std::move(extended.error()));
    if (*extended) {
      if (h + 1 == hops_.size()) return materialise();
      if (auto begun = begin_hop(h + 1); !begun) return fail(std::move(begun.error()));
      continue;
    }
    runs_.pop_back();
    if (runs_.empty()) nodes_.clear();
  }
  return std::nullopt;
}

DbResult<void> LinearBindings::begin_hop(size_t h) {
  const Hop& hop = hops_[h];
  HopRun run;
  run.base = nodes_.size() - 1;
  // The search's start state: expanded unless the quantifier allows no edge.
  if (hop.quantified) count([](PathProfile& p) { ++p.frontier_states_visited; });
  if (hop.max > 0) {
    auto edges = edges_in_direction(graph_, rel_pattern(hop.rel).direction, nodes_.back().id);
    if (!edges) return std::unexpected(std::move(edges.error()));
    run.frames.push_back(Frame{std::move(*edges)});
  }
  runs_.push_back(std::move(run));
  return {};
}

std::optional<Node> LinearBindings::far_node(const Hop& hop, const Edge& edge, const Uuid& from, const HopRun* visited,
                                             bool count_prunes) {
  const RelationshipPattern& rel = rel_pattern(hop.rel);
  if (rel.rel_type && *rel.rel_type != edge.edge_type) return std::nullopt;
  if (!properties_match(rel.properties, edge.properties)) return std::nullopt;
  const Uuid far = rel.direction == Direction::Outgoing   ? edge.target
                   : rel.direction == Direction::Incoming ? edge.source
                   : edge.source == from                  ? edge.target
                                                          : edge.source;
  if (visited != nullptr) {
    const bool seen = std::any_of(nodes_.begin() + static_cast<std::ptrdiff_t>(visited->base), nodes_.end(),
                                  [&](const Node& n) { return n.id == far; });
    if (seen) {
      if (count_prunes) count([](PathProfile& p) { ++p.cycle_prunes; });
      return std::nullopt;
    }
  }
  auto node = graph_.node(far);
  if (!node) return std::nullopt;
  return std::move(*node);
}

DbResult<bool> LinearBindings::advance_plain(size_t h) {
  HopRun& run = runs_[h];
  const Hop& hop = hops_[h];
  if (run.extended) {
    pop();
    run.extended = false;
  }
  Frame& frame = run.frames.front();
  const Uuid from = nodes_[run.base].id;
  while (frame.next < frame.edges.size()) {
    const Edge& edge = frame.edges[frame.next++];
    auto far = far_node(hop, edge, from, nullptr, false);
    if (!far || !node_matches_pattern(*far, node_pattern(hop.node))) continue;
    push(edge, std::move(*far));
    run.edge_pos = edges_.size() - 1;
    run.node_pos = nodes_.size() - 1;
    run.extended = true;
    return true;
  }
  return false;
}

// One depth-limited search per target depth 1, 2, ..., max: the matches of
// depth d come in the order a breadth-first search would queue them. A state
// is counted, and its pruned edges too, in the one search whose target lies
// just below it, so the counters equal those of a single breadth-first pass.
DbResult<bool> LinearBindings::advance_quantified(size_t h) {
  HopRun& run = runs_[h];
  const Hop& hop = hops_[h];
  if (run.extended) {
    pop();
    run.extended = false;
  }
  while (true) {
    if (run.frames.empty()) {
      // A depth no path reached ends the search: nothing lies beyond it.
      if (run.target >= hop.max || !run.reached) return false;
      ++run.target;
      run.reached = false;
      auto edges = edges_in_direction(graph_, rel_pattern(hop.rel).direction, nodes_[run.base].id);
      if (!edges) return std::unexpected(std::move(edges.error()));
      run.frames.push_back(Frame{std::move(*edges)});
      continue;
    }
    Frame& frame = run.frames.back();
    const uint64_t depth = run.frames.size();  // edges after taking one from this frame
    if (frame.next == frame.edges.size()) {
      run.frames.pop_back();
      if (!run.frames.empty()) pop();
      continue;
    }
    const Edge& edge = frame.edges[frame.next++];
    const bool deepest = depth == run.target;
    auto far = far_node(hop, edge, nodes_.back().id, &run, deepest);
    if (!far) continue;
    if (deepest) {
      count([depth](PathProfile& p) { p.max_depth_observed = std::max(p.max_depth_observed, depth); });
      run.reached = true;
      if (depth < hop.min || !node_matches_pattern(*far, node_pattern(hop.node))) continue;
      push(edge, std::move(*far));
      run.node_pos = nodes_.size() - 1;
      run.extended = true;
      return true;
    }
    auto edges = edges_in_direction(graph_, rel_pattern(hop.rel).direction, far->id);
    if (!edges) return std::unexpected(std::move(edges.error()));
    push(edge, std::move(*far));
    if (depth + 1 == run.target) count([](PathProfile& p) { ++p.frontier_states_visited; });
    run.frames.push_back(Frame{std::move(*edges)});
  }
}

PathBinding LinearBindings::materialise() const {
  PathBinding out{nodes_, edges_, {}, {}};
  if (const auto& v = node_pattern(0).variable) out.bind_node(*v, 0);
  for (size_t h = 0; h < runs_.size(); ++h) {
    if (const auto& v = rel_pattern(hops_[h].rel).variable; v && !hops_[h].quantified) out.bind_edge(*v, runs_[h].edge_pos);
    if (const auto& v = node_pattern(hops_[h].node).variable) out.bind_node(*v, runs_[h].node_pos);
  }
  return out;
}

DbResult<std::vector<PathBinding>> collect_linear_bindings(const graph::Graph& graph, const ast::Pattern& pattern,
                                                           QueryContext* profile) {
  if (pattern.elements.empty()) return std::unexpected(exec_error("Linear pattern must alternate node and relationship elements"));
  const auto* first = std::get_if<NodePattern>(&pattern.elements[0]);
  auto bindings = LinearBindings::create(graph, pattern, first ? label_scan(graph, first->label) : graph::NodeCursor(),
                                         profile);
  if (!bindings) return std::unexpected(std::move(bindings.error()));
  std::vector<PathBinding> out;
  while (auto next = bindings->next()) {
    if (!*next) return std::unexpected(std::move(next->error()));
    out.push_back(std::move(**next));
  }
  return out;
}

}  // namespace zudizid::query::zql::executor
