// The one place the algorithm layer reads graph::Graph.
#include "graph/view/graph_view.h"

#include <mutex>
#include <shared_mutex>

#include "algorithms/parallel.h"
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

// As scan() over the keys of `tree` beginning with `prefix`, in key order,
// read as sixteen ranges in parallel: ids are lower-case hex text, so the
// ranges cut the keys after the prefix at "1", "2", ..., "9", "a", ..., "f"
// (keys of any other form still fall into one of them).
template <class T, class Keep, class Decode>
DbResult<std::vector<T>> parallel_scan(const kelm::Tree& tree, std::string_view prefix, Keep keep, Decode decode) {
  constexpr std::string_view kCuts = "123456789abcdef";
  constexpr size_t kRanges = kCuts.size() + 1;
  auto at = [&](size_t cut) { return kelm::IVec::from_slice(std::string(prefix) + kCuts[cut]); };
  std::string end(prefix);
  const bool bounded = !end.empty();
  if (bounded) ++end.back();  // just past every key with the prefix
  std::vector<DbResult<std::vector<T>>> parts(kRanges, std::vector<T>{});
  algorithms::for_each_block(kRanges, [&](size_t r) {
    kelm::Bound lo =
        r == 0 ? (prefix.empty() ? kelm::Bound::unbounded() : kelm::Bound::included(kelm::IVec::from_slice(prefix)))
               : kelm::Bound::included(at(r - 1));
    kelm::Bound hi = r + 1 < kRanges
                         ? kelm::Bound::excluded(at(r))
                         : (bounded ? kelm::Bound::excluded(kelm::IVec::from_slice(end)) : kelm::Bound::unbounded());
    parts[r] = scan<T>(tree.range(std::move(lo), std::move(hi)), keep, decode);
  });
  std::vector<T> out;
  size_t total = 0;
  for (auto& part : parts) {
    if (!part) return std::unexpected(std::move(part.error()));
    total += part->size();
  }
  out.reserve(total);
  for (auto& part : parts) out.insert(out.end(), part->begin(), part->end());
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
    auto all = parallel_scan<Uuid>(
        graph_->storage()->db().default_tree(), storage::keys::kNodePrefix,
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
    return parallel_scan<algorithms::EdgeEnds>(
        *tree, "", [](std::string_view) { return true; }, edge_ends_of);
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
