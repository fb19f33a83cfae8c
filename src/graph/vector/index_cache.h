// The per-model cache of embedding indexes: the handle's `embedding_indexes`
// member, shared by every copy of the handle and never persisted.
//
// A search of a model reuses the cached index until a node embedding of that
// model is stored; the store invalidates the model's entry and the next
// request builds a new index. Builds run without any lock of the cache, so
// several requesters that miss at once each build their own index and each
// returns what it built.
//
// Each model has a generation, raised by every invalidation. A build notes
// the generation before it reads storage and inserts its index only while
// that generation is still current: an index read before a store can never
// replace or outlive the store's invalidation. Its requester still gets it.
#pragma once

#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "graph/vector/hnsw_index.h"
#include "graph/vector/model_dimensions.h"

namespace zudizid::graph {

class EmbeddingIndexCache {
 public:
  // The cached index of `model`, if any.
  std::shared_ptr<const HnswIndex> lookup(std::string_view model) const;
  // The generation to hand to `install` for a build that starts now.
  uint64_t generation(std::string_view model) const;
  // Inserts `index` for `model`, replacing any entry, unless the model was
  // invalidated after `generation` was taken. True when inserted.
  bool install(std::string_view model, uint64_t generation, std::shared_ptr<const HnswIndex> index);
  // Removes the model's entry and makes every build begun before now stale.
  void invalidate(std::string_view model);

  size_t size() const;

  // The vector length of each model (kept with the cache: both are the
  // per-model state of the open database, shared by every handle copy).
  ModelDimensions& dimensions() const { return dimensions_; }

 private:
  struct Slot {
    std::shared_ptr<const HnswIndex> index;  // null when absent
    uint64_t generation = 0;
  };
  const Slot* find(std::string_view model) const;

  mutable std::shared_mutex mu_;
  std::unordered_map<std::string, Slot> slots_;  // guarded by mu_
  mutable ModelDimensions dimensions_;
};

// The model's cached index, building and caching it on a miss (the build's
// error is returned unchanged and nothing is cached).
DbResult<std::shared_ptr<const HnswIndex>> embedding_index_for_model(const Graph& graph, std::string_view model);

}  // namespace zudizid::graph
