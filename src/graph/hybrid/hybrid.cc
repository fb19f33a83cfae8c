#include "graph/hybrid/hybrid.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <unordered_map>
#include <unordered_set>

#include "graph/vector/index_cache.h"
#include "graph/vector/live_search.h"
#include "index/fulltext_index.h"
#include "index/index_manager.h"

namespace zudizid::graph::hybrid {

namespace {

struct UuidHash {
  size_t operator()(const Uuid& id) const {
    uint64_t a;
    std::memcpy(&a, id.bytes().data(), 8);
    return std::hash<uint64_t>{}(a);
  }
};
using IdSet = std::unordered_set<Uuid, UuidHash>;

// IEEE-754 total order key: larger key, larger value (NaN by its sign).
int32_t total_order_key(float f) {
  int32_t bits = std::bit_cast<int32_t>(f);
  return bits ^ static_cast<int32_t>(static_cast<uint32_t>(bits >> 31) >> 1);
}

DbResult<std::optional<IdSet>> filter_set(Graph& g, const std::optional<HybridFilter>& filter) {
  if (!filter || (!filter->label && filter->props.empty())) return std::optional<IdSet>();
  std::optional<IdSet> set;
  auto intersect = [&](IdSet next) {
    if (!set) {
      set = std::move(next);
      return;
    }
    const IdSet& small = set->size() <= next.size() ? *set : next;
    const IdSet& large = set->size() <= next.size() ? next : *set;
    IdSet kept;
    for (const Uuid& id : small) {
      if (large.contains(id)) kept.insert(id);
    }
    set = std::move(kept);
  };
  if (filter->label) {
    auto nodes = g.get_nodes_by_label(*filter->label);
    if (!nodes) return std::unexpected(std::move(nodes.error()));
    IdSet ids;
    for (const auto& n : *nodes) ids.insert(n.id);
    intersect(std::move(ids));
  }
  for (const auto& [name, value] : filter->props) {
    auto ids = g.lookup_property_index(name, value);
    if (!ids) return std::unexpected(std::move(ids.error()));
    intersect(IdSet(ids->begin(), ids->end()));
  }
  return set;
}

DbResult<std::string> text_index_name(const Graph& g, const HybridRequest& r) {
  if (r.text_index) return *r.text_index;
  std::optional<std::string> first;
  for (const auto& meta : g.index_manager()->list()) {
    if (meta.index_type != index::IndexType::FullText) continue;
    if (!first) first = meta.name;
    if (r.filter && r.filter->label && meta.label == *r.filter->label) return meta.name;
  }
  if (!first) {
    return std::unexpected(DbError::index(
        "search_hybrid: no full-text index exists — create one with `create index on <Label>(<property>) type "
        "fulltext`"));
  }
  return *first;
}

// Walks the index's hits in BM25 order, asking for only as many as the
// budget takes (more while hits are skipped, never over the index's cap).
DbResult<std::vector<std::pair<Uuid, uint64_t>>> text_ranks(Graph& g, const std::string& name, const std::string& text,
                                                            const std::optional<IdSet>& filter, uint64_t fetch) {
  std::vector<std::pair<Uuid, uint64_t>> ranks;
  constexpr size_t kCap = index::FullTextIndex::kMaxHits;
  size_t limit = static_cast<size_t>(std::min<uint64_t>(std::max<uint64_t>(fetch, 1), kCap));
  IdSet ranked;
  uint64_t used = 0;
  size_t walked = 0;
  for (;;) {
    auto hits = g.index_manager()->search_text(name, text, limit);
    if (!hits) return std::unexpected(std::move(hits.error()));
    for (; walked < hits->size() && used < fetch; ++walked) {
      const Uuid& id = (*hits)[walked];
      if (filter && !filter->contains(id)) continue;
      auto alive = g.storage()->node_exists(id);
      if (!alive) return std::unexpected(std::move(alive.error()));
      if (!*alive) continue;
      ++used;
      if (ranked.insert(id).second) ranks.emplace_back(id, ranks.size());
    }
    // A short answer means the index has no more hits.
    if (used >= fetch || hits->size() < limit || limit >= kCap) return ranks;
    limit = std::min(limit * 2, kCap);
  }
}

}  // namespace

std::vector<HybridHit> fuse(const std::vector<std::pair<Uuid, uint64_t>>& text_ranks,
                            const std::vector<std::pair<Uuid, uint64_t>>& vector_ranks, float rrf_k, uint64_t k) {
  std::unordered_map<Uuid, HybridHit, UuidHash> by_node;
  for (const auto& [id, rank] : text_ranks) {
    auto& h = by_node[id];
    h.node_id = id;
    h.text_rank = rank;
  }
  for (const auto& [id, rank] : vector_ranks) {
    auto& h = by_node[id];
    h.node_id = id;
    h.vector_rank = rank;
  }
  std::vector<HybridHit> hits;
  hits.reserve(by_node.size());
  for (auto& [id, h] : by_node) {
    float s = 0.0f;
    if (h.text_rank) s = s + 1.0f / (rrf_k + static_cast<float>(*h.text_rank));
    if (h.vector_rank) s = s + 1.0f / (rrf_k + static_cast<float>(*h.vector_rank));
    h.score = s;
    hits.push_back(h);
  }
  std::sort(hits.begin(), hits.end(), [](const HybridHit& a, const HybridHit& b) {
    int32_t ka = total_order_key(a.score), kb = total_order_key(b.score);
    if (ka != kb) return ka > kb;
    return a.node_id < b.node_id;
  });
  if (hits.size() > k) hits.resize(static_cast<size_t>(k));
  return hits;
}

DbResult<std::vector<HybridHit>> search_hybrid(Graph& g, const HybridRequest& r) {
  if (!r.text && !r.vector) {
    return std::unexpected(DbError::message("search_hybrid: provide at least one of `text` or `vector`"));
  }
  const uint64_t product = r.candidate_multiplier != 0 && r.k > std::numeric_limits<uint64_t>::max() / r.candidate_multiplier
                               ? std::numeric_limits<uint64_t>::max()
                               : r.k * r.candidate_multiplier;
  const uint64_t fetch = std::max(r.k, product);
  auto filter = filter_set(g, r.filter);
  if (!filter) return std::unexpected(std::move(filter.error()));

  std::vector<std::pair<Uuid, uint64_t>> by_text, by_vector;
  if (r.text) {
    auto name = text_index_name(g, r);
    if (!name) return std::unexpected(std::move(name.error()));
    const bool nothing_qualifies = (*filter && (*filter)->empty()) || fetch == 0;
    if (nothing_qualifies) {
      // The query still runs, so that its own errors are reported.
      auto probe = g.index_manager()->search_text(*name, *r.text, 1);
      if (!probe) return std::unexpected(std::move(probe.error()));
    } else {
      auto ranks = text_ranks(g, *name, *r.text, *filter, fetch);
      if (!ranks) return std::unexpected(std::move(ranks.error()));
      by_text = std::move(*ranks);
    }
  }
  if (r.vector) {
    const auto& [query, model] = *r.vector;
    auto index = embedding_index_for_model(g, model);
    if (!index) return std::unexpected(std::move(index.error()));
    const uint64_t wanted = *filter ? (fetch > UINT64_MAX / 4 ? UINT64_MAX : fetch * 4) : fetch;
    auto hits = search_live_nodes(g, **index, query, wanted, r.ef.value_or(kDefaultSearchEf));
    if (!hits) return std::unexpected(std::move(hits.error()));
    IdSet ranked;
    for (const auto& [id, distance] : *hits) {
      if (by_vector.size() >= fetch) break;
      if (*filter && !(*filter)->contains(id)) continue;
      if (ranked.insert(id).second) by_vector.emplace_back(id, by_vector.size());
    }
  }
  return fuse(by_text, by_vector, r.rrf_k, r.k);
}

}  // namespace zudizid::graph::hybrid
