#include "tests/support/standin_log.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "common/log.h"
#include "common/thread_name.h"
#include "kv/config/config.h"
#include "kv/serialization/bodies.h"
#include "kv/serialization/varint.h"
#include "kv/sync/concurrency_control.h"

namespace kelm::pagecache::standin {

namespace fs = std::filesystem;

namespace {

enum class State : uint8_t { Pending, Done, Canceled };

struct Msg {
  MessageKind kind;
  PageId pid;
  std::vector<uint8_t> body;
  uint64_t log_size;
  bool blob;
  State state = State::Pending;
};

struct Store {
  std::mutex mu;
  std::condition_variable cv;
  std::map<Lsn, Msg> msgs;
  Lsn next_lsn = 0;
  Lsn stable = -1;  // last durable byte
  std::map<Lsn, Lsn> batches;
  // Superseded fragments, dropped once the replacing message is stable.
  std::multimap<Lsn, Lsn> garbage;  // replacing lsn -> old fragment lsn
  bool accountant_locked = false;
};

std::mutex g_mu;
std::unordered_map<std::string, std::shared_ptr<Store>> g_stores;
std::mutex g_faults_mu;
std::shared_ptr<Faults> g_faults;

std::string key_of(const fs::path& dir) {
  std::error_code ec;
  fs::path abs = fs::absolute(dir, ec).lexically_normal();
  return abs.string();
}

std::shared_ptr<Store> store_for(const fs::path& dir, bool create) {
  std::lock_guard lk(g_mu);
  auto k = key_of(dir);
  auto it = g_stores.find(k);
  if (it != g_stores.end()) return it->second;
  if (!create) return nullptr;
  auto s = std::make_shared<Store>();
  g_stores.emplace(k, s);
  return s;
}

std::shared_ptr<Faults> faults() {
  std::lock_guard lk(g_faults_mu);
  return g_faults;
}

// Advances the stable lsn to `target` once every message up to it is
// finished; drops fragments superseded by now-stable messages. Holds s.mu.
Lsn advance_stable(Store& s, std::unique_lock<std::mutex>& lk, Lsn target) {
  if (auto f = faults(); f && f->freeze_stable) return 0;
  s.cv.wait(lk, [&] {
    for (auto it = s.msgs.upper_bound(s.stable); it != s.msgs.end() && it->first <= target; ++it)
      if (it->second.state == State::Pending) return false;
    return true;
  });
  Lsn before = s.stable;
  if (target > s.stable) s.stable = target;
  while (!s.garbage.empty() && s.garbage.begin()->first <= s.stable) {
    s.msgs.erase(s.garbage.begin()->second);
    s.garbage.erase(s.garbage.begin());
  }
  return s.stable - std::max<Lsn>(before, -1);
}

class StandinReservation final : public ReservationImpl {
 public:
  StandinReservation(std::shared_ptr<Store> s, std::shared_ptr<config::GlobalErrorSlot> ge, Lsn lsn, DiskPtr ptr,
                     uint64_t size)
      : s_(std::move(s)), ge_(std::move(ge)), lsn_(lsn), ptr_(ptr), size_(size) {}
  Lsn lsn() const override { return lsn_; }
  DiskPtr pointer() const override { return ptr_; }
  LogOffset log_offset() const override { return static_cast<LogOffset>(lsn_); }
  uint64_t log_size() const override { return size_; }
  Result<std::pair<Lsn, DiskPtr>> complete() override { return finish(true); }
  Result<std::pair<Lsn, DiskPtr>> abort() override { return finish(false); }
  Result<void> mark_batch_manifest(Lsn peg) override {
    std::lock_guard lk(s_->mu);
    Msg& m = s_->msgs.at(lsn_);
    if (m.body.size() != 8) throw NodeDefect{"trying to serialize header and item BatchManifest(" + std::to_string(peg) + ") but there were buffer leftovers at the end"};
    m.kind = MessageKind::BatchManifest;
    for (int i = 0; i < 8; ++i) m.body[i] = static_cast<uint8_t>(static_cast<uint64_t>(peg) >> (8 * i));
    return {};
  }
  void finish_on_drop() noexcept override {
    if (flushed_) return;
    auto r = finish(false);
    if (!r) ge_->set(r.error());
  }

