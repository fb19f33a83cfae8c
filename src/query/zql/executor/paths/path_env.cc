#include "query/zql/executor/paths/path_env.h"

#include "graph/embeddings.h"
#include "query/zql/parser/vm_parser.h"

namespace zudizid::query::zql::executor {

namespace {

// The cached entry for `key`, read by `read` the first time.
template <class Map, class K, class Read>
auto& cached(Map& map, K&& key, Read&& read) {
  auto it = map.find(key);
  if (it == map.end()) it = map.emplace(std::forward<K>(key), read()).first;
  return it->second;
}

template <class T>
DbResult<const T*> pointer_to(const DbResult<T>& entry) {
  if (!entry) return std::unexpected(entry.error());
  return &*entry;
}

}  // namespace

DbResult<const std::vector<float>*> PathEnv::node_embedding(const Uuid& node, std::string_view model) {
  auto& entry = cached(node_vectors_, Key{node, std::string(model)}, [&]() -> DbResult<std::vector<float>> {
    auto read = graph::get_node_embedding(graph_, node, model);
    if (!read) return std::unexpected(std::move(read.error()));
    return std::move(read->vector);
  });
  return pointer_to(entry);
}

DbResult<const std::vector<float>*> PathEnv::edge_embedding(const Uuid& edge, std::string_view model) {
  auto& entry = cached(edge_vectors_, Key{edge, std::string(model)}, [&]() -> DbResult<std::vector<float>> {
    auto read = graph::get_edge_embedding(*graph_.storage(), edge, model);
    if (!read) return std::unexpected(std::move(read.error()));
    return std::move(read->vector);
  });
  return pointer_to(entry);
}

DbResult<bool> PathEnv::has_node_embedding(const Uuid& node, std::string_view model) {
  return cached(node_has_, Key{node, std::string(model)},
                [&] { return graph::has_node_embedding(*graph_.storage(), node, model); });
}

DbResult<bool> PathEnv::has_edge_embedding(const Uuid& edge, std::string_view model) {
  return cached(edge_has_, Key{edge, std::string(model)},
                [&] { return graph::has_edge_embedding(*graph_.storage(), edge, model); });
}

DbResult<const std::vector<PathReferenceEmbedding>*> PathEnv::references(std::string_view node_model,
                                                                         std::string_view edge_model) {
  auto& entry = cached(references_, ModelPair{node_model, edge_model}, [&] {
    return graph::scan_path_reference_embeddings(*graph_.storage(), node_model, edge_model);
  });
  return pointer_to(entry);
}

DbResult<const PathReferenceEmbedding*> PathEnv::reference(std::string_view name, std::string_view node_model,
                                                           std::string_view edge_model) {
  auto& entry = cached(named_references_, std::tuple{std::string(name), std::string(node_model), std::string(edge_model)},
                       [&] { return graph::get_path_reference_embedding(*graph_.storage(), name, node_model, edge_model); });
  return pointer_to(entry);
}

const taxonomy::TaxonomyIndex* PathEnv::taxonomy() {
  if (!taxonomy_) {
    const index::IndexManager* indexes = graph_.index_manager();
    taxonomy_ = indexes != nullptr ? indexes->get_taxonomy() : nullptr;
  }
  return taxonomy_->get();
}

DbResult<const ast::Expr*> PathEnv::path_eval_program(const std::string& text) {
  auto it = programs_.find(text);
  if (it == programs_.end()) it = programs_.emplace(text, parser::parse_vm_expression(text)).first;
  return pointer_to(it->second);
}

}  // namespace zudizid::query::zql::executor
