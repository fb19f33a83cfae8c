// The persistent log behind the log seam: the segmented file `db`, IO
// buffers, reservations, segment accounting, snapshots, recovery and the
// periodic flusher. Engine start reaches it through log_backend(cfg).
#pragma once

#include <memory>

#include "kv/pagecache/iobuf.h"
#include "kv/pagecache/log_api.h"

namespace kelm::config {
struct RunningConfig;
}

namespace kelm::pagecache {

class SegmentedBackend final : public LogBackend {
 public:
  Result<Snapshot> read_snapshot_or_default(const config::RunningConfig& cfg) override;
  Result<std::unique_ptr<Log>> start(const config::RunningConfig& cfg, const Snapshot& snapshot) override;
  std::unique_ptr<FlusherHandle> start_flusher(Log& log, CleanStep clean, uint64_t period_ms,
                                               std::shared_ptr<void> keepalive) override;
};

SegmentedBackend& segmented_backend();

// The log configuration of a running engine (directory, segment size,
// temporary flag, the open `db`).
LogConfig log_config_of(const config::RunningConfig& cfg);

// The IO buffers of a log this backend started (tests and diagnostics).
IoBufs* iobufs_of(Log& log);

}  // namespace kelm::pagecache