 private:
  Result<std::pair<Lsn, DiskPtr>> finish(bool valid) {
    if (flushed_) throw NodeDefect{"flushing already-flushed reservation!"};
    flushed_ = true;
    {
      std::lock_guard lk(s_->mu);
      s_->msgs.at(lsn_).state = valid ? State::Done : State::Canceled;
    }
    s_->cv.notify_all();
    if (auto e = ge_->get()) return std::unexpected(*e);
    return std::pair{lsn_, ptr_};
  }

  std::shared_ptr<Store> s_;
  std::shared_ptr<config::GlobalErrorSlot> ge_;
  Lsn lsn_;
  DiskPtr ptr_;
  uint64_t size_;
  bool flushed_ = false;
};

class StandinLog final : public Log {
 public:
  StandinLog(config::RunningConfig cfg, std::shared_ptr<Store> s) : cfg_(std::move(cfg)), s_(std::move(s)) {
    max_reserved_.store(s_->next_lsn - 1);
  }
  ~StandinLog() override {
    if (cfg_->temporary) forget(cfg_.get_path());
  }

  Result<Reservation> reserve(LogKind kind, PageId pid, const Body& body) override {
    if (auto e = cfg_->global_error->get()) return std::unexpected(*e);
    if (auto f = faults(); f && f->on_reserve) {
      if (auto e = f->on_reserve(kind, pid)) return std::unexpected(*e);
    }
    uint64_t len = serialization::serialized_size(body);
    uint64_t seg = cfg_->segment_size;
    bool blob = len + 32 > seg / 4 - 20;
    auto mk = message_kind_for(pid, kind, blob);
    if (!mk) throw NodeDefect{"invalid message kind for pid " + std::to_string(pid)};
    Msg m{*mk, pid, std::vector<uint8_t>(len), 0, blob};
    if (!serialization::serialize_body(body, m.body)) throw NodeDefect{"body does not fill its reservation"};
    std::unique_lock lk(s_->mu);
    const Lsn lsn = s_->next_lsn;
    uint64_t header = 5 + serialization::varint_size(len) + serialization::varint_size(lsn / seg) +
                      serialization::varint_size(pid);
    m.log_size = header + (blob ? 8 : len);
    const uint64_t size = m.log_size;
    append_locked(std::move(m));
    lk.unlock();
    DiskPtr ptr = blob ? DiskPtr::blob_at(static_cast<LogOffset>(lsn), lsn) : DiskPtr::inline_at(lsn);
    return Reservation(std::make_unique<StandinReservation>(s_, cfg_->global_error, lsn, ptr, size));
  }

  Result<Reservation> reserve_blob_rewrite(PageId pid, Lsn blob_id) override {
    if (auto e = cfg_->global_error->get()) return std::unexpected(*e);
    std::unique_lock lk(s_->mu);
    auto it = s_->msgs.find(blob_id);
    if (it == s_->msgs.end()) return std::unexpected(Error::corruption(DiskPtr::blob_at(blob_id, blob_id)));
    Msg copy = it->second;
    copy.state = State::Pending;
    const uint64_t size = copy.log_size;
    const Lsn lsn = append_locked(std::move(copy));
    return Reservation(
        std::make_unique<StandinReservation>(s_, cfg_->global_error, lsn, DiskPtr::blob_at(lsn, lsn), size));
  }

