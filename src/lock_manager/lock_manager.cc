#include "lock_manager/lock_manager.h"

#include <algorithm>
#include <vector>

#include "common/log.h"

namespace zudizid::lock_manager {

namespace {
constexpr const char* kTarget = "zudizid::lock_manager";
}

DbResult<void> LockManager::acquire(TxId me, const NodeId& node, LockMode mode) {
  const auto start = std::chrono::steady_clock::now();
  for (bool first = true;; first = false) {
    if (!first && std::chrono::steady_clock::now() - start > options_.timeout) {
      return std::unexpected(DbError::concurrency(fmt::format("Lock timeout: tx{} waiting for {} lock on node {} (waited {}s)", me,
                      lock_mode_name(mode), node.to_string(),
                      std::chrono::duration_cast<std::chrono::seconds>(options_.timeout).count())));
    }

    std::shared_ptr<Notifier> released;
    std::vector<TxId> others;  // holders this request waits for, first recorded first
    {
      std::lock_guard table(table_mu_);
      auto it = table_.find(node);
      if (it == table_.end()) {
        table_.emplace(node, Entry{mode, {me}, std::make_shared<Notifier>()});
        held_[me].push_back(node);
        ZLOG(Debug, kTarget, "tx{} acquired {} lock on node {}", me, lock_mode_name(mode), node.to_string());
        return {};
      }
      Entry& entry = it->second;
      const bool holds = std::find(entry.holders.begin(), entry.holders.end(), me) != entry.holders.end();
      if (entry.mode == LockMode::Read && mode == LockMode::Read) {
        // Shared: every reader is recorded, so a writer waits for all of them.
        if (!holds) {
          entry.holders.push_back(me);
          held_[me].push_back(node);
        }
        return {};
      }
      if (holds && entry.holders.size() == 1) {
        // Re-request by the sole holder: the entry takes the latest mode.
        // Waiters on the old notifier are not woken; they retry after their
        // slice.
        entry = Entry{mode, {me}, std::make_shared<Notifier>()};
        ZLOG(Debug, kTarget, "tx{} acquired {} lock on node {}", me, lock_mode_name(mode), node.to_string());
        return {};
      }
      for (TxId h : entry.holders) {
        if (h != me) others.push_back(h);
      }
      released = entry.released;
      ZLOG(Debug, kTarget, "tx{} waiting for {} lock on node {} (held by tx{} with {})", me,
           lock_mode_name(mode), node.to_string(), others.front(), lock_mode_name(entry.mode));
    }
    const TxId holder = others.front();

    {
      std::lock_guard graph(graph_mu_);
      for (TxId h : others) {
        graph_.add_edge(me, h);
        ZLOG(Debug, kTarget, "WaitForGraph: tx{} waits for tx{}", me, h);
      }
      std::vector<TxId> cycle = graph_.find_cycle();
      if (!cycle.empty()) {
        ZLOG(Warn, kTarget, "Deadlock detected in wait-for graph!");
        // Only a member of the cycle can break it: a transaction merely waiting
        // on the cycle would abort without freeing anything.
        TxId victim = *std::max_element(cycle.begin(), cycle.end());
        if (victim == me) {
          graph_.remove_all_edges(me);
          return std::unexpected(
              DbError::deadlock(fmt::format("tx{} aborted (victim), was waiting for tx{}", me, holder)));
        }
        ZLOG(Debug, kTarget, "Deadlock detected, but tx{} is not the victim (victim: Some({}))", me, victim);
      }
    }

    released->wait_for(options_.retry_slice);

    {
      std::lock_guard graph(graph_mu_);
      for (TxId h : others) {
        graph_.remove_edge(me, h);
        ZLOG(Debug, kTarget, "WaitForGraph: removed edge tx{} → tx{}", me, h);
      }
    }
    ZLOG(Debug, kTarget, "tx{} retrying {} lock on node {}", me, lock_mode_name(mode), node.to_string());
  }
}

void LockManager::release_all(TxId tx) {
  std::lock_guard table(table_mu_);
  if (auto held = held_.find(tx); held != held_.end()) {
    for (const NodeId& node : held->second) {
      auto it = table_.find(node);
      if (it == table_.end()) continue;
      Entry& entry = it->second;
      auto pos = std::find(entry.holders.begin(), entry.holders.end(), tx);
      if (pos == entry.holders.end()) continue;
      ZLOG(Debug, kTarget, "tx{} releasing lock on node {}", tx, node.to_string());
      entry.holders.erase(pos);
      // Waiters re-check at once; the signal is sticky, so readers that stay
      // get a fresh notifier for the waiters that come after.
      entry.released->notify_all();
      if (entry.holders.empty()) {
        table_.erase(it);
      } else {
        entry.released = std::make_shared<Notifier>();
      }
    }
    held_.erase(held);
  }
  std::lock_guard graph(graph_mu_);
  graph_.remove_all_edges(tx);
  ZLOG(Debug, kTarget, "Released all locks for tx{}", tx);
}

std::optional<std::pair<TxId, LockMode>> LockManager::holder(const NodeId& node) const {
  std::lock_guard table(table_mu_);
  auto it = table_.find(node);
  if (it == table_.end()) return std::nullopt;
  return std::make_pair(it->second.holders.front(), it->second.mode);
}

bool LockManager::is_waiting(TxId tx) const {
  std::lock_guard graph(graph_mu_);
  return graph_.waits(tx);
}

}  // namespace zudizid::lock_manager
