#include "query/zql/executor/paths/pattern_join.h"

#include <memory>
#include <unordered_map>

#include "query/zql/executor/operators/start_nodes.h"
#include "query/zql/executor/paths/traversal.h"

namespace zudizid::query::zql::executor {

namespace {

using Vars = std::vector<std::pair<std::string, size_t>>;

DbError too_many() {
  return DbError::query_execution(
      "Pattern join holds more than 1000000 bindings; share a variable between the patterns or narrow them");
}

bool binds(const Vars& vars, const std::string& name) {
  for (const auto& v : vars)
    if (v.first == name) return true;
  return false;
}

// What two sides share. Every binding of one pattern (and of a join of
// patterns) binds the same names, so the first binding of each side tells.
struct SharedNames {
  std::vector<std::string> nodes;
  std::vector<std::string> edges;
  bool clash = false;  // a name is a node on one side and an edge on the other
};

SharedNames shared_names(const PathBinding& a, const PathBinding& b) {
  SharedNames out;
  for (const auto& [name, pos] : a.node_vars) {
    if (binds(b.node_vars, name)) out.nodes.push_back(name);
    if (binds(b.edge_vars, name)) out.clash = true;
  }
  for (const auto& [name, pos] : a.edge_vars) {
    if (binds(b.edge_vars, name)) out.edges.push_back(name);
    if (binds(b.node_vars, name)) out.clash = true;
  }
  return out;
}

std::string join_key(const PathBinding& p, const SharedNames& shared) {
  std::string key;
  key.reserve(17 * (shared.nodes.size() + shared.edges.size()));
  auto add = [&key](const Uuid* id) {
    key.push_back(id != nullptr ? '+' : '-');
    if (id != nullptr) key.append(reinterpret_cast<const char*>(id->bytes().data()), id->bytes().size());
  };
  for (const auto& n : shared.nodes) {
    const Node* node = p.node_var(n);
    add(node != nullptr ? &node->id : nullptr);
  }
  for (const auto& e : shared.edges) {
    const Edge* edge = p.edge_var(e);
    add(edge != nullptr ? &edge->id : nullptr);
  }
  return key;
}

PathBinding merge(const PathBinding& a, const PathBinding& b) {
  PathBinding out = a;
  const size_t node_base = a.nodes.size();
  const size_t edge_base = a.edges.size();
  out.nodes.insert(out.nodes.end(), b.nodes.begin(), b.nodes.end());
  out.edges.insert(out.edges.end(), b.edges.begin(), b.edges.end());
  for (const auto& [name, pos] : b.node_vars)
    if (!binds(a.node_vars, name)) out.node_vars.emplace_back(name, node_base + pos);
  for (const auto& [name, pos] : b.edge_vars)
    if (!binds(a.edge_vars, name)) out.edge_vars.emplace_back(name, edge_base + pos);
  return out;
}

// One join step: the running list (left) against a pattern's matches
// (right), hashed on the right's shared ids, yielded left-major.
struct JoinStep {
  std::vector<PathBinding> left;
  std::vector<PathBinding> right;
  SharedNames shared;
  std::unordered_map<std::string, std::vector<size_t>> buckets;
  size_t l = 0;
  const std::vector<size_t>* bucket = nullptr;
  size_t r = 0;

  JoinStep(std::vector<PathBinding> running, std::vector<PathBinding> matches)
      : left(std::move(running)), right(std::move(matches)) {
    if (left.empty() || right.empty()) return;
    shared = shared_names(left.front(), right.front());
    if (shared.clash) return;
    for (size_t i = 0; i < right.size(); ++i) buckets[join_key(right[i], shared)].push_back(i);
  }

  std::optional<PathBinding> next() {
    if (shared.clash || buckets.empty()) return std::nullopt;
    while (l < left.size()) {
      if (bucket == nullptr) {
        auto it = buckets.find(join_key(left[l], shared));
        if (it == buckets.end()) {
          ++l;
          continue;
        }
        bucket = &it->second;
        r = 0;
      }
      if (r < bucket->size()) return merge(left[l], right[(*bucket)[r++]]);
      bucket = nullptr;
      ++l;
    }
    return std::nullopt;
  }
};

}  // namespace

DbResult<graph::NodeCursor> pattern_start_nodes(const graph::Graph& graph, const ast::Pattern& pattern,
                                                const ast::Query& query) {
  const auto& elements = pattern.elements;
  const auto* first = elements.empty() ? nullptr : std::get_if<ast::NodePattern>(&elements[0]);
  if (first == nullptr) return graph::NodeCursor();
  // A variable bound again later in the pattern names the later node in
  // the match, so WHERE's conditions on it say nothing of the start.
  bool rebound = false;
  for (size_t i = 1; i < elements.size(); ++i) {
    const auto* n = std::get_if<ast::NodePattern>(&elements[i]);
    rebound = rebound || (n != nullptr && n->variable == first->variable);
  }
  if (!first->variable || rebound) return label_scan(graph, first->label);
  auto selected = operators::select_start_nodes(graph, *first, *first->variable,
                                                query.filter ? &query.filter->condition : nullptr);
  if (!selected) return std::unexpected(std::move(selected.error()));
  return graph::NodeCursor([stream = std::move(selected->nodes)]() mutable { return stream->next(); });
}

DbResult<std::vector<PathBinding>> collect_pattern_bindings(QueryContext& context, const ast::Pattern& pattern,
                                                            const ast::Query& query) {
  if (pattern.elements.size() == 1 && !std::holds_alternative<ast::NodePattern>(pattern.elements[0]))
    return std::unexpected(DbError::query_execution("Pattern must start with node"));
  auto starts = pattern_start_nodes(context.graph, pattern, query);
  if (!starts) return std::unexpected(std::move(starts.error()));
  auto matches = LinearBindings::create(context.graph, pattern, std::move(*starts), &context);
  if (!matches) return std::unexpected(std::move(matches.error()));
  std::vector<PathBinding> out;
  while (auto next = matches->next()) {
    if (!*next) return std::unexpected(std::move(next->error()));
    if (out.size() == kMaxHeldPathRows) return std::unexpected(too_many());
    out.push_back(std::move(**next));
  }
  return out;
}

DbResult<PathCursor> join_patterns(QueryContext& context, const ast::Query& query) {
  const auto& patterns = query.from.patterns;
  if (patterns.empty()) return std::unexpected(DbError::query_execution("No patterns in FROM clause"));
  auto running = collect_pattern_bindings(context, patterns[0], query);
  if (!running) return std::unexpected(std::move(running.error()));
  std::unique_ptr<JoinStep> step;
  for (size_t k = 1; k < patterns.size(); ++k) {
    auto matches = collect_pattern_bindings(context, patterns[k], query);
    if (!matches) return std::unexpected(std::move(matches.error()));
    if (step) {
      // The previous step becomes the running list.
      std::vector<PathBinding> joined;
      while (auto b = step->next()) {
        if (joined.size() == kMaxHeldPathRows) return std::unexpected(too_many());
        joined.push_back(std::move(*b));
      }
      *running = std::move(joined);
    }
    step = std::make_unique<JoinStep>(std::move(*running), std::move(*matches));
  }
  if (!step) return PathCursor::of(std::move(*running));
  return PathCursor([step = std::move(step)]() mutable -> std::optional<DbResult<PathBinding>> {
    auto b = step->next();
    if (!b) return std::nullopt;
    return DbResult<PathBinding>(std::move(*b));
  });
}

}  // namespace zudizid::query::zql::executor
