#include "query/zql/executor/paths/semantic_filters.h"

#include <algorithm>
#include <fmt/format.h>

#include "common/utf8.h"

namespace zudizid::query::zql::executor {

DbResult<bool> eval_semantic_path_filter(PathEnv& env, const PathBinding& path, std::string_view name,
                                         std::span<const ast::Expr> args) {
  if (args.size() != 1) {
    return std::unexpected(DbError::query_execution(
        fmt::format("{} requires exactly 1 string literal class name in Path Queries F4-D.1", name)));
  }
  const auto* lit = args[0].get_if<ast::Expr::Literal>();
  if (lit == nullptr || lit->value.kind() != PropertyValue::Kind::String) {
    return std::unexpected(
        DbError::query_execution(fmt::format("{} requires a string literal class name in Path Queries F4-D.1", name)));
  }
  const taxonomy::TaxonomyIndex* taxonomy = env.taxonomy();
  if (taxonomy == nullptr) return false;
  auto class_id = taxonomy->class_id_by_name(lit->value.as_string());
  if (!class_id) return false;

  // The caller checked the name: path_<which>_<predicate>.
  const std::string lowered = common::ascii_lowered(name).value_or(std::string());
  const std::string_view rest = std::string_view(lowered).substr(5);
  const size_t split = rest.find('_');
  const std::string_view which = rest.substr(0, split);
  const std::string_view predicate = rest.substr(split + 1);
  auto passes = [&](const Node& n) { return eval_semantic_predicate(n, predicate, *taxonomy, *class_id); };
  const auto& nodes = path.nodes;
  if (which == "start") return !nodes.empty() && passes(nodes.front());
  if (which == "end") return !nodes.empty() && passes(nodes.back());
  if (which == "any") return std::any_of(nodes.begin(), nodes.end(), passes);
  return std::all_of(nodes.begin(), nodes.end(), passes);
}

bool eval_semantic_predicate(const Node& node, std::string_view predicate, const taxonomy::TaxonomyIndex& taxonomy,
                             const taxonomy::ClassId& class_id) {
  const std::string lowered = common::ascii_lowered(predicate).value_or(std::string());
  const bool applies = (lowered == "instanceof" && node.kind == NodeKind::Individual) ||
                       (lowered == "subclassof" && node.kind == NodeKind::Class);
  return applies && taxonomy.named_class_is_subclass_of(node.label, class_id);
}

}  // namespace zudizid::query::zql::executor
