// The one place the algorithm layer reads graph::Graph.
#include "graph/view/graph_view.h"

#include <mutex>
#include <shared_mutex>

#include "common/log.h"
#include "graph/graph.h"
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

DbResult<algorithms::EdgeEnds> edge_ends_of(std::span<const uint8_t> record) {
  if (!record.empty() && record[0] == 0x95 && bin16_at(record, 1) && bin16_at(record, 19) && bin16_at(record, 37)) {
    return algorithms::EdgeEnds{uuid_at(record, 19), uuid_at(record, 37)};
  }
  common::msgpack::Reader reader(record);
  auto edge = Edge::from_msgpack(reader);
  if (!edge) return std::unexpected(DbError::msgpack_decode(edge.error().message));
  return algorithms::EdgeEnds{edge->source, edge->target};
}

// decode(value) of every entry of `it` whose key `keep` accepts, in order;
// the first failure ends the scan.
template <class T, class Keep, class Decode>
DbResult<std::vector<T>> scan(kelm::Iter it, Keep keep, Decode decode) {
  std::vector<T> out;
  while (auto next = it.next()) {
    if (!*next) return std::unexpected(DbError((*next).error()));
    const auto& [key, value] = **next;
    if (!keep(key.view())) continue;
    auto item = decode(value.bytes());
    if (!item) return std::unexpected(std::move(item.error()));
    out.push_back(*item);
  }
  return out;
}

}  // namespace

GraphView GraphView::whole_graph(const Graph& graph) { return GraphView(graph, std::nullopt); }

GraphView GraphView::for_nodes(const Graph& graph, std::unordered_set<Uuid> ids) {
  return GraphView(graph, std::move(ids));
}

DbResult<std::vector<Uuid>> GraphView::nodes() const {
  if (!ids_) {
    // The current node records: "node:{id}", without the version keys.
    auto all = scan<Uuid>(
        graph_->storage()->db().scan_prefix(storage::keys::kNodePrefix),
        [](std::string_view key) {
          return key.find(":v") == std::string_view::npos && key.find(":current") == std::string_view::npos;
        },
        node_id_of);
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
  if (!ids_) {
    auto tree = graph_->storage()->db().open_tree(storage::keys::kEdgesTree);
    if (!tree) return std::unexpected(DbError(tree.error()));
    return scan<algorithms::EdgeEnds>(tree->iter(), [](std::string_view) { return true; }, edge_ends_of);
  }
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