  Lsn max_reserved_lsn() const override { return max_reserved_.load(); }
  Lsn stable_lsn() const override {
    std::lock_guard lk(s_->mu);
    return s_->stable;
  }
  Result<void> roll_iobuf() override { return check(); }
  Result<void> mark_batch(Lsn manifest_lsn, Lsn required) override {
    std::lock_guard lk(s_->mu);
    if (manifest_lsn <= s_->stable)
      return std::unexpected(Error::reportable_bug("assertion failed: interval.0 > self.stable_lsn"));
    s_->batches[manifest_lsn] = required;
    return {};
  }
  Result<uint64_t> flush() override {
    auto cc = tree::concurrency_control().read();
    if (auto c = check(); !c) return std::unexpected(c.error());
    Lsn target = max_reserved_.load();
    std::unique_lock lk(s_->mu);
    if (target <= s_->stable) return 0;
    return static_cast<uint64_t>(advance_stable(*s_, lk, target));
  }
  Result<void> make_stable(Lsn lsn) override {
    if (auto c = check(); !c) return c;
    std::unique_lock lk(s_->mu);
    if (lsn > s_->stable) advance_stable(*s_, lk, lsn);
    return {};
  }
  Result<Update> read_message(PageId pid, Lsn lsn, DiskPtr ptr) override {
    std::lock_guard lk(s_->mu);
    auto it = s_->msgs.find(static_cast<Lsn>(ptr.offset));
    // A message that is not yet durable is not on disk for a reader.
    if (it == s_->msgs.end() || it->second.state != State::Done ||
        it->first + static_cast<Lsn>(it->second.log_size) - 1 > s_->stable)
      return std::unexpected(Error::corruption(ptr));
    return serialization::deserialize_update(it->second.kind, pid, it->second.body);
  }
  bool try_lock_accountant() override {
    std::lock_guard lk(s_->mu);
    if (s_->accountant_locked) return false;
    s_->accountant_locked = true;
    return true;
  }
  void unlock_accountant() override {
    std::lock_guard lk(s_->mu);
    s_->accountant_locked = false;
  }
  Result<void> mark_replace(PageId, Lsn lsn, const std::vector<CacheInfo>& old_frags, const CacheInfo&) override {
    if (auto f = faults(); f && f->on_account) {
      if (auto e = f->on_account()) return std::unexpected(*e);
    }
    std::lock_guard lk(s_->mu);
    for (const auto& c : old_frags) s_->garbage.emplace(lsn, static_cast<Lsn>(c.pointer.offset));
    return {};
  }
  Result<void> mark_link(PageId, const CacheInfo&) override {
    if (auto f = faults(); f && f->on_account) {
      if (auto e = f->on_account()) return std::unexpected(*e);
    }
    return {};
  }
  std::optional<std::pair<PageId, LogOffset>> pop_segment_to_clean() override { return std::nullopt; }
  std::string debug() const override { return "StandinLog { config: " + cfg_.inner.debug() + " }"; }

