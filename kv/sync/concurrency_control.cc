#include "kv/sync/concurrency_control.h"

#include <thread>

namespace kelm::tree {

ConcurrencyControl::ConcurrencyControl() {
  pthread_rwlockattr_t attr;
  pthread_rwlockattr_init(&attr);
  pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
  pthread_rwlock_init(&rw_, &attr);
  pthread_rwlockattr_destroy(&attr);
}

ConcurrencyControl::~ConcurrencyControl() { pthread_rwlock_destroy(&rw_); }

ConcurrencyControl::Shared::Shared(ConcurrencyControl& cc) : cc_(cc), via_rw_(false) {
  uint32_t prev = cc.active_.fetch_add(1, std::memory_order_acquire);
  if (prev & kExclusiveBit) {
    cc.active_.fetch_sub(1, std::memory_order_release);
    pthread_rwlock_rdlock(&cc.rw_);
    via_rw_ = true;
  }
}

ConcurrencyControl::Shared::~Shared() {
  if (via_rw_) pthread_rwlock_unlock(&cc_.rw_);
  else cc_.active_.fetch_sub(1, std::memory_order_release);
}

ConcurrencyControl::Exclusive::Exclusive(ConcurrencyControl& cc) : cc_(cc) {
  uint32_t cur = cc.active_.load(std::memory_order_relaxed);
  bool setter = false;
  while (!(cur & kExclusiveBit)) {
    if (cc.active_.compare_exchange_weak(cur, cur | kExclusiveBit, std::memory_order_acq_rel)) {
      setter = true;
      break;
    }
  }
  if (setter) {
    // Wait for every holder on the counting path to leave.
    unsigned spins = 0;
    while (cc.active_.load(std::memory_order_acquire) != kExclusiveBit) {
      if (++spins > 64) std::this_thread::yield();
    }
    cc.upgrade_complete_.store(true, std::memory_order_release);
  }
  unsigned spins = 0;
  while (!cc.upgrade_complete_.load(std::memory_order_acquire)) {
    if (++spins > 64) std::this_thread::yield();
  }
  pthread_rwlock_wrlock(&cc.rw_);
}

ConcurrencyControl::Exclusive::~Exclusive() { pthread_rwlock_unlock(&cc_.rw_); }

ConcurrencyControl& concurrency_control() {
  static auto* cc = new ConcurrencyControl();
  return *cc;
}

}  // namespace kelm::tree
