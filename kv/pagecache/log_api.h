// The log seam: what the trees and the page cache need of the engine's
// persistent log, and what engine start needs of recovery.
//
// The page cache talks to a `Log` only through this header; the log
// implementation (segmented file, IO buffers, reservations, segment accountant,
// snapshots, recovery, flusher) lives behind it and is chosen by the
// `LogBackend` the engine configuration names (`log_backend(cfg)`).
//
// Contract highlights the page cache relies on:
// - `reserve` returns a recorded background error (the configuration's
//   global error slot) on every attempt; the body is serialised with the
//   functions of kv/serialization/bodies.h into the reserved bytes (or a blob).
// - A `Reservation` is finished exactly once: `complete` after the page
//   change it logs was installed, `abort` after the change lost its race;
//   dropped unfinished it is aborted, and a failure of that abort is recorded
//   in the global error slot.
// - `max_reserved_lsn` only grows; it covers the last byte of every
//   reservation handed out so far.
// - `flush` takes the shared side of the concurrency control itself and
//   makes everything reserved before the call durable; it returns the bytes
//   this call made stable (0 when there was nothing to do).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "kv/error.h"
#include "kv/pagecache/disk_ptr.h"
#include "kv/pagecache/page.h"

namespace kelm::config {
struct RunningConfig;
}

namespace kelm::pagecache {

// The kind byte of a log message.
enum class MessageKind : uint8_t {
  Corrupted = 0,
  Canceled = 1,
  Cap = 2,
  BatchManifest = 3,
  Free = 4,
  Counter = 5,
  InlineMeta = 6,
  BlobMeta = 7,
  InlineNode = 8,
  BlobNode = 9,
  InlineLink = 10,
  BlobLink = 11,
};

// The message kind for (pid, log kind, blob?); none for an invalid
// combination (an engine defect in the caller).
std::optional<MessageKind> message_kind_for(PageId pid, LogKind kind, bool blob);

// The item whose serialisation is a message body. Pointers refer to the
// caller's objects and are valid for the duration of the reserve call.
struct CounterBody {
  uint64_t value;
};
struct BatchManifestBody {};  // 8 zero bytes until the batch is sealed
using Body = std::variant<std::monostate /* Free: empty body */, const Node*, const Meta*, CounterBody, const Link*,
                          BatchManifestBody>;

// One claimed log message. Implemented by the log; the handle aborts an
// unfinished reservation when dropped.
class ReservationImpl {
 public:
  virtual ~ReservationImpl() = default;
  virtual Lsn lsn() const = 0;
  virtual DiskPtr pointer() const = 0;
  virtual LogOffset log_offset() const = 0;
  // Bytes the message takes in the log (header + inline body, or header +
  // 8-byte blob id).
  virtual uint64_t log_size() const = 0;
  virtual Result<std::pair<Lsn, DiskPtr>> complete() = 0;
  virtual Result<std::pair<Lsn, DiskPtr>> abort() = 0;
  // Batch manifests only: writes the kind byte BatchManifest and `peg`
  // (little-endian) into the reserved 8-byte body.
  virtual Result<void> mark_batch_manifest(Lsn peg) = 0;
  // Called by the handle's destructor; cancels an unfinished reservation and
  // records a failure in the global error slot. No-op once finished.
  virtual void finish_on_drop() noexcept = 0;
};

class Reservation {
 public:
  explicit Reservation(std::unique_ptr<ReservationImpl> impl) : impl_(std::move(impl)) {}
  Reservation(Reservation&&) noexcept = default;
  Reservation& operator=(Reservation&& o) noexcept {
    if (this != &o) {
      drop();
      impl_ = std::move(o.impl_);
    }
    return *this;
  }
  ~Reservation() { drop(); }

  Lsn lsn() const { return impl_->lsn(); }
  DiskPtr pointer() const { return impl_->pointer(); }
  LogOffset log_offset() const { return impl_->log_offset(); }
  uint64_t log_size() const { return impl_->log_size(); }
  Result<std::pair<Lsn, DiskPtr>> complete() { return impl_->complete(); }
  Result<std::pair<Lsn, DiskPtr>> abort() { return impl_->abort(); }
  Result<void> mark_batch_manifest(Lsn peg) { return impl_->mark_batch_manifest(peg); }
  ReservationImpl* impl() const { return impl_.get(); }

