#include "kv/epoch/epoch.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace kelm {
namespace {

constexpr uint64_t kInactive = UINT64_MAX;
constexpr size_t kCollectEvery = 64;

struct Retired {
  void* p;
  void (*del)(void*);
  uint64_t epoch;
};

struct ThreadRec {
  std::atomic<uint64_t> epoch{kInactive};  // epoch this thread is pinned in
  std::atomic<bool> in_use{true};
  ThreadRec* next = nullptr;  // registry link, immutable once published
  // Owner-thread only:
  int depth = 0;
  size_t unpins = 0;
  std::vector<Retired> bag;
};

std::atomic<uint64_t> g_epoch{2};
std::atomic<ThreadRec*> g_registry{nullptr};

std::mutex g_orphan_mu;
// Bags of exited threads, guarded by g_orphan_mu. Never destroyed: detached
// engine threads (IO pool, flushers) may still collect while the process
// runs its static destructors at exit.
std::vector<Retired>& g_orphans = *new std::vector<Retired>();

bool try_advance() {
  uint64_t e = g_epoch.load(std::memory_order_seq_cst);
  for (ThreadRec* r = g_registry.load(std::memory_order_acquire); r; r = r->next) {
    uint64_t pe = r->epoch.load(std::memory_order_seq_cst);
    if (pe != kInactive && pe != e) return false;
  }
  return g_epoch.compare_exchange_strong(e, e + 1, std::memory_order_seq_cst);
}

void free_safe(std::vector<Retired>& bag) {
  uint64_t e = g_epoch.load(std::memory_order_seq_cst);
  size_t keep = 0;
  for (size_t i = 0; i < bag.size(); ++i) {
    if (bag[i].epoch + 2 <= e) {
      bag[i].del(bag[i].p);
    } else {
      bag[keep++] = bag[i];
    }
  }
  bag.resize(keep);
}

void collect(ThreadRec* rec) {
  try_advance();
  // Freeing may run destructors that retire more (nested records); take the
  // bag out first so those pushes land in a fresh one.
  std::vector<Retired> bag;
  bag.swap(rec->bag);
  free_safe(bag);
  for (auto& r : rec->bag) bag.push_back(r);
  rec->bag.swap(bag);
  std::vector<Retired> orphans;
  {
    std::unique_lock lk(g_orphan_mu, std::try_to_lock);
    if (lk.owns_lock() && !g_orphans.empty()) orphans.swap(g_orphans);
  }
  if (!orphans.empty()) {
    free_safe(orphans);
    std::lock_guard lk(g_orphan_mu);
    for (auto& r : orphans) g_orphans.push_back(r);
  }
}

ThreadRec* acquire_rec() {
  for (ThreadRec* r = g_registry.load(std::memory_order_acquire); r; r = r->next) {
    bool expected = false;
    if (!r->in_use.load(std::memory_order_relaxed) &&
        r->in_use.compare_exchange_strong(expected, true, std::memory_order_acquire)) {
      return r;
    }
  }
  auto* r = new ThreadRec();
  ThreadRec* head = g_registry.load(std::memory_order_relaxed);
  do {
    r->next = head;
  } while (!g_registry.compare_exchange_weak(head, r, std::memory_order_release, std::memory_order_relaxed));
  return r;
}

struct Local {
  ThreadRec* rec = nullptr;
  ThreadRec* get() {
    if (!rec) rec = acquire_rec();
    return rec;
  }
  ~Local() {
    if (!rec) return;
    if (!rec->bag.empty()) {
      std::lock_guard lk(g_orphan_mu);
      for (auto& r : rec->bag) g_orphans.push_back(r);
      rec->bag.clear();
    }
    rec->epoch.store(kInactive, std::memory_order_seq_cst);
    rec->in_use.store(false, std::memory_order_release);
  }
};

thread_local Local t_local;

void unpin_current() {
  ThreadRec* rec = t_local.get();
  if (--rec->depth > 0) return;
  rec->epoch.store(kInactive, std::memory_order_seq_cst);
  if (++rec->unpins % kCollectEvery == 0 && !rec->bag.empty()) {
    // Collect while pinned at a fresh epoch so destructors that touch epoch
    // protected data stay safe.
    rec->depth = 1;
    rec->epoch.store(g_epoch.load(std::memory_order_seq_cst), std::memory_order_seq_cst);
    collect(rec);
    rec->depth = 0;
    rec->epoch.store(kInactive, std::memory_order_seq_cst);
  }
}

}  // namespace

Guard pin() {
  ThreadRec* rec = t_local.get();
  if (rec->depth++ == 0) {
    uint64_t e = g_epoch.load(std::memory_order_seq_cst);
    for (;;) {
      rec->epoch.store(e, std::memory_order_seq_cst);
      uint64_t now = g_epoch.load(std::memory_order_seq_cst);
      if (now == e) break;
      e = now;
    }
  }
  return Guard(true);
}

Guard unprotected() { return Guard(false); }

Guard::~Guard() {
  if (active_) unpin_current();
}

void Guard::defer_raw(void* p, void (*del)(void*)) const {
  if (!active_) {
    del(p);
    return;
  }
  ThreadRec* rec = t_local.get();
  rec->bag.push_back({p, del, g_epoch.load(std::memory_order_seq_cst)});
  if (rec->bag.size() % kCollectEvery == 0) collect(rec);
}

void Guard::defer(std::function<void()> task) const {
  if (!active_) {
    task();
    return;
  }
  auto* f = new std::function<void()>(std::move(task));
  defer_raw(f, [](void* q) {
    auto* fn = static_cast<std::function<void()>*>(q);
    (*fn)();
    delete fn;
  });
}

void Guard::flush_thread() {
  ThreadRec* rec = t_local.get();
  bool outer = rec->depth == 0;
  for (int i = 0; i < 4; ++i) {
    if (outer) {
      rec->depth = 1;
      rec->epoch.store(g_epoch.load(std::memory_order_seq_cst), std::memory_order_seq_cst);
    }
    collect(rec);
    if (outer) {
      rec->depth = 0;
      rec->epoch.store(kInactive, std::memory_order_seq_cst);
    }
  }
}

}  // namespace kelm
