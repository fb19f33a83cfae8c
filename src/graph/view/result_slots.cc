#include "graph/view/result_slots.h"

#include <map>
#include <mutex>

#include "graph/view/graph_view.h"

namespace zudizid::graph {

std::optional<CommunitySlot::Map> CommunitySlot::load(uint64_t stamp) const {
  std::shared_lock lock(mu_);
  if (!held_ || held_->second != stamp) return std::nullopt;
  return held_->first;
}

void CommunitySlot::store(Map map, uint64_t stamp) {
  std::unique_lock lock(mu_);
  held_.emplace(std::move(map), stamp);
}

std::shared_ptr<CommunitySlots> community_slots(const Graph& graph) {
  using Table = std::map<std::weak_ptr<const void>, std::shared_ptr<CommunitySlots>, std::owner_less<>>;
  static std::mutex mu;
  static auto* table = new Table();  // outlives static destruction: queries may run at exit
  std::weak_ptr<const void> key = graph_identity(graph);
  std::lock_guard lock(mu);
  std::erase_if(*table, [](const auto& entry) { return entry.first.expired(); });
  auto& slots = (*table)[key];
  if (!slots) slots = std::make_shared<CommunitySlots>();
  return slots;
}

}  // namespace zudizid::graph
