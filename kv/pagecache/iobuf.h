// The log writer: a chain of in-memory IO buffers over the segments of `db`.
//
// A writer claims a slot in the current buffer with one compare-and-swap of
// the buffer's header word, fills it (header, then body) and releases it. A
// buffer is sealed when a claim does not fit, when a caller needs its bytes
// durable (make_stable), or when it is rolled; the last writer to leave a
// sealed buffer hands it to the IO pool, which writes it at its file offset.
// Its lsn range counts as written once a later sync of the file covers it
// (sync_written: one fdatasync for every buffer written before it). The
// stable lsn is the contiguous written prefix, held back by unfinished
// batches.
//
// Header word of a buffer:
//   bits 0-23  offset claimed so far (includes the segment header)
//   bits 24-30 writers inside (at most 127)
//   bit 31     sealed
//   bit 32     maxed: the rest of the segment is given up; the next buffer
//              starts the next segment
//
// The first background failure (a failed write or sync, no next segment) is
// recorded in the error slot; from then on every claim, wait and flush
// returns it and no buffer is written any more.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "kv/error.h"
#include "kv/pagecache/error_slot.h"
#include "kv/pagecache/iobuf_intervals.h"
#include "kv/pagecache/log_config.h"
#include "kv/pagecache/message.h"
#include "kv/pagecache/segment.h"

namespace kelm::pagecache {

inline constexpr uint64_t kWriterLimit = 127;
inline constexpr uint64_t kMaxClaim = uint64_t{1} << 24;

namespace header {
inline uint64_t offset(uint64_t h) { return h & 0xFF'FFFF; }
inline uint64_t n_writers(uint64_t h) { return (h >> 24) & 0x7F; }
inline bool is_sealed(uint64_t h) { return h & (uint64_t{1} << 31); }
inline bool is_maxed(uint64_t h) { return h & (uint64_t{1} << 32); }
inline constexpr uint64_t kOneWriter = uint64_t{1} << 24;
inline constexpr uint64_t kSealed = uint64_t{1} << 31;
inline constexpr uint64_t kMaxed = uint64_t{1} << 32;
}  // namespace header

// One buffer: a window of a segment's memory block, from `base` to the end
// of the segment. All buffers of one segment share the block.
struct alignas(128) IoBuf {
  alignas(128) std::atomic<uint64_t> header{0};
  alignas(128) std::shared_ptr<uint8_t> memory;  // segment_size bytes, 8192-aligned
  size_t base = 0;
  LogOffset log_offset = 0;
  Lsn lsn = 0;
  size_t capacity = 0;
  Lsn segment_header_stable_lsn = -1;

  uint8_t* data() const { return memory.get() + base; }
  // Makes a fresh buffer begin a segment: the 20-byte segment header, and a
  // header word claiming it.
  void store_segment_header(Lsn lsn, Lsn max_stable_lsn);
};

class IoReservation;

class IoBufs : public std::enable_shared_from_this<IoBufs> {
 public:
  struct Options {
    LogConfig config;
    std::shared_ptr<ErrorSlot> errors = std::make_shared<ErrorSlot>();
    // Runs a task once every thread that may still read old page locations
    // has moved on (epoch reclamation); runs it at once when not set.
    std::function<void(std::function<void()>)> defer;
  };

  // Starts the log at (next_lsn, next_lid). With fresh_segment the first
  // buffer begins a new segment and gets its segment header.
  static Result<std::shared_ptr<IoBufs>> start(Options options, std::unique_ptr<SegmentAccountant> accountant,
                                               Lsn next_lsn, LogOffset next_lid, bool fresh_segment);
  ~IoBufs();

  // Writes the body of `len` bytes into exactly the span it is given; false
  // when it did not fill it (a caller defect).
  using BodyWriter = std::function<bool(std::span<uint8_t>)>;

  // Claims a slot for one message and writes header and body into it (or
  // the body into a new blob file and its id into the slot). With
  // blob_rewrite, logs that existing blob id again instead.
  Result<IoReservation> reserve(LogKind kind, PageId pid, uint64_t len, const BodyWriter& write,
                                std::optional<Lsn> blob_rewrite = std::nullopt);

  // Seals the current buffer if it holds data; bytes sealed.
  Result<uint64_t> roll();
  // Waits until lsn is durable (or, with accept_written, merely written);
  // bytes by which the stable lsn grew during the call.
  Result<uint64_t> make_stable(Lsn lsn, bool accept_written);
  // make_stable(highest reserved lsn).
  Result<uint64_t> flush();
  Result<void> mark_batch(Lsn low, Lsn high);

  Lsn stable_lsn() const { return stable_lsn_.load(); }
  Lsn highest_reserved_lsn() const { return highest_reserved_lsn_.load(); }
  Lsn max_header_stable_lsn() const { return max_header_stable_lsn_.load(); }
  const LogConfig& config() const { return options_.config; }
  const std::shared_ptr<ErrorSlot>& errors() const { return options_.errors; }
  std::shared_ptr<IoBuf> current() const;

  // The segment accountant: page-cache callers only try the lock and defer
  // their accounting when it is busy; the writer and the sealer block on it.
  bool try_lock_accountant() { return sa_mu_.try_lock(); }
  void lock_accountant() { sa_mu_.lock(); }
  void unlock_accountant() { sa_mu_.unlock(); }
  SegmentAccountant& accountant() { return *sa_; }  // with the lock held
  const std::shared_ptr<SegmentCleaner>& cleaner() const { return sa_->cleaner(); }

