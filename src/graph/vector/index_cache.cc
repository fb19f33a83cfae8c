#include "graph/vector/index_cache.h"

#include <mutex>

#include "graph/graph.h"

namespace zudizid::graph {

const EmbeddingIndexCache::Slot* EmbeddingIndexCache::find(std::string_view model) const {
  auto it = slots_.find(std::string(model));
  return it == slots_.end() ? nullptr : &it->second;
}

std::shared_ptr<const HnswIndex> EmbeddingIndexCache::lookup(std::string_view model) const {
  std::shared_lock lock(mu_);
  const Slot* s = find(model);
  return s ? s->index : nullptr;
}

uint64_t EmbeddingIndexCache::generation(std::string_view model) const {
  std::shared_lock lock(mu_);
  const Slot* s = find(model);
  return s ? s->generation : 0;
}

bool EmbeddingIndexCache::install(std::string_view model, uint64_t generation, std::shared_ptr<const HnswIndex> index) {
  std::shared_ptr<const HnswIndex> replaced;  // released after the lock
  std::unique_lock lock(mu_);
  Slot& s = slots_[std::string(model)];
  if (s.generation != generation) return false;
  replaced = std::move(s.index);
  s.index = std::move(index);
  return true;
}

void EmbeddingIndexCache::invalidate(std::string_view model) {
  std::shared_ptr<const HnswIndex> dropped;  // released after the lock
  std::unique_lock lock(mu_);
  Slot& s = slots_[std::string(model)];
  dropped = std::move(s.index);
  ++s.generation;
}

size_t EmbeddingIndexCache::size() const {
  std::shared_lock lock(mu_);
  size_t n = 0;
  for (const auto& [model, slot] : slots_) n += slot.index != nullptr;
  return n;
}

DbResult<std::shared_ptr<const HnswIndex>> embedding_index_for_model(const Graph& graph, std::string_view model) {
  EmbeddingIndexCache& cache = graph.embedding_indexes();
  if (auto hit = cache.lookup(model)) return hit;
  uint64_t generation = cache.generation(model);
  auto built = build_embedding_index(graph, model);
  if (!built) return std::unexpected(std::move(built.error()));
  std::shared_ptr<const HnswIndex> index = std::move(*built);
  cache.install(model, generation, index);
  return index;
}

}  // namespace zudizid::graph
