// Warmers: per-searcher state prepared when the index reader builds a new
// searcher, and dropped once the searcher generations it belongs to are no
// longer in use.
//
// The owner of a Warmer keeps it alive; the reader holds it weakly, so a
// dropped warmer is forgotten at the next warming or garbage collection.
// Both calls come with the warming state's mutex held: a warmer must not
// call back into the reader's warming.
//
// The first warming that finds a live warmer starts one garbage-collection
// thread, "fendral-warm-gc". Once a second it lists the live generations;
// when a generation handed to the warmers has been released, it calls
// garbage_collect(live generations) on every live warmer. The thread holds
// the state weakly and ends soon after the state is gone. Without warmers
// no thread is ever started.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "fulltext/core/searcher.h"
#include "fulltext/core/searcher_generation.h"

namespace fendral::core {

class Warmer {
 public:
  virtual ~Warmer() = default;
  // Prepares state for a new searcher; may be called from several threads
  // at once when the reader warms with more than one thread.
  virtual Result<void> warm(const Searcher& searcher) = 0;
  // Drops state kept for generations not in `live`.
  virtual void garbage_collect(const std::vector<std::shared_ptr<const SearcherGeneration>>& live) = 0;
};

class WarmingState {
 public:
  static std::shared_ptr<WarmingState> create(size_t num_warming_threads, std::vector<std::weak_ptr<Warmer>> warmers,
                                              std::shared_ptr<GenerationInventory> inventory);
  ~WarmingState();

  // Runs every live warmer on the new searcher: on the calling thread when
  // num_warming_threads or the number of live warmers is below 2, else on
  // that many threads "fendral-warm-0", "fendral-warm-1", ...; the first
  // warmer error is the result.
  Result<void> warm_new_searcher(const Searcher& searcher);

  std::set<uint64_t> warmed_generation_ids() const;
  bool gc_thread_started() const;

 private:
  struct GcControl {
    std::mutex mu;
    std::condition_variable wake;
    bool stop = false;
  };
  WarmingState(size_t threads, std::vector<std::weak_ptr<Warmer>> warmers, std::shared_ptr<GenerationInventory> inv)
      : num_warming_threads_(threads), warmers_(std::move(warmers)), inventory_(std::move(inv)) {}
  std::vector<std::shared_ptr<Warmer>> live_warmers_locked();
  Result<void> start_gc_thread_locked();
  static void gc_loop(std::weak_ptr<WarmingState> state, std::shared_ptr<GcControl> control);
  void gc_tick();

  mutable std::mutex mu_;
  size_t num_warming_threads_;
  std::vector<std::weak_ptr<Warmer>> warmers_;
  std::shared_ptr<GcControl> gc_;  // set once the thread runs
  std::set<uint64_t> warmed_generation_ids_;
  std::shared_ptr<GenerationInventory> inventory_;
  std::weak_ptr<WarmingState> self_;
};

}  // namespace fendral::core
