#include "kv/pagecache/logger_backend.h"

#include <fmt/format.h>

#include "common/log.h"
#include "kv/config/config.h"
#include "kv/epoch/epoch.h"
#include "kv/flusher/flusher.h"
#include "kv/pagecache/blob_io.h"
#include "kv/pagecache/logger.h"
#include "kv/pagecache/recovery.h"
#include "kv/serialization/bodies.h"
#include "kv/sync/concurrency_control.h"

namespace kelm::pagecache {

namespace {

constexpr const char* kTarget = "kelm::pagecache";

// `db` as opened and locked by the configuration, seen through the file
// interface; it keeps the open file (and so its lock) alive.
class LockedLogFile final : public File {
 public:
  explicit LockedLogFile(std::shared_ptr<config::LogFile> f) : owner_(std::move(f)), fd_(owner_->fd()) {}
  IoResult<size_t> read_at(uint8_t* buf, size_t n, uint64_t offset) override { return fd_.read_at(buf, n, offset); }
  IoResult<size_t> write_at(const uint8_t* buf, size_t n, uint64_t offset) override {
    return fd_.write_at(buf, n, offset);
  }
  IoResult<void> sync_data() override { return fd_.sync_data(); }
  IoResult<void> sync_all() override { return fd_.sync_all(); }
  void sync_range_hint(uint64_t offset, uint64_t len) override { fd_.sync_range_hint(offset, len); }
  IoResult<uint64_t> len() override { return fd_.len(); }
  IoResult<void> set_len(uint64_t len) override { return fd_.set_len(len); }
  ~LockedLogFile() override { fd_.release(); }

 private:
  std::shared_ptr<config::LogFile> owner_;
  PosixFile fd_;  // borrowed descriptor, released (not closed) on destruction
};

std::vector<FragmentInfo> infos_of(const std::vector<CacheInfo>& v) {
  std::vector<FragmentInfo> out;
  out.reserve(v.size());
  for (const auto& c : v) out.push_back({c.lsn, c.pointer, c.log_size});
  return out;
}
FragmentInfo info_of(const CacheInfo& c) { return {c.lsn, c.pointer, c.log_size}; }

class SegmentedReservation final : public ReservationImpl {
 public:
  explicit SegmentedReservation(IoReservation r) : r_(std::move(r)) {}
  Lsn lsn() const override { return r_.lsn(); }
  DiskPtr pointer() const override { return r_.pointer(); }
  LogOffset log_offset() const override { return r_.pointer().offset; }
  uint64_t log_size() const override { return r_.log_size(); }
  Result<std::pair<Lsn, DiskPtr>> complete() override { return r_.complete(); }
  Result<std::pair<Lsn, DiskPtr>> abort() override { return r_.abort(); }
  Result<void> mark_batch_manifest(Lsn peg) override { return r_.mark_batch_manifest(peg); }
  void finish_on_drop() noexcept override {}  // the IoReservation cancels itself when destroyed
  IoReservation& inner() { return r_; }

 private:
  IoReservation r_;
};

class SegmentedLog final : public Log {
 public:
  SegmentedLog(std::shared_ptr<IoBufs> bufs) : bufs_(std::move(bufs)) {}
  ~SegmentedLog() override { bufs_->shutdown(); }

  IoBufs& bufs() { return *bufs_; }

  Result<Reservation> reserve(LogKind kind, PageId pid, const Body& body) override {
    const uint64_t len = serialization::serialized_size(body);
    auto r = bufs_->reserve(kind, pid, len, [&body](std::span<uint8_t> out) {
      return serialization::serialize_body(body, out);
    });
    if (!r) return std::unexpected(r.error());
    return Reservation(std::make_unique<SegmentedReservation>(std::move(*r)));
  }

  Result<Reservation> reserve_blob_rewrite(PageId pid, Lsn blob_id) override {
    auto r = bufs_->reserve(LogKind::Replace, pid, 0, [](std::span<uint8_t>) { return true; }, blob_id);
    if (!r) return std::unexpected(r.error());
    return Reservation(std::make_unique<SegmentedReservation>(std::move(*r)));
  }

  Lsn max_reserved_lsn() const override { return bufs_->highest_reserved_lsn(); }
  Lsn stable_lsn() const override { return bufs_->stable_lsn(); }

  Result<void> roll_iobuf() override {
    auto r = bufs_->roll();
    if (!r) return std::unexpected(r.error());
    return {};
  }

