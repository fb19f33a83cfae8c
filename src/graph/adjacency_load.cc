#include "graph/adjacency_load.h"

#include <algorithm>
#include <vector>

#include "common/log.h"
#include "storage/storage_keys.h"
#include "storage/write_set.h"
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

namespace {

// An order-independent fingerprint of a multiset of ids: their count and the
// sum of a strong mix of each.
struct Fingerprint {
  std::uint64_t count = 0;
  std::uint64_t sum = 0;
  void add(const Uuid& id) {
    std::uint64_t h = std::hash<Uuid>{}(id);
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    h ^= h >> 33;
    ++count;
    sum += h;
  }
  bool operator==(const Fingerprint&) const = default;
};

// Calls f(id) for every edge record key of the "edges" tree.
template <class F>
DbResult<void> for_each_edge_id(const storage::Storage& storage, F&& f) {
  // Opening an absent tree would create it: a database without one has no
  // edge records.
  const auto names = storage.db().tree_names();
  if (std::none_of(names.begin(), names.end(),
                   [](const kelm::IVec& n) { return n.view() == storage::keys::kEdgesTree; })) {
    return {};
  }
  auto tree = storage.db().open_tree(storage::keys::kEdgesTree);
  if (!tree) return std::unexpected(DbError(tree.error()));
  kelm::Iter it = tree->iter();
  while (auto item = it.next()) {
    if (!*item) return std::unexpected(DbError((*item).error()));
    if (auto id = Uuid::parse((**item).first.view())) f(*id);
  }
  return {};
}

std::vector<Uuid> sorted_listed(const storage::AdjacencyMap& map) {
  std::vector<Uuid> ids;
  for (const auto& [_, list] : map) ids.insert(ids.end(), list.begin(), list.end());
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
}

}  // namespace

DbResult<bool> stored_lists_cover_edges(const storage::Storage& storage, const storage::Adjacency& stored) {
  Fingerprint out, in, records;
  for (const auto& [_, list] : stored.outgoing)
    for (const Uuid& id : list) out.add(id);
  for (const auto& [_, list] : stored.incoming)
    for (const Uuid& id : list) in.add(id);
  if (auto r = for_each_edge_id(storage, [&](const Uuid& id) { records.add(id); }); !r) {
    return std::unexpected(std::move(r.error()));
  }
  if (out == records && in == records) return true;
  // Lists may legitimately name an id twice (an edge flushed twice): check
  // membership exactly.
  if (out.count < records.count || in.count < records.count) return false;
  const std::vector<Uuid> outs = sorted_listed(stored.outgoing), ins = sorted_listed(stored.incoming);
  bool covered = true;
  if (auto r = for_each_edge_id(storage, [&](const Uuid& id) {
        covered = covered && std::binary_search(outs.begin(), outs.end(), id) &&
                  std::binary_search(ins.begin(), ins.end(), id);
      });
      !r) {
    return std::unexpected(std::move(r.error()));
  }
  return covered;
}

DbResult<void> store_adjacency(const storage::Storage& storage, const storage::AdjacencyMap& outgoing,
                               const storage::AdjacencyMap& incoming) {
  storage::WriteSet w(storage.db());
  std::size_t staged = 0;
  auto put = [&](const storage::AdjacencyMap& map, bool out) -> DbResult<void> {
    for (const auto& [node, ids] : map) {
      if (auto r = out ? storage.put_out_adjacency(w, node, ids) : storage.put_in_adjacency(w, node, ids); !r) return r;
      if (++staged % kAdjacencyKeysPerBatch == 0) {
        if (auto r = w.apply(); !r) return r;
      }
    }
    return {};
  };
  if (auto r = put(outgoing, true); !r) return r;
  if (auto r = put(incoming, false); !r) return r;
  return w.apply();
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
