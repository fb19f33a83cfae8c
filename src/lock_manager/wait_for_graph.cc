#include "lock_manager/wait_for_graph.h"

#include <algorithm>

#include "common/log.h"

namespace zudizid::lock_manager {

namespace {
constexpr const char* kTarget = "zudizid::lock_manager";
}

void WaitForGraph::add_edge(TxId waiter, TxId holder) { edges_[waiter].push_back(holder); }

void WaitForGraph::remove_edge(TxId waiter, TxId holder) {
  auto it = edges_.find(waiter);
  if (it == edges_.end()) return;
  std::erase(it->second, holder);
  if (it->second.empty()) edges_.erase(it);
}

void WaitForGraph::remove_all_edges(TxId t) {
  edges_.erase(t);
  for (auto it = edges_.begin(); it != edges_.end();) {
    std::erase(it->second, t);
    if (it->second.empty()) {
      it = edges_.erase(it);
    } else {
      ++it;
    }
  }
  ZLOG(Debug, kTarget, "WaitForGraph: removed all edges for tx{}", t);
}

const std::vector<TxId>* WaitForGraph::waits_for(TxId t) const {
  auto it = edges_.find(t);
  return it == edges_.end() ? nullptr : &it->second;
}

bool WaitForGraph::has_cycle(TxId start, std::unordered_set<TxId>& visited,
                             std::unordered_set<TxId>& on_path, std::vector<TxId>* cycle) const {
  // Iterative depth-first search: the path can be as long as the number of
  // waiting transactions, so no recursion.
  struct Frame {
    TxId tx;
    std::size_t next;  // index of the next successor to look at
  };
  std::vector<Frame> path;
  visited.insert(start);
  on_path.insert(start);
  path.push_back({start, 0});
  while (!path.empty()) {
    Frame& top = path.back();
    const std::vector<TxId>* succ = waits_for(top.tx);
    if (succ == nullptr || top.next >= succ->size()) {
      on_path.erase(top.tx);
      path.pop_back();
      continue;
    }
    TxId next = (*succ)[top.next++];
    if (visited.contains(next)) {
      if (on_path.contains(next)) {
        ZLOG(Warn, kTarget, "Cycle detected: tx{} → tx{}", top.tx, next);
        if (cycle != nullptr) {
          cycle->clear();
          auto from = std::find_if(path.begin(), path.end(), [&](const Frame& f) { return f.tx == next; });
          for (auto it = from; it != path.end(); ++it) cycle->push_back(it->tx);
        }
        return true;
      }
      continue;
    }
    visited.insert(next);
    on_path.insert(next);
    path.push_back({next, 0});
  }
  return false;
}

std::vector<TxId> WaitForGraph::find_cycle() const {
  std::unordered_set<TxId> visited;
  std::unordered_set<TxId> on_path;
  std::vector<TxId> cycle;
  for (const auto& [tx, _] : edges_) {
    if (visited.contains(tx)) continue;
    if (has_cycle(tx, visited, on_path, &cycle)) return cycle;
  }
  return {};
}

}  // namespace zudizid::lock_manager
