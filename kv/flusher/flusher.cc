#include "kv/flusher/flusher.h"

#include <chrono>
#include <system_error>

#include "common/log.h"
#include "common/thread_name.h"

namespace kelm::flusher {

namespace {
constexpr const char* kTarget = "kelm::flusher";
using Clock = std::chrono::steady_clock;
}  // namespace

Result<std::unique_ptr<Flusher>> Flusher::start(uint64_t period_ms, Hooks hooks) {
  std::unique_ptr<Flusher> f(new Flusher());
  f->shared_ = std::make_shared<Shared>();
  try {
    f->thread_ = std::thread(&Flusher::run, f->shared_, std::move(hooks), period_ms);
  } catch (const std::system_error& e) {
    return std::unexpected(Error::io(zudizid::common::IoError::from_os(e.code().value())));
  }
  return f;
}

FlusherState Flusher::state() const {
  std::lock_guard lock(shared_->mu);
  return shared_->state;
}

void Flusher::stop() {
  std::lock_guard join_lock(join_mu_);
  {
    std::unique_lock lock(shared_->mu);
    if (shared_->state == FlusherState::Running) {
      shared_->state = FlusherState::Stopping;
      shared_->cv.notify_all();
    }
    while (shared_->state != FlusherState::Stopped) shared_->cv.wait_for(lock, std::chrono::milliseconds(100));
  }
  if (thread_.joinable()) thread_.join();
}

void Flusher::run(std::shared_ptr<Shared> shared, Hooks hooks, uint64_t period_ms) {
  zudizid::common::set_current_thread_name("log flusher");
  const auto period = std::chrono::milliseconds(period_ms);
  const auto half = period / 2;
  std::unique_lock lock(shared->mu);
  auto end = [&] {
    shared->state = FlusherState::Stopped;
    lock.unlock();
    shared->cv.notify_all();
  };
  if (shared->state != FlusherState::Running) return end();

  for (;;) {
    const auto pass_start = Clock::now();
    auto rolled = hooks.roll();
    if (!rolled) {
      ZLOG(Error, kTarget, "failed to flush from periodic flush thread: {}", rolled.error().display());
      return end();
    }
    const uint64_t wrote_data = *rolled;
    if (shared->state != FlusherState::Running) {
      if (wrote_data == 0) return end();
      continue;  // stopping: drain the buffers without cleaning, syncing or sleeping
    }

    for (;;) {
      auto progressed = hooks.clean_step();
      if (!progressed) {
        ZLOG(Error, kTarget, "failed to clean file from periodic flush thread: {}", progressed.error().display());
        return end();
      }
      if (!*progressed || shared->state != FlusherState::Running || Clock::now() - pass_start >= half) break;
    }

    if (auto synced = hooks.sync(); !synced) {
      // The log's promise of durability no longer holds: stop the log.
      ZLOG(Error, kTarget, "failed to fsync from periodic flush thread: {}", synced.error().display());
      if (hooks.set_global_error) hooks.set_global_error(Error::io(synced.error()));
    }

    const auto elapsed = Clock::now() - pass_start;
    const auto sleep = elapsed > period ? std::chrono::milliseconds(1)
                                        : std::chrono::duration_cast<std::chrono::milliseconds>(period - elapsed);
    if (shared->state == FlusherState::Running) shared->cv.wait_for(lock, sleep);
    if (shared->state != FlusherState::Running && wrote_data == 0) return end();
  }
}

}  // namespace kelm::flusher
