#include "graph/vector/hnsw_index.h"

#include <fmt/format.h>

#include <exception>
#include <memory>

#include "common/log.h"
#include "common/oneshot.h"
#include "common/runtime.h"
#include "common/utf8.h"
#include "graph/graph.h"
#include "storage/storage_keys.h"
#include "storage/versioned.h"

namespace zudizid::graph {

namespace {

constexpr const char* kTarget = "zudizid::graph";

DbError message(std::string text) { return DbError(DbError::Kind::Message, std::move(text)); }

// The stored (node id, vector) pairs of `model`, in key order.
DbResult<std::vector<HnswIndex::Pair>> scan_model(const storage::Storage& storage, std::string_view model) {
  auto tree = storage.db().open_tree(storage::keys::kEmbeddingsTree);
  if (!tree) return std::unexpected(DbError(tree.error()));
  std::vector<HnswIndex::Pair> pairs;
  auto it = tree->iter();
  while (auto next = it.next()) {
    if (!*next) return std::unexpected(DbError((*next).error()));
    const auto& [key, value] = **next;
    std::string_view text = key.view();
    if (auto bad = common::validate_utf8(text)) return std::unexpected(message(bad->message()));
    if (text.starts_with("e:")) continue;
    size_t colon = text.find(':');
    if (colon == std::string_view::npos || text.substr(colon + 1) != model) continue;
    auto e = Embedding::from_msgpack(value.bytes());
    if (!e) return std::unexpected(std::move(e.error()));
    pairs.emplace_back(e->node_id, std::move(e->vector));
  }
  return pairs;
}

}  // namespace

DbResult<std::unique_ptr<HnswIndex>> HnswIndex::build_batch(std::string model, size_t dimension,
                                                            std::vector<Pair> pairs) {
  for (const auto& [node, v] : pairs) {
    if (v.size() != dimension) {
      return std::unexpected(message(fmt::format("HnswIndex::build_batch: node {} has dimension {}, expected {}",
                                                 node.to_string(), v.size(), dimension)));
    }
  }
  // The cosine distance is defined only on finite vectors whose squares stay
  // finite; one such vector would poison every comparison with it.
  for (const auto& [node, v] : pairs) {
    if (auto bad = vantor::dist::DistCosine::check(v)) {
      return std::unexpected(
          message(fmt::format("HnswIndex::build_batch: node {} has an unusable vector: {}", node.to_string(), *bad)));
    }
  }
  auto created = vantor::HnswCosine::create(kIndexMaxNbConnection, pairs.size(), kIndexLayers, kIndexEfConstruction);
  if (!created) return std::unexpected(message(created.error().message));
  std::unique_ptr<vantor::HnswCosine> hnsw = std::move(*created);

  std::vector<common::Uuid> id_to_node;
  id_to_node.reserve(pairs.size());
  for (const auto& p : pairs) id_to_node.push_back(p.first);

  vantor::Result<void> inserted;
  if (pairs.size() < kParallelBuildThreshold) {
    for (size_t i = 0; i < pairs.size() && inserted; ++i) inserted = hnsw->insert(pairs[i].second, i);
  } else {
    std::vector<vantor::HnswCosine::InsertItem> items;
    items.reserve(pairs.size());
    for (size_t i = 0; i < pairs.size(); ++i) items.emplace_back(pairs[i].second, i);
    inserted = hnsw->parallel_insert(items);
  }
  if (!inserted) return std::unexpected(message(inserted.error().message));
  ZLOG(Debug, kTarget, "built HnswIndex for model '{}': {} vectors of dimension {}", model, pairs.size(), dimension);
  return std::unique_ptr<HnswIndex>(new HnswIndex(std::move(model), dimension, std::move(hnsw), std::move(id_to_node)));
}

DbResult<std::vector<HnswIndex::Hit>> HnswIndex::search(std::span<const float> query, uint64_t k, uint64_t ef) const {
  if (query.size() != dimension_) {
    return std::unexpected(message(
        fmt::format("HnswIndex({}): query dimension {} != index dimension {}", model_, query.size(), dimension_)));
  }
  std::vector<Hit> out;
  if (id_to_node_.empty() || !hnsw_->entry_index()) return out;
  auto hits = hnsw_->search(query, k, std::max(ef, k));
  if (!hits) return std::unexpected(message(fmt::format("HnswIndex({}): {}", model_, hits.error().message)));
  out.reserve(hits->size());
  for (const auto& h : *hits) {
    if (h.d_id < id_to_node_.size()) out.emplace_back(id_to_node_[h.d_id], h.distance);
  }
  return out;
}

DbResult<std::unique_ptr<HnswIndex>> build_embedding_index(const Graph& graph, std::string_view model) {
  auto pairs = scan_model(*graph.storage(), model);
  if (!pairs) return std::unexpected(std::move(pairs.error()));
  if (pairs->empty()) {
    return std::unexpected(message(fmt::format("build_embedding_index: no embeddings found for model '{}'", model)));
  }
  size_t dimension = pairs->front().second.size();

  // The build runs as one task of the blocking pool; this thread waits.
  using Reply = DbResult<std::unique_ptr<HnswIndex>>;
  auto [tx, rx] = common::OneShot<Reply>::make();
  auto task = std::make_shared<std::tuple<common::OneShot<Reply>::Sender, std::string, std::vector<HnswIndex::Pair>>>(
      std::move(tx), std::string(model), std::move(*pairs));
  auto failure_slot = std::make_shared<std::string>();
  common::Runtime::get().spawn_blocking([task, failure_slot, dimension] {
    auto& [sender, name, batch] = *task;
    try {
      sender.send(HnswIndex::build_batch(std::move(name), dimension, std::move(batch)));
    } catch (const std::exception& e) {
      *failure_slot = fmt::format("task panicked: {}", e.what());
    } catch (...) {
      *failure_slot = "task panicked";
    }
    // Whatever happened, the sender goes now, so the waiter never hangs.
    sender = common::OneShot<Reply>::Sender();
  });
  std::optional<Reply> reply = rx.wait();
  if (!reply) {
    std::string why = failure_slot->empty() ? "task was cancelled" : *failure_slot;
    return std::unexpected(message(fmt::format("build_embedding_index join error: {}", why)));
  }
  return std::move(*reply);
}

}  // namespace zudizid::graph
