// The process-wide concurrency control: tree point operations, iteration
// steps and log flushes take the shared side; write batches and log snapshots
// take the exclusive side.
//
// A counting word serves the shared side cheaply until the first exclusive
// use: bit 31 set means exclusive mode is required. After that, shared
// holders go through the reader-writer lock for the rest of the process.
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>

namespace kelm::tree {

class ConcurrencyControl {
 public:
  class Shared {
   public:
    explicit Shared(ConcurrencyControl& cc);
    ~Shared();
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

   private:
    ConcurrencyControl& cc_;
    bool via_rw_;
  };
  class Exclusive {
   public:
    explicit Exclusive(ConcurrencyControl& cc);
    ~Exclusive();
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;

   private:
    ConcurrencyControl& cc_;
  };

  ConcurrencyControl();
  ~ConcurrencyControl();
  ConcurrencyControl(const ConcurrencyControl&) = delete;
  ConcurrencyControl& operator=(const ConcurrencyControl&) = delete;

  Shared read() { return Shared(*this); }
  Exclusive write() { return Exclusive(*this); }

 private:
  static constexpr uint32_t kExclusiveBit = 1u << 31;
  std::atomic<uint32_t> active_{0};
  std::atomic<bool> upgrade_complete_{false};
  // Writer-preferring, so a batch is not starved by a steady stream of
  // overlapping readers.
  pthread_rwlock_t rw_;
};

// Created on first use, never freed.
ConcurrencyControl& concurrency_control();

}  // namespace kelm::tree