  // Accounting that found the accountant busy; applied by the next holder
  // of the lock (the page cache or the writer), newest first.
  struct PendingOp {
    bool link;
    PageId pid;
    Lsn lsn;
    std::vector<FragmentInfo> old_infos;
    FragmentInfo new_info;
  };
  void push_pending(PendingOp op);
  // With the lock held.
  Result<void> apply_pending();

  // The teardown of the log handle: flush and sync, unless the log has
  // stopped on an error. Idempotent.
  void shutdown();

  // Syncs the file once and marks every buffer written before the sync as
  // durable. Written buffers of a persistent log wait for this: one sync
  // serves all the buffers written since the last (the periodic flusher,
  // make_stable and a large backlog call it). A failed sync stops the log.
  // With block_on_accountant false, segment retirement is left to the next
  // sync when the accountant is busy.
  IoResult<void> sync_written(bool block_on_accountant);

  // Used by reservations.
  Result<void> exit_reservation(const std::shared_ptr<IoBuf>& buf);
  // With `write_here`, a buffer the seal leaves without writers is written
  // by the calling thread (a caller that waits for it anyway) instead of by
  // an IO-pool job.
  Result<void> maybe_seal_and_write(const std::shared_ptr<IoBuf>& buf, uint64_t h, bool from_reserve,
                                    bool write_here = false);

 private:
  explicit IoBufs(Options options) : options_(std::move(options)) {}
  std::optional<Error> stored_error() const { return options_.errors->get(); }
  Error stop_with(const Error& e);  // records e, wakes waiters, returns the stored error
  void wake_waiters();
  void submit_write(std::shared_ptr<IoBuf> buf, bool from_seal);
  // The body of the buffer-write job: writes, and on failure stores the
  // error and wakes every waiter.
  void write_or_stop(const std::shared_ptr<IoBuf>& buf, bool from_seal, bool sync_follows);
  // `sync_follows`: the caller is a waiter in make_stable, which syncs the
  // file right after (so no early writeback is started and no backlog sync
  // is run here) and may hold the segment accountant (so it is not waited
  // for).
  Result<void> write_to_log(const std::shared_ptr<IoBuf>& buf, bool sync_follows = false);

  // One buffer written to the file: its lsn, the lsn count it completes and
  // the header-stable lsn it carries.
  struct Written {
    Lsn lsn;
    uint64_t complete_len;
    Lsn header_stable;
  };
  // Unsynced bytes (in segments) at which the writing job syncs itself, so
  // that pages wait for durability only briefly without a flusher.
  static constexpr uint64_t kUnsyncedLimitSegments = 4;
  // Marks the ranges durable, raises the header-stable lsn and retires the
  // segments below it.
  Result<void> mark_durable(std::span<const Written> ws, bool block_on_accountant);
  bool has_unsynced() {
    std::lock_guard lock(unsynced_mu_);
    return !unsynced_.empty();
  }

  Options options_;
  std::unique_ptr<SegmentAccountant> sa_;
  std::mutex sa_mu_;

  mutable std::mutex buf_mu_;
  std::shared_ptr<IoBuf> buf_;

  std::mutex intervals_mu_;
  std::condition_variable stability_;
  std::unique_ptr<Intervals> intervals_;

  std::atomic<Lsn> stable_lsn_{-1};
  std::atomic<Lsn> highest_reserved_lsn_{-1};
  std::atomic<Lsn> max_header_stable_lsn_{0};

  std::mutex pending_mu_;
  std::vector<PendingOp> pending_;

  std::atomic<bool> shut_down_{false};

  std::mutex unsynced_mu_;
  std::vector<Written> unsynced_;
  uint64_t unsynced_bytes_ = 0;
};

// One claimed slot. The caller records the message with the segment
// accountant before it finishes the slot: an unfinished slot keeps its buffer
// from being written, so its segment stays Active until then, while a
// finished one may be written and its segment retired at once.
// Finished exactly once: complete() stamps the checksum,
// abort() turns the message into Canceled (removing a blob it created), and
// a reservation dropped unfinished is cancelled (a failure of that is
// recorded in the error slot). Finishing releases the claim, which may hand
// the sealed buffer to the writer.
class IoReservation {
 public:
  IoReservation(IoReservation&& o) noexcept;
  IoReservation& operator=(IoReservation&&) = delete;
  IoReservation(const IoReservation&) = delete;
  ~IoReservation();

  Lsn lsn() const { return lsn_; }
  DiskPtr pointer() const { return pointer_; }
  uint64_t log_size() const { return slot_.size(); }
  std::span<uint8_t> slot() const { return slot_; }
  const std::shared_ptr<IoBuf>& buffer() const { return buf_; }

  Result<std::pair<Lsn, DiskPtr>> complete();
  Result<std::pair<Lsn, DiskPtr>> abort();
  // Batch manifests: sets the kind byte and the required stable lsn.
  Result<void> mark_batch_manifest(Lsn peg);

 private:
  friend class IoBufs;
  IoReservation(std::shared_ptr<IoBufs> log, std::shared_ptr<IoBuf> buf, std::span<uint8_t> slot, size_t header_len,
                Lsn lsn, DiskPtr pointer, bool blob_rewrite)
      : log_(std::move(log)),
        buf_(std::move(buf)),
        slot_(slot),
        header_len_(header_len),
        lsn_(lsn),
        pointer_(pointer),
        blob_rewrite_(blob_rewrite) {}
  Result<std::pair<Lsn, DiskPtr>> finish(bool valid);

  std::shared_ptr<IoBufs> log_;
  std::shared_ptr<IoBuf> buf_;
  std::span<uint8_t> slot_;
  size_t header_len_;
  Lsn lsn_;
  DiskPtr pointer_;
  bool blob_rewrite_;
  bool flushed_ = false;
};

}  // namespace kelm::pagecache
