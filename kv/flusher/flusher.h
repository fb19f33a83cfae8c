// The periodic "log flusher" thread of one open engine.
//
// Every period it rolls the IO buffers (sealing what was written since and
// handing it to the writer), spends at most half the period relocating pages
// out of segments queued for cleaning, and syncs the log file. Stopping asks
// the thread to finish, lets it roll until a roll seals nothing (so a closing
// engine drains its buffers), and joins it.
//
// The thread holds its shutdown mutex for a whole pass and releases it only
// while it sleeps, so a stop request is always seen at a wake-up.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "kv/error.h"
#include "kv/file_io.h"

namespace kelm::flusher {

enum class FlusherState : uint8_t { Running = 0, Stopping = 1, Stopped = 2 };

// What the thread does, supplied by the engine.
struct Hooks {
  // Seals the current IO buffer if it holds data; bytes sealed (0: none).
  std::function<Result<uint64_t>()> roll;
  // One cleaning step; true when a page was relocated.
  std::function<Result<bool>()> clean_step;
  // Makes the log file durable.
  std::function<IoResult<void>()> sync;
  // Records a background failure so every later log call returns it.
  std::function<void(const Error&)> set_global_error;
};

class Flusher {
 public:
  // Starts the thread; an Io error when the system refuses a thread.
  static Result<std::unique_ptr<Flusher>> start(uint64_t period_ms, Hooks hooks);
  ~Flusher() { stop(); }
  Flusher(const Flusher&) = delete;
  Flusher& operator=(const Flusher&) = delete;

  // Asks the thread to stop, waits until it has, joins it. Idempotent.
  void stop();
  FlusherState state() const;

 private:
  struct Shared {
    std::mutex mu;
    std::condition_variable cv;
    FlusherState state = FlusherState::Running;
  };
  Flusher() = default;
  static void run(std::shared_ptr<Shared> shared, Hooks hooks, uint64_t period_ms);

  std::shared_ptr<Shared> shared_;
  std::mutex join_mu_;
  std::thread thread_;
};

}  // namespace kelm::flusher
