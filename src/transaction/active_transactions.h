// The registry of active transactions: transaction id -> start timestamp.
// One per open graph, shared by every clone of the graph handle. The mutex is
// held only for one insertion, removal or copy.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace zudizid::transaction {

class ActiveTransactions {
 public:
  void insert(std::uint64_t tx_id, std::uint64_t start_timestamp) {
    std::lock_guard lock(mu_);
    map_[tx_id] = start_timestamp;
  }
  // An absent id changes nothing.
  void remove(std::uint64_t tx_id) {
    std::lock_guard lock(mu_);
    map_.erase(tx_id);
  }
  std::optional<std::uint64_t> start_of(std::uint64_t tx_id) const {
    std::lock_guard lock(mu_);
    auto it = map_.find(tx_id);
    if (it == map_.end()) return std::nullopt;
    return it->second;
  }
  std::unordered_map<std::uint64_t, std::uint64_t> snapshot() const {
    std::lock_guard lock(mu_);
    return map_;
  }

 private:
  mutable std::mutex mu_;
  std::unordered_map<std::uint64_t, std::uint64_t> map_;
};

}  // namespace zudizid::transaction
