#include "fulltext/core/warming.h"

#include <atomic>
#include <chrono>
#include <fmt/format.h>
#include <optional>
#include <thread>

#include "common/thread_name.h"

namespace fendral::core {
namespace {

// Runs warm(searcher) on every warmer, spread over n named threads; the
// first error in warmer order is the result.
Result<void> warm_on_threads(size_t n, const std::vector<std::shared_ptr<Warmer>>& warmers,
                             const Searcher& searcher) {
  std::vector<std::optional<Result<void>>> results(warmers.size());
  std::atomic<size_t> next{0};
  std::vector<std::thread> threads;
  std::optional<FendralError> spawn_error;
  for (size_t i = 0; i < n; ++i) {
    try {
      threads.emplace_back([&, i] {
        zudizid::common::set_current_thread_name(fmt::format("fendral-warm-{}", i));
        for (size_t k; (k = next.fetch_add(1)) < warmers.size();) results[k] = warmers[k]->warm(searcher);
      });
    } catch (const std::system_error& e) {
      spawn_error = FendralError::system_error(e.what());
      next.store(warmers.size());  // the started threads stop taking work
      break;
    }
  }
  for (auto& t : threads) t.join();
  if (spawn_error) return fail(*spawn_error);
  for (auto& r : results) {
    if (!r) return fail(FendralError::internal_error("One of the mapped execution failed."));
    if (!*r) return *r;
  }
  return {};
}

}  // namespace

std::shared_ptr<WarmingState> WarmingState::create(size_t num_warming_threads,
                                                   std::vector<std::weak_ptr<Warmer>> warmers,
                                                   std::shared_ptr<GenerationInventory> inventory) {
  std::shared_ptr<WarmingState> s(new WarmingState(num_warming_threads, std::move(warmers), std::move(inventory)));
  s->self_ = s;
  return s;
}

WarmingState::~WarmingState() {
  if (!gc_) return;
  {
    std::lock_guard lock(gc_->mu);
    gc_->stop = true;
  }
  gc_->wake.notify_all();
}

std::vector<std::shared_ptr<Warmer>> WarmingState::live_warmers_locked() {
  std::vector<std::shared_ptr<Warmer>> live;
  std::vector<std::weak_ptr<Warmer>> kept;
  for (const auto& w : warmers_) {
    if (auto strong = w.lock()) {
      live.push_back(std::move(strong));
      kept.push_back(w);
    }
  }
  warmers_ = std::move(kept);
  return live;
}

Result<void> WarmingState::start_gc_thread_locked() {
  auto control = std::make_shared<GcControl>();
  try {
    std::thread(gc_loop, self_, control).detach();
  } catch (const std::system_error&) {
    return fail(FendralError::system_error("Failed to spawn warmer GC thread"));
  }
  gc_ = std::move(control);
  return {};
}

Result<void> WarmingState::warm_new_searcher(const Searcher& searcher) {
  std::lock_guard lock(mu_);
  auto warmers = live_warmers_locked();
  if (warmers.empty()) return {};
  if (!gc_) {
    if (auto ok = start_gc_thread_locked(); !ok) return ok;
  }
  if (const auto* generation = searcher.generation()) warmed_generation_ids_.insert(generation->generation_id);
  size_t n = std::min(num_warming_threads_, warmers.size());
  if (n >= 2) return warm_on_threads(n, warmers, searcher);
  for (const auto& w : warmers) {
    if (auto ok = w->warm(searcher); !ok) return ok;
  }
  return {};
}

void WarmingState::gc_loop(std::weak_ptr<WarmingState> state, std::shared_ptr<GcControl> control) {
  zudizid::common::set_current_thread_name("fendral-warm-gc");
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now();
  while (true) {
    // Fixed rate without catch-up: a late tick delays the ones after it.
    deadline = std::max(deadline, Clock::now()) + std::chrono::seconds(1);
    {
      std::unique_lock lock(control->mu);
      control->wake.wait_until(lock, deadline, [&] { return control->stop; });
      if (control->stop) return;
    }
    auto strong = state.lock();
    if (!strong) return;
    strong->gc_tick();
  }
}

void WarmingState::gc_tick() {
  std::lock_guard lock(mu_);
  auto live = inventory_->list();
  std::set<uint64_t> live_ids;
  for (const auto& g : live) live_ids.insert(g->generation_id);
  bool all_live = std::ranges::all_of(warmed_generation_ids_, [&](uint64_t id) { return live_ids.contains(id); });
  if (all_live) return;
  for (const auto& w : live_warmers_locked()) w->garbage_collect(live);
  warmed_generation_ids_ = std::move(live_ids);
}

std::set<uint64_t> WarmingState::warmed_generation_ids() const {
  std::lock_guard lock(mu_);
  return warmed_generation_ids_;
}

bool WarmingState::gc_thread_started() const {
  std::lock_guard lock(mu_);
  return gc_ != nullptr;
}

}  // namespace fendral::core
