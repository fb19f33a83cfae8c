#include "graph/vector/model_dimensions.h"

#include <fmt/format.h>

#include "storage/storage.h"
#include "storage/storage_keys.h"
#include "storage/versioned.h"

namespace zudizid::graph {

namespace {

std::string slot_key(ModelDimensions::Space space, std::string_view model) {
  std::string key(1, static_cast<char>(space));
  key.append(model);
  return key;
}

// Where `model` lies in a key of the "embeddings" tree: after the node id
// ("{node}:{model}") or after "e:" and the edge id ("e:{edge}:{model}").
std::pair<ModelDimensions::Space, std::string_view> embedding_key_model(std::string_view key) {
  if (key.starts_with("e:")) {
    size_t colon = key.find(':', 2);
    return {ModelDimensions::Space::Edge, colon == std::string_view::npos ? std::string_view() : key.substr(colon + 1)};
  }
  size_t colon = key.find(':');
  return {ModelDimensions::Space::Node, colon == std::string_view::npos ? std::string_view() : key.substr(colon + 1)};
}

}  // namespace

DbResult<void> ModelDimensions::load(const storage::Storage& storage) {
  if (loaded_) return {};
  std::unordered_map<std::string, size_t> found;
  auto embeddings = storage.db().open_tree(storage::keys::kEmbeddingsTree);
  if (!embeddings) return std::unexpected(DbError(embeddings.error()));
  auto it = embeddings->iter();
  while (auto next = it.next()) {
    if (!*next) return std::unexpected(DbError((*next).error()));
    const auto& [key, value] = **next;
    auto [space, model] = embedding_key_model(key.view());
    std::string slot = slot_key(space, model);
    if (found.contains(slot)) continue;
    // Node and edge embeddings share one record layout.
    auto record = Embedding::from_msgpack(value.bytes());
    if (!record) continue;  // an undecodable record sets nothing; searches report it
    found.emplace(std::move(slot), record->vector.size());
  }
  auto references = storage.db().open_tree(storage::keys::kPathRefEmbeddingsTree);
  if (!references) return std::unexpected(DbError(references.error()));
  auto refs = references->iter();
  while (auto next = refs.next()) {
    if (!*next) return std::unexpected(DbError((*next).error()));
    auto record = PathReferenceEmbedding::from_msgpack((**next).second.bytes());
    if (!record) continue;
    std::string pair = record->node_model + '\0' + record->edge_model;
    found.try_emplace(slot_key(Space::PathReference, pair), record->vector.size());
  }
  lengths_ = std::move(found);
  loaded_ = true;
  return {};
}

LengthRefusal ModelDimensions::refusal(Space space, std::string_view model, size_t length) const {
  auto it = lengths_.find(slot_key(space, model));
  if (it == lengths_.end() || it->second == length) return std::nullopt;
  switch (space) {
    case Space::Node:
      return fmt::format("embedding vector has length {}, but model '{}' holds node vectors of length {}", length,
                         model, it->second);
    case Space::Edge:
      return fmt::format("embedding vector has length {}, but model '{}' holds edge vectors of length {}", length,
                         model, it->second);
    case Space::PathReference: {
      size_t nul = model.find('\0');
      return fmt::format(
          "path reference vector has length {}, but the references of node_model '{}' and edge_model '{}' have "
          "length {}",
          length, model.substr(0, nul), model.substr(nul + 1), it->second);
    }
  }
  return std::nullopt;
}

DbResult<LengthRefusal> ModelDimensions::check(const storage::Storage& storage, Space space, std::string_view model,
                                               size_t length) {
  std::lock_guard lock(mu_);
  if (auto loaded = load(storage); !loaded) return std::unexpected(std::move(loaded.error()));
  return refusal(space, model, length);
}

DbResult<LengthRefusal> ModelDimensions::store_checked(const storage::Storage& storage, Space space,
                                                       std::string_view model, size_t length,
                                                       const std::function<DbResult<void>()>& store) {
  std::lock_guard lock(mu_);
  if (auto loaded = load(storage); !loaded) return std::unexpected(std::move(loaded.error()));
  if (auto refused = refusal(space, model, length)) return refused;
  if (auto stored = store(); !stored) return std::unexpected(std::move(stored.error()));
  lengths_.try_emplace(slot_key(space, model), length);
  return LengthRefusal{};
}

}  // namespace zudizid::graph
