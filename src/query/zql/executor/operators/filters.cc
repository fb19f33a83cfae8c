#include "query/zql/executor/operators/filters.h"

#include "query/zql/executor/where/scopes.h"

namespace zudizid::query::zql::executor::operators {

namespace {

// The shared loop of every filter: the first item that `test` passes, an
// error of `test` as an item, or what the input ends with.
template <class T, class Test>
std::optional<DbResult<T>> first_passing(Operator<T>& input, Test&& test) {
  while (auto item = input.next()) {
    if (!*item) return item;
    DbResult<bool> passes = test(**item);
    if (!passes) return DbResult<T>(std::unexpected(std::move(passes.error())));
    if (*passes) return item;
  }
  return std::nullopt;
}

}  // namespace

bool has_properties(const PropertyMap& properties, const ast::PropertyMap& required) {
  for (const auto& [name, value] : required) {
    auto it = properties.find(name);
    if (it == properties.end() || !it->second.eq(value)) return false;
  }
  return true;
}

std::optional<DbResult<Node>> NodePropertyFilter::next() {
  return first_passing(*input_, [&](const Node& n) -> DbResult<bool> { return has_properties(n.properties, properties_); });
}

std::optional<DbResult<Node>> NodeIdSetFilter::next() {
  return first_passing(*input_, [&](const Node& n) -> DbResult<bool> { return ids_.contains(n.id); });
}

std::optional<DbResult<Node>> NodeConditionFilter::next() {
  return first_passing(*input_, [&](const Node& n) {
    return write_road_ ? eval_write_condition(n, *condition_, variable_, graph_)
                       : eval_node_condition(n, *condition_, variable_, graph_);
  });
}

std::optional<DbResult<Binding>> WhereFilterStream::next() {
  return first_passing(*input_, [&](const Binding& b) {
    return eval_binding_condition(b, *condition_, source_var_, target_var_);
  });
}

}  // namespace zudizid::query::zql::executor::operators