  Result<void> mark_batch(Lsn manifest_lsn, Lsn required_lsn) override {
    return bufs_->mark_batch(manifest_lsn, required_lsn);
  }

  Result<uint64_t> flush() override {
    auto shared = tree::concurrency_control().read();
    return bufs_->flush();
  }

  Result<void> make_stable(Lsn lsn) override {
    auto r = bufs_->make_stable(lsn, false);
    if (!r) return std::unexpected(r.error());
    return {};
  }

  Result<Update> read_message(PageId pid, Lsn lsn, DiskPtr ptr) override {
    const LogConfig& config = bufs_->config();
    ZLOG(Trace, kTarget, "pulling pid {} lsn {} pointer {} from disk", pid, lsn, ptr.debug());
    if (lsn < 0) return std::unexpected(Error::corruption(ptr));
    const uint64_t expected = static_cast<uint64_t>(lsn) / config.segment_size;
    auto read = read_at_pointer(pid, lsn, ptr, expected);
    if (!read) {
      ZLOG(Debug, kTarget, "failed to read page: {}", read.error().display());
      return std::unexpected(read.error());
    }
    if (!read->is(LogRead::Kind::Inline) && !read->is(LogRead::Kind::Blob)) {
      ZLOG(Debug, kTarget, "read unexpected page: {}", read->debug());
      return std::unexpected(Error::corruption(ptr));
    }
    // The message passed its checksum; a mismatch here is a broken
    // invariant, reported as corruption at the pointer.
    if (read->header.pid != pid || read->header.segment_number != expected) {
      ZLOG(Error, kTarget, "expected pid {} segment number {} on pull of pointer {}, but got {}", pid, expected,
           ptr.debug(), read->header.debug());
      return std::unexpected(Error::corruption(ptr));
    }
    auto update = serialization::deserialize_update(read->header.kind, pid, read->data);
    if (!update && update.error().is<Error::Corruption>()) return std::unexpected(Error::corruption(ptr));
    return update;
  }

  bool try_lock_accountant() override {
    // Taken, not tried: the page cache's deferred accounting would otherwise
    // reach the accountant only after the writer may have retired the
    // segment it describes, freeing live data.
    bufs_->lock_accountant();
    return true;
  }
  void unlock_accountant() override { bufs_->unlock_accountant(); }

  Result<void> mark_replace(PageId pid, Lsn lsn, const std::vector<CacheInfo>& old_frags,
                            const CacheInfo& new_frag) override {
    auto old = infos_of(old_frags);
    return bufs_->accountant().mark_replace(pid, lsn, old, info_of(new_frag));
  }
  Result<void> mark_link(PageId pid, const CacheInfo& frag) override {
    return bufs_->accountant().mark_link(pid, info_of(frag));
  }
  std::optional<std::pair<PageId, LogOffset>> pop_segment_to_clean() override { return bufs_->cleaner()->pop(); }

  std::string debug() const override {
    return fmt::format("Log {{ config: {}, iobufs: IoBufs {{ buf: {} }} }}", bufs_->config().path.string(),
                       static_cast<const void*>(bufs_->current().get()));
  }

 private:
  Result<LogRead> read_at_pointer(PageId pid, Lsn lsn, DiskPtr ptr, uint64_t expected) {
    ZLOG(Trace, "kelm::pagecache::logger", "reading log lsn {} ptr {}", lsn, ptr.debug());
    const LogConfig& config = bufs_->config();
    if (ptr.is_inline()) {
      if (auto r = bufs_->make_stable(lsn, true); !r) return std::unexpected(r.error());
      return pagecache::read_message(config, ptr.offset, expected);
    }
    if (auto r = bufs_->make_stable(ptr.blob, true); !r) return std::unexpected(r.error());
    auto blob = blob_io::load_blob(config.path, ptr.blob);
    if (!blob) return std::unexpected(blob.error());
    LogRead out;
    out.kind = LogRead::Kind::Blob;
    out.header = MessageHeader{0, blob->kind, expected, pid, 0};
    out.data = std::move(blob->data);
    out.blob_id = ptr.blob;
    return out;
  }

  std::shared_ptr<IoBufs> bufs_;
};

class SegmentedFlusher final : public FlusherHandle {
 public:
  explicit SegmentedFlusher(std::unique_ptr<flusher::Flusher> f) : f_(std::move(f)) {}
  ~SegmentedFlusher() override { f_->stop(); }

