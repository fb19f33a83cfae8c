// An in-process stand-in for the persistent log, behind the log seam. An
// engine runs on it when its configuration names it:
//   config.log_backend(kelm::pagecache::standin::backend());
//
// Messages live in a process-wide store per database directory, so an engine
// reopened in the same process recovers what the previous one made stable.
// It keeps the behaviour the page cache and trees rely on: lsns grow by the
// message's log size, reservations are completed or cancelled exactly once,
// `flush` waits for reservations in flight and advances the stable lsn, a
// message is readable only once it is stable, batch manifests cut recovery
// short when their batch is torn, and the global error slot stops the log.
//
// Tests use the hooks below to inject failures and to simulate a crash (drop
// everything after a given lsn).
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "kv/pagecache/log_api.h"

namespace kelm::pagecache::standin {

class Backend final : public LogBackend {
 public:
  Result<Snapshot> read_snapshot_or_default(const config::RunningConfig& cfg) override;
  Result<std::unique_ptr<Log>> start(const config::RunningConfig& cfg, const Snapshot& snapshot) override;
  std::unique_ptr<FlusherHandle> start_flusher(Log& log, CleanStep clean, uint64_t period_ms,
                                               std::shared_ptr<void> keepalive) override;
};

// The one instance; its stores and hooks are process-wide.
std::shared_ptr<Backend> backend();

// ---- test hooks (process-wide) ----
struct Faults {
  // Called before every reservation with (log kind, pid); an error fails it.
  std::function<std::optional<Error>(LogKind, PageId)> on_reserve;
  // Called by every segment-accounting call; an error fails it.
  std::function<std::optional<Error>()> on_account;
  // The disk stops making anything durable: flushes advance nothing.
  bool freeze_stable = false;
};
void set_faults(Faults f);
void clear_faults();

// Simulates a crash of the engine on `dir` (which must be closed): keeps the
// log only up to and including the message that ends at or before `keep_lsn`
// (default: the stable lsn at the time of the crash).
void crash(const std::filesystem::path& dir, std::optional<Lsn> keep_lsn = std::nullopt);
// Forgets the store of `dir` (a fresh directory again).
void forget(const std::filesystem::path& dir);
// Number of stored (not cancelled) messages for `dir`; and its last stable lsn.
size_t message_count(const std::filesystem::path& dir);
Lsn stable_lsn_of(const std::filesystem::path& dir);

}  // namespace kelm::pagecache::standin
