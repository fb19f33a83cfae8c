#include "kv/pagecache/iobuf.h"

#include <immintrin.h>
#include <sched.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fmt/format.h>

#include "common/log.h"
#include "kv/pagecache/blob_io.h"
#include "kv/threadpool/threadpool.h"

namespace kelm::pagecache {

namespace {
constexpr const char* kIoTarget = "kelm::pagecache::iobuf";
constexpr const char* kLogTarget = "kelm::pagecache::logger";
constexpr size_t kMemoryAlign = 8192;

Error bug(std::string text) { return Error::reportable_bug(std::move(text)); }

std::shared_ptr<uint8_t> alloc_segment(uint64_t segment_size) {
  size_t n = std::max<size_t>(segment_size, kMemoryAlign);
  void* p = std::aligned_alloc(kMemoryAlign, n);
  if (!p) return nullptr;
  std::memset(p, 0, n);
  return std::shared_ptr<uint8_t>(static_cast<uint8_t*>(p), [](uint8_t* q) { std::free(q); });
}

// Bounded backoff: pause hints first, then yielding.
struct Backoff {
  unsigned step = 0;
  void spin() {
    for (unsigned i = 0; i < (1u << std::min(step, 6u)); ++i) _mm_pause();
    if (step < 7) ++step;
  }
  void snooze() {
    if (step <= 6) {
      for (unsigned i = 0; i < (1u << step); ++i) _mm_pause();
    } else {
      sched_yield();
    }
    if (step < 11) ++step;
  }
};

void atomic_max(std::atomic<Lsn>& a, Lsn v) {
  Lsn cur = a.load();
  while (cur < v && !a.compare_exchange_weak(cur, v)) {
  }
}
}  // namespace

// ---- IoBuf -------------------------------------------------------------------

void IoBuf::store_segment_header(Lsn new_lsn, Lsn max_stable_lsn) {
  ZLOG(Debug, kIoTarget, "storing lsn {} in beginning of buffer", new_lsn);
  segment_header_stable_lsn = max_stable_lsn;
  lsn = new_lsn;
  encode_segment_header(new_lsn, max_stable_lsn, data());
  header.store(kSegHeaderLen);
}

// ---- IoBufs ------------------------------------------------------------------

Result<std::shared_ptr<IoBufs>> IoBufs::start(Options options, std::unique_ptr<SegmentAccountant> accountant,
                                              Lsn next_lsn, LogOffset next_lid, bool fresh_segment) {
  const uint64_t S = options.config.segment_size;
  if (next_lsn < static_cast<Lsn>(next_lid) || static_cast<uint64_t>(next_lsn) % S != next_lid % S)
    return std::unexpected(bug(fmt::format("log start lsn {} does not fit offset {}", next_lsn, next_lid)));
  std::shared_ptr<IoBufs> log(new IoBufs(std::move(options)));
  log->sa_ = std::move(accountant);
  auto buf = std::make_shared<IoBuf>();
  buf->memory = alloc_segment(S);
  if (!buf->memory)
    return std::unexpected(Error::io(zudizid::common::IoError(zudizid::common::IoErrorKind::OutOfMemory,
                                                              "failed to allocate critical IO buffer")));
  buf->base = next_lid % S;
  buf->capacity = S - buf->base;
  buf->log_offset = next_lid;
  buf->lsn = next_lsn;
  if (fresh_segment) {
    if (buf->base != 0) return std::unexpected(bug("a fresh segment must start at a segment boundary"));
    buf->store_segment_header(next_lsn, next_lsn - 1);
  }
  log->buf_ = std::move(buf);
  log->intervals_ = std::make_unique<Intervals>(next_lsn - 1);
  log->stable_lsn_ = next_lsn - 1;
  log->highest_reserved_lsn_ = next_lsn - 1;
  log->max_header_stable_lsn_ = next_lsn;
  ZLOG(Debug, kIoTarget, "starting IoBufs with next_lsn: {} next_lid: {}", next_lsn, next_lid);
  return log;
}

IoBufs::~IoBufs() = default;

std::shared_ptr<IoBuf> IoBufs::current() const {
  std::lock_guard lock(buf_mu_);
  return buf_;
}

void IoBufs::wake_waiters() {
  { std::lock_guard lock(intervals_mu_); }
  stability_.notify_all();
}

Error IoBufs::stop_with(const Error& e) {
  options_.errors->set(e);
  wake_waiters();
  return options_.errors->get().value_or(e);
}

Result<IoReservation> IoBufs::reserve(LogKind kind, PageId pid, uint64_t len, const BodyWriter& write,
                                      std::optional<Lsn> blob_rewrite) {
  const uint64_t S = options_.config.segment_size;
  const bool over = over_blob_threshold(len, S);
  if (over && blob_rewrite) return std::unexpected(bug("assertion failed: !(over_blob_threshold && blob_rewrite.is_some())"));
  const bool blob = over || blob_rewrite.has_value();
  auto kind_byte = choose_message_kind(pid, kind, blob);
  if (!kind_byte) return std::unexpected(kind_byte.error());
  const uint64_t body_len = blob ? 8 : len;

  Backoff backoff;
  bool logged_once = false;
  auto once = [&](const char* text) {
    if (!logged_once) ZLOG(Trace, kLogTarget, "{}", text);
    logged_once = true;
  };
  for (;;) {
    if (auto e = stored_error()) {
      wake_waiters();
      return std::unexpected(*e);
    }
    std::shared_ptr<IoBuf> buf = current();
    const uint64_t h = buf->header.load(std::memory_order_acquire);
    const uint64_t offset = header::offset(h);
    const Lsn res_lsn = buf->lsn + static_cast<Lsn>(offset);
    if (header::is_sealed(h)) {
      once("io buffer already sealed, spinning");
      backoff.snooze();
      continue;
    }
    MessageHeader mh{0, *kind_byte, static_cast<uint64_t>(buf->lsn) / S, pid, body_len};
    const size_t hl = mh.serialized_size();
    const uint64_t slot_len = hl + body_len;
    ZLOG(Trace, kLogTarget, "reserving buf of len {}", slot_len);
    if (offset + slot_len > buf->capacity || buf->capacity - offset < kMaxMsgHeaderLen) {
      once("io buffer too full, spinning");
      if (auto r = maybe_seal_and_write(buf, h, true); !r) return std::unexpected(r.error());
      backoff.spin();
      continue;
    }
    if (slot_len >= kMaxClaim) return std::unexpected(bug(fmt::format("claim of {} bytes is too large", slot_len)));
    const uint64_t bumped = h + slot_len;
    if (header::n_writers(bumped) == kWriterLimit) {
      if (!logged_once) ZLOG(Trace, kLogTarget, "spinning because our buffer has {} writers already", kWriterLimit);
      logged_once = true;
      backoff.snooze();
      continue;
    }
    uint64_t expected = h;
    if (!buf->header.compare_exchange_strong(expected, bumped + header::kOneWriter, std::memory_order_acq_rel)) {
      once("CAS failed while claiming buffer slot, spinning");
      backoff.spin();
      continue;
    }

    std::span<uint8_t> slot(buf->data() + offset, slot_len);
    const LogOffset lid = buf->log_offset + offset;
    ZLOG(Trace, kLogTarget, "reserved {} bytes at lsn {} lid {}", slot_len, res_lsn, lid);
    atomic_max(highest_reserved_lsn_, res_lsn + static_cast<Lsn>(slot_len) - 1);
    mh.serialize_into(slot.data());
    const Lsn blob_id = blob_rewrite.value_or(res_lsn);
    IoReservation res(shared_from_this(), buf, slot, hl, res_lsn,
                      blob ? DiskPtr::blob_at(lid, blob_id) : DiskPtr::inline_at(lid), blob_rewrite.has_value());
    if (!blob) {
      if (!write(slot.subspan(hl))) {
        (void)res.abort();
        return std::unexpected(bug(fmt::format(
            "trying to serialize header {} and item of {} bytes but there were buffer leftovers at the end",
            mh.debug(), len)));
      }
      return res;
    }
    store_u64_le(slot.data() + hl, static_cast<uint64_t>(blob_id));
    if (over) {
      std::vector<uint8_t> data(len);
      bool filled = write(data);
      Result<void> written = filled ? blob_io::write_blob(options_.config.path, res_lsn, *kind_byte, data, !options_.config.temporary)
                                    : Result<void>(std::unexpected(bug("blob body serializer did not fill its buffer")));
      if (!written) {
        // The claim must be released or its buffer is never written.
        (void)res.abort();
        return std::unexpected(written.error());
      }
      ZLOG(Trace, "kelm::pagecache::blob_io", "successfully wrote blob at {}",
           blob_io::blob_path(options_.config.path, res_lsn).string());
    }
    return res;
  }
}

Result<void> IoBufs::maybe_seal_and_write(const std::shared_ptr<IoBuf>& buf, uint64_t h, bool from_reserve,
                                          bool write_here) {
  const uint64_t S = options_.config.segment_size;
  if (header::is_sealed(h)) return {};
  const LogOffset log_offset = buf->log_offset;
  const Lsn lsn = buf->lsn;
  const size_t capacity = buf->capacity;
  if (header::offset(h) > capacity) return {};
  const uint64_t res_len = header::offset(h);
  const bool maxed = from_reserve || capacity - res_len < kMaxMsgHeaderLen;
  if (maxed) ZLOG(Trace, kIoTarget, "setting maxed to true for iobuf with lsn {}", lsn);
  const uint64_t sealed = h | header::kSealed | (maxed ? header::kMaxed : 0);
  uint64_t expected = h;
  if (!buf->header.compare_exchange_strong(expected, sealed, std::memory_order_acq_rel)) return {};
  ZLOG(Trace, kIoTarget, "sealed iobuf with lsn {}", lsn);

  auto next = std::make_shared<IoBuf>();
  if (maxed) {
    const Lsn next_lsn = (lsn / static_cast<Lsn>(S) + 1) * static_cast<Lsn>(S);
    ZLOG(Debug, kIoTarget, "rolling to new segment after clearing {}-{}", log_offset, log_offset + res_len);
    Result<LogOffset> next_offset = [&] {
      std::lock_guard lock(sa_mu_);
      return sa_->next(next_lsn);
    }();
    if (!next_offset) return std::unexpected(stop_with(next_offset.error()));
    next->memory = alloc_segment(S);
    if (!next->memory)
      return std::unexpected(stop_with(Error::io(zudizid::common::IoError(
          zudizid::common::IoErrorKind::OutOfMemory, "failed to allocate critical IO buffer"))));
    next->base = 0;
    next->log_offset = *next_offset;
    next->capacity = S;
    next->store_segment_header(next_lsn, stable_lsn_.load());
  } else {
    ZLOG(Debug, kIoTarget, "advancing offset within the current segment from {} to {}", log_offset,
         log_offset + res_len);
    if (capacity == res_len) return std::unexpected(stop_with(bug("advancing into an empty buffer")));
    next->memory = buf->memory;
    next->base = buf->base + res_len;
    next->log_offset = log_offset + res_len;
    next->lsn = lsn + static_cast<Lsn>(res_len);
    next->capacity = capacity - res_len;
  }
  {
    std::lock_guard lock(intervals_mu_);
    std::lock_guard buf_lock(buf_mu_);
    buf_ = std::move(next);
  }
  stability_.notify_all();

  if (header::n_writers(h) == 0) {
    if (auto e = stored_error()) return std::unexpected(*e);
    if (write_here) {
      ZLOG(Trace, kIoTarget, "writing iobuf with lsn {} to log from maybe_seal", lsn);
      write_or_stop(buf, true, true);
    } else {
      ZLOG(Trace, kIoTarget, "asynchronously writing iobuf with lsn {} to log from maybe_seal", lsn);
      submit_write(buf, true);
    }
  }
  return {};
}

Result<void> IoBufs::exit_reservation(const std::shared_ptr<IoBuf>& buf) {
  uint64_t h = buf->header.load(std::memory_order_acquire);
  for (;;) {
    if (header::n_writers(h) == 0) return std::unexpected(bug("released a buffer with no writers"));
    if (buf->header.compare_exchange_weak(h, h - header::kOneWriter, std::memory_order_acq_rel)) break;
  }
  const uint64_t now = h - header::kOneWriter;
  if (header::n_writers(now) == 0 && header::is_sealed(now)) {
    if (auto e = stored_error()) {
      wake_waiters();
      return std::unexpected(*e);
    }
    ZLOG(Trace, kLogTarget, "asynchronously writing iobuf with lsn {} to log from exit_reservation", buf->lsn);
    submit_write(buf, false);
  }
  return {};
}

void IoBufs::write_or_stop(const std::shared_ptr<IoBuf>& buf, bool from_seal, bool sync_follows) {
  if (auto r = write_to_log(buf, sync_follows); !r) {
    ZLOG(Error, from_seal ? kIoTarget : kLogTarget, "hit error while writing iobuf with lsn {}: {}", buf->lsn,
         r.error().display());
    options_.errors->set(r.error());
    // Wake every waiter: each one then finds the stored error.
    wake_waiters();
  }
}

void IoBufs::submit_write(std::shared_ptr<IoBuf> buf, bool from_seal) {
  auto self = shared_from_this();
  (void)threadpool::spawn(
      [self, buf = std::move(buf), from_seal]() -> int {
        self->write_or_stop(buf, from_seal, false);
        return 0;
      },
      options_.config.jobs);
}

Result<void> IoBufs::write_to_log(const std::shared_ptr<IoBuf>& buf, bool sync_follows) {
  const uint64_t S = options_.config.segment_size;
  if (buf->log_offset % S != static_cast<uint64_t>(buf->lsn) % S)
    return std::unexpected(bug("buffer offset and lsn disagree within the segment"));
  const uint64_t h = buf->header.load(std::memory_order_acquire);
  if (!header::is_sealed(h)) return std::unexpected(bug("assertion failed: header::is_sealed(header)"));
  const uint64_t bytes = header::offset(h);
  const bool maxed = header::is_maxed(h);
  const uint64_t remaining = buf->capacity - bytes;
  ZLOG(Trace, kIoTarget, "write_to_log log_offset {} lsn {} len {}", buf->log_offset, buf->lsn, bytes);
  if (maxed) {
    if (remaining >= kMaxMsgHeaderLen)
      write_cap(buf->data() + bytes, remaining, static_cast<uint64_t>(buf->lsn) / S);
    else
      std::memset(buf->data() + bytes, 0, remaining);
  }
  const uint64_t total = maxed ? buf->capacity : bytes;
  File& file = *options_.config.file;
  if (auto r = write_all_at(file, buf->data(), total, buf->log_offset); !r) return std::unexpected(Error::io(r.error()));
  Written w{buf->lsn, 0, buf->segment_header_stable_lsn};
  if (total > 0) {
    w.complete_len =
        maxed ? static_cast<uint64_t>((buf->lsn / static_cast<Lsn>(S) + 1) * static_cast<Lsn>(S) - buf->lsn) : total;
    ZLOG(Debug, kIoTarget, "wrote lsns {}-{} to disk at offsets {}-{}, maxed {} complete_len {}", buf->lsn,
         buf->lsn + static_cast<Lsn>(total) - 1, buf->log_offset, buf->log_offset + total - 1, maxed, w.complete_len);
  }
  if (options_.config.temporary) {
    std::vector<Written> one{w};
    // A waiter may hold the accountant: it is not waited for here.
    return mark_durable(one, !sync_follows);
  }
  // The sync is shared: the written range waits for the next sync of the
  // file (a flush, a reader or waiter that needs it, the periodic flusher,
  // or this job once the backlog grows large) and only then counts.
  if (total > 0 && !sync_follows) file.sync_range_hint(buf->log_offset, total);
  bool backlog_full = false;
  {
    std::lock_guard lock(unsynced_mu_);
    unsynced_.push_back(w);
    unsynced_bytes_ += total;
    backlog_full = unsynced_bytes_ >= kUnsyncedLimitSegments * S;
  }
  wake_waiters();
  if (backlog_full && !sync_follows) {
    if (auto r = sync_written(true); !r) return std::unexpected(Error::io(r.error()));
  }
  return {};
}

IoResult<void> IoBufs::sync_written(bool block_on_accountant) {
  std::vector<Written> ws;
  {
    std::lock_guard lock(unsynced_mu_);
    ws.swap(unsynced_);
    unsynced_bytes_ = 0;
  }
  if (options_.config.temporary) return {};
  // Only ranges written before this sync began are taken, so the sync covers
  // every one of them.
  if (auto r = options_.config.file->sync_data(); !r) {
    ZLOG(Error, kIoTarget, "hit error while syncing written iobufs: {}", r.error().display());
    (void)stop_with(Error::io(r.error()));
    return r;
  }
  if (ws.empty()) return {};
  if (auto r = mark_durable(ws, block_on_accountant); !r) {
    options_.errors->set(r.error());
    wake_waiters();
  }
  return {};
}

Result<void> IoBufs::mark_durable(std::span<const Written> ws, bool block_on_accountant) {
  for (const Written& w : ws) {
    if (w.complete_len > 0) {
      Result<Lsn> marked = [&] {
        std::lock_guard lock(intervals_mu_);
        auto r = intervals_->mark_interval(w.lsn, w.complete_len);
        if (r) stable_lsn_.store(*r);
        return r;
      }();
      stability_.notify_all();
      if (!marked) return std::unexpected(marked.error());
    }
    const Lsn header_stable = w.header_stable;
    // A weak reference: a deferred task must not keep the log (and its file
    // lock) alive after the engine is gone.
    auto raise = [weak = weak_from_this(), header_stable] {
      auto self = weak.lock();
      if (!self) return;
      ZLOG(Trace, kIoTarget, "bumping atomic header lsn to {}", header_stable);
      atomic_max(self->max_header_stable_lsn_, header_stable);
    };
    if (options_.defer)
      options_.defer(raise);
    else
      raise();
  }

  const Lsn mhs = max_header_stable_lsn_.load();
  // A waiter may already hold the accountant (page-cache accounting); then
  // the next writer or sync retires the segments.
  std::unique_lock lock(sa_mu_, std::defer_lock);
  if (block_on_accountant) {
    lock.lock();
  } else if (!lock.try_lock()) {
    return {};
  }
  if (auto r = apply_pending(); !r) return r;
  return sa_->stabilize(mhs);
}

void IoBufs::push_pending(PendingOp op) {
  std::lock_guard lock(pending_mu_);
  pending_.push_back(std::move(op));
}

Result<void> IoBufs::apply_pending() {
  std::vector<PendingOp> ops;
  {
    std::lock_guard lock(pending_mu_);
    ops.swap(pending_);
  }
  for (auto it = ops.rbegin(); it != ops.rend(); ++it) {
    auto r = it->link ? sa_->mark_link(it->pid, it->new_info)
                      : sa_->mark_replace(it->pid, it->lsn, it->old_infos, it->new_info);
    if (!r) return r;
  }
  return {};
}

Result<uint64_t> IoBufs::roll() {
  std::shared_ptr<IoBuf> buf = current();
  const uint64_t h = buf->header.load(std::memory_order_acquire);
  if (header::is_sealed(h)) {
    ZLOG(Trace, kIoTarget, "skipping roll_iobuf due to already-sealed header");
    return 0;
  }
  if (header::offset(h) == 0) {
    ZLOG(Trace, kIoTarget, "skipping roll_iobuf due to empty segment");
    return 0;
  }
  ZLOG(Trace, kIoTarget, "sealing ioubuf from  roll_iobuf");
  if (auto r = maybe_seal_and_write(buf, h, false); !r) return std::unexpected(r.error());
  return header::offset(h);
}

Result<uint64_t> IoBufs::make_stable(Lsn lsn, bool accept_written) {
  const Lsn first = stable_lsn_.load();
  if (first >= lsn) return 0;
  while (stable_lsn_.load() < lsn) {
    if (auto e = stored_error()) {
      wake_waiters();
      return std::unexpected(*e);
    }
    std::shared_ptr<IoBuf> buf = current();
    const uint64_t h = buf->header.load(std::memory_order_acquire);
    if (header::offset(h) != 0 && !header::is_sealed(h) && buf->lsn <= lsn) {
      // The wanted lsn may sit in this open buffer: seal it so it is written.
      // This caller waits for the bytes anyway, so it writes them itself
      // (when no writer is left inside) and syncs them on its next pass:
      // one write and one sync, with no hand-off to the IO pool and back.
      if (auto r = maybe_seal_and_write(buf, h, false, true); !r) return std::unexpected(r.error());
      continue;
    }
    std::unique_lock lock(intervals_mu_);
    if (auto e = stored_error()) {
      lock.unlock();
      stability_.notify_all();
      return std::unexpected(*e);
    }
    const Lsn stable = stable_lsn_.load();
    if (accept_written && intervals_->is_written(lsn)) return static_cast<uint64_t>(stable - first);
    if (stable >= lsn) {
      ZLOG(Debug, kIoTarget, "make_stable({}) returning", lsn);
      return static_cast<uint64_t>(stable - first);
    }
    // Written ranges wait for a sync: this caller needs one now. Checked
    // under the intervals lock, which a writer takes to wake waiters after
    // it queued its range, so no wake-up is lost.
    if (has_unsynced()) {
      lock.unlock();
      if (auto r = sync_written(false); !r) return std::unexpected(stored_error().value_or(Error::io(r.error())));
      continue;
    }
    ZLOG(Trace, kIoTarget, "waiting on cond var for make_stable({})", lsn);
    stability_.wait_for(lock, std::chrono::seconds(1));
  }
  return static_cast<uint64_t>(stable_lsn_.load() - first);
}

Result<uint64_t> IoBufs::flush() { return make_stable(highest_reserved_lsn_.load(), false); }

Result<void> IoBufs::mark_batch(Lsn low, Lsn high) {
  std::lock_guard lock(intervals_mu_);
  return intervals_->mark_batch(low, high);
}

void IoBufs::shutdown() {
  if (shut_down_.exchange(true)) return;
  if (!options_.errors->is_set()) {
    if (auto r = flush(); !r) ZLOG(Error, kLogTarget, "failed to flush from IoBufs::drop: {}", r.error().display());
    if (!options_.config.temporary && !options_.errors->is_set()) {
      if (auto r = options_.config.file->sync_all(); !r) {
        ZLOG(Error, kLogTarget, "failed to fsync from IoBufs::drop: {}", r.error().display());
        options_.errors->set(Error::io(r.error()));
      }
    }
  }
  {
    std::lock_guard lock(sa_mu_);
    if (auto r = sa_->wait_for_truncations(); !r)
      ZLOG(Error, kLogTarget, "failed to shrink the log file at close: {}", r.error().display());
  }
  // No job of this log may still hold `db` (and its lock) once the handle is gone.
  options_.config.jobs->wait_idle();
  ZLOG(Debug, kLogTarget, "IoBufs dropped");
}

// ---- IoReservation -------------------------------------------------------------

IoReservation::IoReservation(IoReservation&& o) noexcept
    : log_(std::move(o.log_)),
      buf_(std::move(o.buf_)),
      slot_(o.slot_),
      header_len_(o.header_len_),
      lsn_(o.lsn_),
      pointer_(o.pointer_),
      blob_rewrite_(o.blob_rewrite_),
      flushed_(o.flushed_) {
  o.flushed_ = true;  // the moved-from husk finishes nothing
}

IoReservation::~IoReservation() {
  if (!flushed_ && log_) {
    if (auto r = finish(false); !r) log_->errors()->set(r.error());
  }
}

Result<std::pair<Lsn, DiskPtr>> IoReservation::finish(bool valid) {
  if (flushed_) return std::unexpected(bug("flushing already-flushed reservation!"));
  flushed_ = true;
  if (!valid) slot_[4] = static_cast<uint8_t>(MessageKind::Canceled);
  stamp_message_crc(slot_, header_len_);
  if (auto r = log_->exit_reservation(buf_); !r) return std::unexpected(r.error());
  return std::make_pair(lsn_, pointer_);
}

Result<std::pair<Lsn, DiskPtr>> IoReservation::complete() { return finish(true); }

Result<std::pair<Lsn, DiskPtr>> IoReservation::abort() {
  if (flushed_) return std::unexpected(bug("flushing already-flushed reservation!"));
  if (pointer_.is_blob() && !blob_rewrite_) {
    ZLOG(Trace, "kelm::pagecache::reservation", "removing blob for aborted reservation at lsn {}", lsn_);
    blob_io::remove_blob(log_->config().path, pointer_.blob);
  }
  return finish(false);
}

Result<void> IoReservation::mark_batch_manifest(Lsn peg) {
  if (slot_.size() != header_len_ + 8) return std::unexpected(bug("batch manifest slot is not 8 bytes of body"));
  ZLOG(Trace, "kelm::pagecache::reservation",
       "writing batch required stable lsn {} into BatchManifest at lid {} peg_lsn {}", peg, pointer_.offset, lsn_);
  slot_[4] = static_cast<uint8_t>(MessageKind::BatchManifest);
  store_u64_le(slot_.data() + header_len_, static_cast<uint64_t>(peg));
  return {};
}

}  // namespace kelm::pagecache
