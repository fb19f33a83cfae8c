#include "graph/adjacency_load.h"

#include "common/log.h"
#include "storage/storage_lists.h"

namespace zudizid::graph {

DbResult<storage::Adjacency> load_stored_adjacency(const storage::Storage& storage) {
  storage::Adjacency out;
  kelm::Iter it = storage.db().default_tree().range(
      kelm::Bound::included(kelm::IVec::from_slice(std::string_view("idx:"))),
      kelm::Bound::excluded(kelm::IVec::from_slice(std::string_view("idx;"))));
  while (auto item = it.next()) {
    if (!*item) return std::unexpected(DbError((*item).error()));
    const auto& [key, value] = **item;
    std::string_view k = key.view();
    storage::AdjacencyMap* target = nullptr;
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
    auto ids = records::decode_id_list(value.bytes());
    if (!ids) return std::unexpected(std::move(ids.error()));
    (*target)[*node] = std::move(*ids);
  }
  return out;
}

DbResult<storage::Adjacency> load_adjacency_at_open(const storage::Storage& storage) {
  auto stored = load_stored_adjacency(storage);
  if (!stored) return stored;
  if (!stored->outgoing.empty() || !stored->incoming.empty()) {
    ZLOG(Info, "zudizid::graph", "Loaded {} outgoing and {} incoming adjacency entries", stored->outgoing.size(),
         stored->incoming.size());
    return stored;
  }
  ZLOG(Info, "zudizid::graph", "No indices found, rebuilding from edges...");
  return storage.load_adjacency();
}

}  // namespace zudizid::graph
