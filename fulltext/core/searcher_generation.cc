#include "fulltext/core/searcher_generation.h"

#include <algorithm>

namespace fendral::core {

std::shared_ptr<GenerationInventory> GenerationInventory::create() {
  std::shared_ptr<GenerationInventory> inventory(new GenerationInventory());
  inventory->self_ = inventory;
  return inventory;
}

std::shared_ptr<const SearcherGeneration> GenerationInventory::track(SearcherGeneration generation) {
  std::weak_ptr<GenerationInventory> owner = self_;
  std::shared_ptr<const SearcherGeneration> tracked(new SearcherGeneration(std::move(generation)),
                                                    [owner](const SearcherGeneration* g) {
                                                      delete g;
                                                      if (auto inventory = owner.lock()) inventory->released();
                                                    });
  {
    std::lock_guard lock(mu_);
    std::erase_if(entries_, [](const auto& e) { return e.expired(); });
    entries_.push_back(tracked);
    ++live_;
  }
  changed_.notify_all();
  return tracked;
}

void GenerationInventory::released() {
  {
    std::lock_guard lock(mu_);
    --live_;
  }
  changed_.notify_all();
}

std::vector<std::shared_ptr<const SearcherGeneration>> GenerationInventory::list() const {
  std::lock_guard lock(mu_);
  std::vector<std::shared_ptr<const SearcherGeneration>> out;
  for (const auto& e : entries_) {
    if (auto g = e.lock()) out.push_back(std::move(g));
  }
  return out;
}

size_t GenerationInventory::live_count() const {
  std::lock_guard lock(mu_);
  return live_;
}

size_t GenerationInventory::wait_for_change(size_t seen, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mu_);
  changed_.wait_for(lock, timeout, [&] { return live_ != seen; });
  return live_;
}

}  // namespace fendral::core