 private:
  Result<void> check() const {
    if (auto e = cfg_->global_error->get()) return std::unexpected(*e);
    return {};
  }
  // With s_->mu held: stores `m` at the next lsn, advances it by the
  // message's log size and raises the highest reserved lsn; returns the lsn.
  Lsn append_locked(Msg m) {
    const Lsn lsn = s_->next_lsn;
    const Lsn last = lsn + static_cast<Lsn>(m.log_size) - 1;
    s_->next_lsn += static_cast<Lsn>(m.log_size);
    s_->msgs.emplace(lsn, std::move(m));
    Lsn cur = max_reserved_.load();
    while (cur < last && !max_reserved_.compare_exchange_weak(cur, last)) {
    }
    return lsn;
  }
  config::RunningConfig cfg_;
  std::shared_ptr<Store> s_;
  std::atomic<Lsn> max_reserved_{-1};
};

class StandinFlusher final : public FlusherHandle {
 public:
  StandinFlusher(Log& log, CleanStep clean, uint64_t period_ms, std::shared_ptr<void> keepalive)
      : thread_([this, &log, clean = std::move(clean), period_ms, keepalive = std::move(keepalive)] {
          zudizid::common::set_current_thread_name("log flusher");
          std::unique_lock lk(mu_);
          while (!stop_) {
            cv_.wait_for(lk, std::chrono::milliseconds(period_ms));
            if (stop_) break;
            lk.unlock();
            if (auto r = log.make_stable(log.max_reserved_lsn()); !r)
              ZLOG(Error, "kelm::flusher", "failed to flush from periodic flush thread: {}", r.error().debug());
            if (auto c = clean(); !c)
              ZLOG(Error, "kelm::flusher", "failed to clean file from periodic flush thread: {}", c.error().debug());
            lk.lock();
          }
        }) {}
  ~StandinFlusher() override {
    {
      std::lock_guard lk(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace

Result<Snapshot> Backend::read_snapshot_or_default(const config::RunningConfig& cfg) {
  auto s = store_for(cfg.get_path(), true);
  std::lock_guard lk(s->mu);
  Snapshot snap;
  if (s->msgs.empty()) return snap;
  // The highest lsn the intact log reaches.
  Lsn max_possible = -1;
  for (auto& [lsn, m] : s->msgs) max_possible = std::max(max_possible, lsn + static_cast<Lsn>(m.log_size) - 1);
  Lsn cut = -1;  // messages at or after this lsn are torn away
  for (auto& [lsn, m] : s->msgs) {
    if (m.state == State::Canceled) continue;
    if (m.state == State::Pending) {  // never finished: a torn tail
      cut = lsn;
      break;
    }
    if (m.kind == MessageKind::BatchManifest) {
      Lsn required = 0;
      for (int i = 0; i < 8; ++i) required |= static_cast<Lsn>(m.body[i]) << (8 * i);
      if (required > max_possible) {
        ZLOG(Debug, "kelm::pagecache::iterator",
             "cutting recovery short due to torn batch. required stable lsn: {} actual max possible lsn: {}",
             required, max_possible);
        cut = lsn;
        break;
      }
      continue;
    }
    Fragment f{lsn, m.blob ? DiskPtr::blob_at(lsn, lsn) : DiskPtr::inline_at(lsn), m.log_size};
    if (m.pid >= snap.pt.size()) snap.pt.resize(m.pid + 1);
    PageState& ps = snap.pt[m.pid];
    switch (m.kind) {
      case MessageKind::InlineLink:
      case MessageKind::BlobLink:
        if (ps.kind == PageState::Kind::Present) ps.frags.push_back(f);
        break;
      case MessageKind::Free:
        ps = PageState{PageState::Kind::Free, f, {}};
        break;
      default:
        ps = PageState{PageState::Kind::Present, f, {}};
    }
  }
  if (cut >= 0) {
    s->msgs.erase(s->msgs.lower_bound(cut), s->msgs.end());
  }
  for (auto& ps : snap.pt) {
    if (ps.kind == PageState::Kind::Uninitialized) ps = PageState{PageState::Kind::Free, Fragment{0, {}, 32}, {}};
  }
  Lsn end = 0;
  if (!s->msgs.empty()) end = s->msgs.rbegin()->first + static_cast<Lsn>(s->msgs.rbegin()->second.log_size);
  s->next_lsn = std::max(s->next_lsn, end);
  s->stable = s->next_lsn - 1;
  s->garbage.clear();
  s->accountant_locked = false;
  snap.stable_lsn = s->stable;
  return snap;
}

Result<std::unique_ptr<Log>> Backend::start(const config::RunningConfig& cfg, const Snapshot&) {
  return std::unique_ptr<Log>(new StandinLog(cfg, store_for(cfg.get_path(), true)));
}

std::unique_ptr<FlusherHandle> Backend::start_flusher(Log& log, CleanStep clean, uint64_t period_ms,
                                                      std::shared_ptr<void> keepalive) {
  return std::make_unique<StandinFlusher>(log, std::move(clean), period_ms, std::move(keepalive));
}

std::shared_ptr<Backend> backend() {
  static const auto b = std::make_shared<Backend>();
  return b;
}

void set_faults(Faults f) {
  std::lock_guard lk(g_faults_mu);
  g_faults = std::make_shared<Faults>(std::move(f));
}
void clear_faults() {
  std::lock_guard lk(g_faults_mu);
  g_faults.reset();
}

void crash(const fs::path& dir, std::optional<Lsn> keep_lsn) {
  auto s = store_for(dir, false);
  if (!s) return;
  std::lock_guard lk(s->mu);
  Lsn keep = keep_lsn ? *keep_lsn : s->stable;
  for (auto it = s->msgs.begin(); it != s->msgs.end();) {
    if (it->first + static_cast<Lsn>(it->second.log_size) - 1 > keep) it = s->msgs.erase(it);
    else ++it;
  }
}

void forget(const fs::path& dir) {
  std::lock_guard lk(g_mu);
  g_stores.erase(key_of(dir));
}

size_t message_count(const fs::path& dir) {
  auto s = store_for(dir, false);
  if (!s) return 0;
  std::lock_guard lk(s->mu);
  size_t n = 0;
  for (auto& [l, m] : s->msgs) n += m.state != State::Canceled;
  return n;
}

Lsn stable_lsn_of(const fs::path& dir) {
  auto s = store_for(dir, false);
  if (!s) return -1;
  std::lock_guard lk(s->mu);
  return s->stable;
}

}  // namespace kelm::pagecache::standin
