#include "graph/label_map.h"

#include <algorithm>
#include <mutex>

namespace zudizid::graph {

DbResult<void> LabelMap::load(const storage::Storage& storage) {
  std::unordered_map<std::string, std::set<Uuid>> fresh;
  auto nodes = storage.node_records();
  while (auto next = nodes.next()) {
    if (!*next) return std::unexpected(std::move(next->error()));
    fresh[(*next)->label].insert((*next)->id);
  }
  std::unique_lock lock(mu_);
  map_ = std::move(fresh);
  loaded_ = true;
  return {};
}

bool LabelMap::loaded() const {
  std::shared_lock lock(mu_);
  return loaded_;
}

void LabelMap::add(std::string_view label, const Uuid& id) {
  std::unique_lock lock(mu_);
  auto it = map_.find(std::string(label));
  if (it == map_.end()) it = map_.emplace(std::string(label), std::set<Uuid>{}).first;
  it->second.insert(id);
}

void LabelMap::remove(std::string_view label, const Uuid& id) {
  std::unique_lock lock(mu_);
  auto it = map_.find(std::string(label));
  if (it == map_.end()) return;
  it->second.erase(id);
  if (it->second.empty()) map_.erase(it);
}

std::vector<Uuid> LabelMap::ids(std::string_view label) const {
  std::shared_lock lock(mu_);
  auto it = map_.find(std::string(label));
  if (it == map_.end()) return {};
  return {it->second.begin(), it->second.end()};
}

std::vector<Uuid> LabelMap::all_ids() const {
  std::shared_lock lock(mu_);
  size_t total = 0;
  for (const auto& [_, ids] : map_) total += ids.size();
  std::vector<Uuid> out;
  out.reserve(total);
  for (const auto& [_, ids] : map_) out.insert(out.end(), ids.begin(), ids.end());
  const bool several_labels = map_.size() > 1;
  lock.unlock();
  // Each label's ids are ascending already: only several labels need sorting.
  if (several_labels) {
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
  }
  return out;
}

}  // namespace zudizid::graph
