#include "graph/adjacency_load.h"

#include "common/log.h"
#include "common/msgpack.h"
#include "storage/node.h"

namespace zudizid::graph {

namespace {

DbError serialization(std::string text) { return DbError(DbError::Kind::Serialization, std::move(text)); }

}  // namespace

DbResult<StoredAdjacency> load_stored_adjacency(const kelm::Db& db) {
  StoredAdjacency out;
  kelm::Iter it = db.default_tree().range(kelm::Bound::included(kelm::IVec::from_slice(std::string_view("idx:"))),
                                          kelm::Bound::excluded(kelm::IVec::from_slice(std::string_view("idx;"))));
  while (auto item = it.next()) {
    if (!*item) return std::unexpected(DbError((*item).error()));
    const auto& [key, value] = **item;
    std::string_view k = key.view();
    AdjacencyMap* target = nullptr;
    if (k.starts_with("idx:out:")) {
      k.remove_prefix(8);
      target = &out.outgoing;
    } else if (k.starts_with("idx:in:")) {
      k.remove_prefix(7);
      target = &out.incoming;
    } else {
      continue;
    }
    auto node = Uuid::parse(k);
    if (!node) continue;
    auto ids = decode_adjacency_list(value.bytes());
    if (!ids) return std::unexpected(serialization(ids.error()));
    (*target)[*node] = std::move(*ids);
  }
  return out;
}

DbResult<StoredAdjacency> adjacency_from_edges(const kelm::Db& db) {
  StoredAdjacency out;
  auto tree = db.open_tree("edges");
  if (!tree) return std::unexpected(DbError(tree.error()));
  kelm::Iter it = tree->iter();
  while (auto item = it.next()) {
    if (!*item) return std::unexpected(DbError((*item).error()));
    const kelm::IVec& value = (*item)->second;
    common::msgpack::Reader r(value.bytes());
    auto edge = Edge::from_msgpack(r);
    if (!edge) return std::unexpected(serialization(edge.error().message));
    out.outgoing[edge->source].push_back(edge->id);
    out.incoming[edge->target].push_back(edge->id);
  }
  return out;
}

DbResult<StoredAdjacency> load_adjacency_at_open(const kelm::Db& db) {
  auto stored = load_stored_adjacency(db);
  if (!stored) return stored;
  if (!stored->outgoing.empty() || !stored->incoming.empty()) {
    ZLOG(Info, "zudizid::graph", "Loaded {} outgoing and {} incoming adjacency entries", stored->outgoing.size(),
         stored->incoming.size());
    return stored;
  }
  ZLOG(Info, "zudizid::graph", "No indices found, rebuilding from edges...");
  return adjacency_from_edges(db);
}

}  // namespace zudizid::graph