 private:
  std::unique_ptr<flusher::Flusher> f_;
};

}  // namespace

LogConfig log_config_of(const config::RunningConfig& cfg) {
  LogConfig c;
  c.path = cfg.get_path();
  c.segment_size = cfg->segment_size;
  c.temporary = cfg->temporary;
  c.file = std::make_shared<LockedLogFile>(cfg.file);
  return c;
}

IoBufs* iobufs_of(Log& log) {
  auto* s = dynamic_cast<SegmentedLog*>(&log);
  return s ? &s->bufs() : nullptr;
}

Result<Snapshot> SegmentedBackend::read_snapshot_or_default(const config::RunningConfig& cfg) {
  return pagecache::read_snapshot_or_default(log_config_of(cfg));
}

Result<std::unique_ptr<Log>> SegmentedBackend::start(const config::RunningConfig& cfg, const Snapshot& snapshot) {
  LogConfig config = log_config_of(cfg);
  auto sa = std::make_unique<SegmentAccountant>(config, std::make_shared<SegmentCleaner>());
  if (auto r = sa->initialize_from_snapshot(snapshot); !r) return std::unexpected(r.error());
  const RecoveredTip tip = recovered_tip(snapshot, config.segment_size);
  Lsn next_lsn;
  LogOffset next_lid;
  bool fresh;
  if (tip.lid && tip.lsn) {
    ZLOG(Debug, "kelm::pagecache::iobuf", "starting log at recovered active offset {}, recovered lsn {}", *tip.lid,
         *tip.lsn);
    next_lid = *tip.lid;
    next_lsn = *tip.lsn;
    fresh = false;
  } else if (tip.lsn) {
    auto lid = sa->next(*tip.lsn);
    if (!lid) return std::unexpected(lid.error());
    ZLOG(Debug, "kelm::pagecache::iobuf", "starting log at clean offset {}, recovered lsn {}", *lid, *tip.lsn);
    next_lid = *lid;
    next_lsn = *tip.lsn;
    fresh = true;
  } else {
    ZLOG(Debug, "kelm::pagecache::iobuf", "starting log for a totally fresh system");
    auto lid = sa->next(0);
    if (!lid) return std::unexpected(lid.error());
    next_lid = *lid;
    next_lsn = 0;
    fresh = true;
  }
  IoBufs::Options opts;
  opts.config = config;
  opts.errors = cfg->global_error;
  opts.defer = [](std::function<void()> task) {
    {
      auto guard = pin();
      guard.defer(std::move(task));
    }
    // Runs this thread's deferred tasks whose epoch has passed (this one too,
    // when no reader is still pinned), so raises never wait for unrelated
    // activity on this pool thread.
    Guard::flush_thread();
  };
  auto bufs = IoBufs::start(std::move(opts), std::move(sa), next_lsn, next_lid, fresh);
  if (!bufs) return std::unexpected(bufs.error());
  return std::unique_ptr<Log>(std::make_unique<SegmentedLog>(std::move(*bufs)));
}

std::unique_ptr<FlusherHandle> SegmentedBackend::start_flusher(Log& log, CleanStep clean, uint64_t period_ms,
                                                               std::shared_ptr<void> keepalive) {
  IoBufs* bufs = iobufs_of(log);
  if (!bufs) return nullptr;
  std::shared_ptr<IoBufs> shared = bufs->shared_from_this();
  flusher::Hooks hooks;
  hooks.roll = [shared, keepalive]() -> Result<uint64_t> {
    auto gate = tree::concurrency_control().read();
    return shared->roll();
  };
  hooks.clean_step = [shared, clean = std::move(clean)]() -> Result<bool> {
    auto gate = tree::concurrency_control().read();
    const bool work = !shared->cleaner()->empty();
    if (auto r = clean(); !r) return std::unexpected(r.error());
    return work;
  };
  hooks.sync = [shared]() -> IoResult<void> {
    if (shared->config().temporary) return {};
    return shared->sync_written(true);
  };
  hooks.set_global_error = [shared](const Error& e) { shared->errors()->set(e); };
  auto f = flusher::Flusher::start(period_ms, std::move(hooks));
  if (!f) {
    ZLOG(Error, "kelm::flusher", "failed to start the log flusher: {}", f.error().display());
    return nullptr;
  }
  return std::make_unique<SegmentedFlusher>(std::move(*f));
}

SegmentedBackend& segmented_backend() {
  static SegmentedBackend b;
  return b;
}

}  // namespace kelm::pagecache