 private:
  void drop() noexcept {
    if (impl_) impl_->finish_on_drop();
    impl_.reset();
  }
  std::unique_ptr<ReservationImpl> impl_;
};

// What recovery hands to engine start.
struct Fragment {
  Lsn lsn = 0;
  DiskPtr ptr;
  uint64_t size = 0;
  friend bool operator==(const Fragment&, const Fragment&) = default;
};
struct PageState {
  enum class Kind : uint8_t { Present, Free, Uninitialized };
  Kind kind = Kind::Uninitialized;
  Fragment base;                // Present: base fragment; Free: the Free message
  std::vector<Fragment> frags;  // Present: further fragments, oldest first
  std::string debug() const;
};
struct Snapshot {
  std::optional<Lsn> stable_lsn;          // absent on a fresh database
  std::optional<LogOffset> active_segment;
  std::vector<PageState> pt;              // one per pid from 0 upwards
};

// The running log of one engine. Thread-safe.
class Log {
 public:
  virtual ~Log() = default;

  // Claims space for one message of `kind` for `pid` with the serialisation
  // of `body`: inline or blob by size, kind byte from message_kind_for.
  virtual Result<Reservation> reserve(LogKind kind, PageId pid, const Body& body) = 0;
  // Relocation of a page held as a single blob fragment: logs the same blob
  // id again (BlobNode, or BlobMeta for pid 0); the blob file is untouched
  // and is not removed if the reservation is aborted.
  virtual Result<Reservation> reserve_blob_rewrite(PageId pid, Lsn blob_id) = 0;

  // Highest reserved lsn (last byte of the latest reservation).
  virtual Lsn max_reserved_lsn() const = 0;
  // Lsn up to which the log is durable.
  virtual Lsn stable_lsn() const = 0;

  // Seals the current IO buffer if it holds data and hands it to be written.
  virtual Result<void> roll_iobuf() = 0;
  // Records (manifest lsn -> required stable lsn) for the stable-lsn
  // bookkeeping and recovery. ReportableBug when the manifest lsn is not
  // above the stable lsn.
  virtual Result<void> mark_batch(Lsn manifest_lsn, Lsn required_lsn) = 0;

  // Makes every reservation made before the call durable (holding the shared
  // side of the concurrency control); bytes made stable by this call.
  virtual Result<uint64_t> flush() = 0;
  // Makes the log durable at least up to `lsn` (blocks).
  virtual Result<void> make_stable(Lsn lsn) = 0;

  // The update stored in one fragment (CRC checked). Counter, Meta, Link or
  // Node; a Free message is ReportableBug "non-link/replace found in pull of
  // pid {}"; anything else unreadable is Corruption.
  virtual Result<Update> read_message(PageId pid, Lsn lsn, DiskPtr ptr) = 0;

  // Segment accountant. The lock is only ever tried by the page cache;
  // mark_replace / mark_link are called only while it is held.
  virtual bool try_lock_accountant() = 0;
  virtual void unlock_accountant() = 0;
  virtual Result<void> mark_replace(PageId pid, Lsn lsn, const std::vector<CacheInfo>& old_frags,
                                    const CacheInfo& new_frag) = 0;
  virtual Result<void> mark_link(PageId pid, const CacheInfo& frag) = 0;
  // One (pid, segment offset) pair to relocate, lowest segment first.
  virtual std::optional<std::pair<PageId, LogOffset>> pop_segment_to_clean() = 0;

  virtual std::string debug() const = 0;
};

// The background "log flusher" thread; dropping the handle stops and joins it.
class FlusherHandle {
 public:
  virtual ~FlusherHandle() = default;
};

// One cleaning step: relocate one queued page (the page cache's rewrite_page
// of a popped pair), provided by the page cache.
using CleanStep = std::function<Result<void>()>;

class LogBackend {
 public:
  virtual ~LogBackend() = default;
  // Recovery: the newest complete snapshot advanced over the log since.
  virtual Result<Snapshot> read_snapshot_or_default(const config::RunningConfig& cfg) = 0;
  // Segment accountant + IO buffers positioned where the log continues.
  virtual Result<std::unique_ptr<Log>> start(const config::RunningConfig& cfg, const Snapshot& snapshot) = 0;
  // Starts "log flusher": every period, make written data stable and synced,
  // then run `clean`. `keepalive` is held by the thread until it ends.
  virtual std::unique_ptr<FlusherHandle> start_flusher(Log& log, CleanStep clean, uint64_t period_ms,
                                                       std::shared_ptr<void> keepalive) = 0;
};

// The backend engine start uses: the one the configuration names, else the
// persistent segmented log.
LogBackend& log_backend(const config::RunningConfig& cfg);

}  // namespace kelm::pagecache
