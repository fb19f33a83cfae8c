// The one place the algorithm layer reads graph::Graph.
#include "graph/view/graph_view.h"

#include <mutex>
#include <shared_mutex>

#include "algorithms/parallel.h"
#include "common/log.h"
#include "graph/graph.h"
#include "graph/view/parallel_scan.h"
#include "storage/storage_keys.h"

namespace zudizid::graph {

namespace {

constexpr const char* kTarget = "zudizid::graph::view";

// The whole-graph lists read ids and endpoints only. Records in the layout
// our encoder writes (a fixed-length array whose first fields are 16-byte
// binaries) are read in place; anything else is decoded in full.
constexpr uint8_t kBin16[] = {0xc4, 0x10};

bool bin16_at(std::span<const uint8_t> b, size_t at) {
  return b.size() >= at + 18 && b[at] == kBin16[0] && b[at + 1] == kBin16[1];
}

Uuid uuid_at(std::span<const uint8_t> b, size_t at) {
  Uuid::Bytes bytes;
  std::copy_n(b.begin() + static_cast<ptrdiff_t>(at) + 2, 16, bytes.begin());
  return Uuid(bytes);
}

DbResult<Uuid> node_id_of(std::span<const uint8_t> record) {
  if (!record.empty() && record[0] == 0x94 && bin16_at(record, 1)) return uuid_at(record, 1);
  common::msgpack::Reader reader(record);
  auto node = Node::from_msgpack(reader);
  if (!node) return std::unexpected(DbError::msgpack_decode(node.error().message));
  return node->id;
}

// One end of an edge as an adjacency list names it: the edge id as two
// big-endian words (integer order is id order, the edges tree's key order)
// and the node at that end.
struct ListedEnd {
  uint64_t hi, lo;
  Uuid node;
};

uint64_t word_at(const Uuid::Bytes& b, size_t at) {
  uint64_t w = 0;
  for (size_t i = 0; i < 8; ++i) w = (w << 8) | b[at + i];
  return w;
}

Uuid id_of(const ListedEnd& e) {
  Uuid::Bytes b;
  for (size_t i = 0; i < 8; ++i) {
    b[i] = static_cast<uint8_t>(e.hi >> (56 - 8 * i));
    b[8 + i] = static_cast<uint8_t>(e.lo >> (56 - 8 * i));
  }
  return Uuid(b);
}

bool same_edge(const ListedEnd& a, const ListedEnd& b) { return a.hi == b.hi && a.lo == b.lo; }

bool before(const ListedEnd& a, const ListedEnd& b) {
  if (a.hi != b.hi) return a.hi < b.hi;
  if (a.lo != b.lo) return a.lo < b.lo;
  return a.node < b.node;
}

// Every (edge, node) pair of `adjacency`, in no particular order: the
// map's buckets are walked in ranges in parallel. The caller holds the
// map's read lock.
std::vector<ListedEnd> listed_ends(const AdjacencyMap& adjacency) {
  const size_t buckets = adjacency.bucket_count();
  const size_t blocks = algorithms::blocks_for(buckets, 1 << 14, 64);
  std::vector<std::vector<ListedEnd>> parts(blocks);
  algorithms::for_each_block(blocks, [&](size_t b) {
    auto [lo, hi] = algorithms::block_range(buckets, blocks, b);
    for (size_t k = lo; k < hi; ++k) {
      for (auto it = adjacency.begin(k); it != adjacency.end(k); ++it) {
        for (const Uuid& edge : it->second) {
          parts[b].push_back({word_at(edge.bytes(), 0), word_at(edge.bytes(), 8), it->first});
        }
      }
    }
  });
  size_t total = 0;
  for (const auto& part : parts) total += part.size();
  std::vector<ListedEnd> ends;
  ends.reserve(total);
  for (auto& part : parts) {
    ends.insert(ends.end(), part.begin(), part.end());
    std::vector<ListedEnd>().swap(part);
  }
  return ends;
}

// [at, end of the run of entries naming the edge at `at`), and whether
// they all name one node.
std::pair<size_t, bool> run_of(const std::vector<ListedEnd>& ends, size_t at) {
  size_t end = at + 1;
  bool one_node = true;
  while (end < ends.size() && same_edge(ends[end], ends[at])) one_node &= ends[end++].node == ends[at].node;
  return {end, one_node};
}

// The stored edges as the in-memory adjacency lists them, in edge id order:
// each edge's source from the outgoing lists, its target from the incoming
// lists. An edge named by one side only, or under more than one node on a
// side (a bulk load that wrote an edge id again with other ends), is taken
// from its record, and left out when it has none.
DbResult<std::vector<algorithms::EdgeEnds>> listed_edges(const Graph& graph) {
  std::vector<ListedEnd> sources, targets;
  {
    std::shared_lock out(graph.outgoing_adjacency().mu);
    std::shared_lock in(graph.incoming_adjacency().mu);
    algorithms::for_each_block(2, [&](size_t side) {
      if (side) {
        targets = listed_ends(graph.incoming_adjacency().map);
      } else {
        sources = listed_ends(graph.outgoing_adjacency().map);
      }
    });
  }
  // (A lambda, not the function itself: the sort then inlines the compare.)
  auto by_edge = [](const ListedEnd& a, const ListedEnd& b) { return before(a, b); };
  algorithms::for_each_block(2, [&](size_t side) { algorithms::parallel_sort(side ? targets : sources, by_edge); });
  std::vector<algorithms::EdgeEnds> edges;
  edges.reserve(std::max(sources.size(), targets.size()));
  size_t s = 0, t = 0;
  while (s < sources.size() || t < targets.size()) {
    const bool from_sources = t == targets.size() || (s < sources.size() && !before(targets[t], sources[s]));
    const ListedEnd& head = from_sources ? sources[s] : targets[t];
    const bool in_sources = s < sources.size() && same_edge(sources[s], head);
    const bool in_targets = t < targets.size() && same_edge(targets[t], head);
    auto [s_end, one_source] = in_sources ? run_of(sources, s) : std::pair{s, false};
    auto [t_end, one_target] = in_targets ? run_of(targets, t) : std::pair{t, false};
    if (one_source && one_target) {
      edges.push_back({sources[s].node, targets[t].node});
    } else {
      auto edge = graph.storage()->get_edge(id_of(head));
      if (edge) {
        edges.push_back({edge->source, edge->target});
      } else if (edge.error().kind() != DbError::Kind::EdgeNotFound) {
        return std::unexpected(std::move(edge.error()));
      }
    }
    s = s_end;
    t = t_end;
  }
  return edges;
}

}  // namespace

GraphView GraphView::whole_graph(const Graph& graph) { return GraphView(graph, std::nullopt); }

GraphView GraphView::for_nodes(const Graph& graph, std::unordered_set<Uuid> ids) {
  return GraphView(graph, std::move(ids));
}

DbResult<std::vector<Uuid>> GraphView::nodes() const {
  if (!ids_) {
    if (graph_->labels().loaded()) {
      // Every current node is listed under its label: no record is read.
      auto all = graph_->labels().all_ids();
      ZLOG(Debug, kTarget, "Listed {} nodes of the whole graph", all.size());
      return all;
    }
    // The label map could not be built: read the current node records,
    // "node:{id}" without the version keys, whose failure is then ours.
    auto all = parallel_scan<Uuid>(graph_->storage()->db().default_tree(), storage::keys::kNodePrefix,
                                   is_current_node_key, node_id_of);
    if (all) ZLOG(Debug, kTarget, "Read {} nodes of the whole graph", all->size());
    return all;
  }
  std::vector<Uuid> out;
  out.reserve(ids_->size());
  for (const Uuid& id : *ids_) {
    if (graph_->storage()->get_node(id)) out.push_back(id);
  }
  ZLOG(Debug, kTarget, "Read {} of {} nodes of a node set", out.size(), ids_->size());
  return out;
}

DbResult<std::vector<algorithms::EdgeEnds>> GraphView::edges() const {
  if (!ids_) return listed_edges(*graph_);
  std::vector<algorithms::EdgeEnds> out;
  for (const Uuid& id : *ids_) {
    auto listed = graph_->get_outgoing_edges(id);
    if (!listed) continue;
    for (const Edge& e : *listed) {
      if (ids_->count(e.target)) out.push_back({e.source, e.target});
    }
  }
  return out;
}

DbResult<std::vector<Uuid>> get_neighbors(const Graph& graph, const Uuid& node, Direction direction) {
  std::vector<Uuid> outgoing, incoming;
  auto copy_list = [&](const AdjacencyLock& adjacency, std::vector<Uuid>& into) {
    auto it = adjacency.map.find(node);
    if (it != adjacency.map.end()) into = it->second;
  };
  if (direction == Direction::Incoming) {
    std::shared_lock in(graph.incoming_adjacency().mu);
    copy_list(graph.incoming_adjacency(), incoming);
  } else {
    std::shared_lock out(graph.outgoing_adjacency().mu);
    copy_list(graph.outgoing_adjacency(), outgoing);
    if (direction == Direction::Both) {
      std::shared_lock in(graph.incoming_adjacency().mu);
      copy_list(graph.incoming_adjacency(), incoming);
    }
  }
  std::vector<Uuid> ends;
  ends.reserve(outgoing.size() + incoming.size());
  for (const auto* list : {&outgoing, &incoming}) {
    for (const Uuid& edge_id : *list) {
      auto edge = graph.storage()->get_edge(edge_id);
      // A commit lists its edges in memory just before its store batch
      // lands: an edge listed without a record is not in the graph (yet).
      if (!edge && edge.error().kind() == DbError::Kind::EdgeNotFound) continue;
      if (!edge) return std::unexpected(std::move(edge.error()));
      const bool from_node =
          direction == Direction::Outgoing || (direction == Direction::Both && edge->source == node);
      ends.push_back(from_node ? edge->target : edge->source);
    }
  }
  return ends;
}

uint64_t change_counter(const Graph& graph) { return graph.graph_version().load(std::memory_order_acquire); }

std::weak_ptr<const void> graph_identity(const Graph& graph) { return graph.storage(); }

}  // namespace zudizid::graph
