// PathEnv: what one path query reads beyond its paths, read once per query.
//
// Node and edge embeddings, path reference lists and the class hierarchy are
// read the first time a path asks for them and kept (errors included) until
// the query ends, so every path of the query sees the same data and a value
// read for one path is not read again for the next. The parsed path_eval
// texts live here too: parsed once, before the first path.
//
// One PathEnv belongs to one query on one thread; nothing in it is locked.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "graph/graph.h"
#include "index/taxonomy.h"
#include "query/zql/parser/ast_expr.h"
#include "storage/versioned.h"

namespace zudizid::query::zql::executor {

class PathEnv {
 public:
  explicit PathEnv(graph::Graph graph) : graph_(std::move(graph)) {}

  const graph::Graph& graph() const { return graph_; }

  // The stored vector, or the engine's not-found (or storage) error.
  DbResult<const std::vector<float>*> node_embedding(const Uuid& node, std::string_view model);
  DbResult<const std::vector<float>*> edge_embedding(const Uuid& edge, std::string_view model);
  DbResult<bool> has_node_embedding(const Uuid& node, std::string_view model);
  DbResult<bool> has_edge_embedding(const Uuid& edge, std::string_view model);
  // Every reference of (node_model, edge_model), in ascending name order.
  DbResult<const std::vector<PathReferenceEmbedding>*> references(std::string_view node_model,
                                                                  std::string_view edge_model);
  // The one reference `name`, or the engine's not-found error.
  DbResult<const PathReferenceEmbedding*> reference(std::string_view name, std::string_view node_model,
                                                    std::string_view edge_model);

  // The graph's class hierarchy as of the first call, or null when the
  // index registry has none (or was being written at that moment).
  const taxonomy::TaxonomyIndex* taxonomy();

  // path_eval texts: parse once (a parse error is returned, and again for
  // every later call with that text), then look up.
  DbResult<const ast::Expr*> path_eval_program(const std::string& text);

 private:
  using Key = std::pair<Uuid, std::string>;
  using ModelPair = std::pair<std::string, std::string>;

  graph::Graph graph_;
  std::map<Key, DbResult<std::vector<float>>> node_vectors_;
  std::map<Key, DbResult<std::vector<float>>> edge_vectors_;
  std::map<Key, DbResult<bool>> node_has_;
  std::map<Key, DbResult<bool>> edge_has_;
  std::map<ModelPair, DbResult<std::vector<PathReferenceEmbedding>>> references_;
  std::map<std::tuple<std::string, std::string, std::string>, DbResult<PathReferenceEmbedding>> named_references_;
  std::optional<std::shared_ptr<const taxonomy::TaxonomyIndex>> taxonomy_;
  std::map<std::string, DbResult<ast::Expr>, std::less<>> programs_;
};

}  // namespace zudizid::query::zql::executor
