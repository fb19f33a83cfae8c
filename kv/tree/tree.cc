// Tree handles and their point operations, write batches and teardown.
#include "kv/tree/tree.h"

#include <algorithm>

#include "common/log.h"
#include "kv/sync/concurrency_control.h"
#include "kv/threadpool/threadpool.h"

namespace kelm {

namespace {
constexpr const char* kTarget = "kelm::tree";

template <class F>
auto guarded(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const NodeDefect& d) {
    ZLOG(Error, kTarget, "engine defect: {}", d.text);
    return std::unexpected(Error::reportable_bug(d.text));
  }
}
}  // namespace

TreeInner::~TreeInner() {
  // The last handle of a tree makes everything written so far durable
  // before it lets go of the engine.
  if (ctx.pagecache) {
    for (;;) {
      auto r = ctx.pagecache->log().flush();
      if (!r) {
        ZLOG(Error, kTarget, "failed to flush data to disk: {}", r.error().debug());
        break;
      }
      if (*r == 0) break;
    }
  }
  name = IVec();
  ctx.config = config::RunningConfig{};
  ctx.flusher.reset();
  ctx.pagecache.reset();
}

const IVec& Tree::name() const { return inner_->name; }
PageId Tree::root_for_test() const { return inner_->root.load(); }

Result<std::optional<IVec>> Tree::get(Bytes key) const {
  auto guard = pin();
  auto cc = tree::concurrency_control().read();
  return guarded([&]() -> Result<std::optional<IVec>> {
    ZLOG(Trace, kTarget, "getting key {}", IVec::debug_bytes(key));
    auto v = inner_->view_for_key(key, guard);
    if (!v) return std::unexpected(v.error());
    auto kv = v->node().leaf_pair_for_key(key);
    if (!kv) return std::optional<IVec>();
    return std::optional<IVec>(*kv->second);
  });
}

Result<bool> Tree::contains_key(Bytes key) const {
  auto g = get(key);
  if (!g) return std::unexpected(g.error());
  return g->has_value();
}

Result<std::optional<IVec>> Tree::insert(std::string_view key, std::string_view value) const {
  return insert(as_bytes(key), std::vector<uint8_t>(value.begin(), value.end()));
}

Result<std::optional<IVec>> Tree::insert(Bytes key, std::vector<uint8_t> value) const {
  IVec v = IVec::from_vec(std::move(value));
  auto guard = pin();
  auto cc = tree::concurrency_control().read();
  return guarded([&]() -> Result<std::optional<IVec>> {
    for (;;) {
      ZLOG(Trace, kTarget, "setting key {}", IVec::debug_bytes(key));
      auto r = inner_->insert_inner(key, v, guard);
      if (!r) return std::unexpected(r.error());
      if (*r) return std::move(**r);
    }
  });
}

Result<std::optional<IVec>> Tree::remove(Bytes key) const {
  auto guard = pin();
  auto cc = tree::concurrency_control().read();
  return guarded([&]() -> Result<std::optional<IVec>> {
    for (;;) {
      ZLOG(Trace, kTarget, "removing key {}", IVec::debug_bytes(key));
      auto r = inner_->insert_inner(key, std::nullopt, guard);
      if (!r) return std::unexpected(r.error());
      if (*r) return std::move(**r);
    }
  });
}

Result<std::optional<IVec>> Tree::fetch_and_update(
    Bytes key, const std::function<std::optional<IVec>(const std::optional<IVec>&)>& f) const {
  auto current = get(key);
  if (!current) return current;
  std::optional<IVec> cur = std::move(*current);
  for (;;) {
    std::optional<IVec> neu = f(cur);
    // One compare-and-swap attempt: success, or the stored value it found.
    auto attempt = [&]() -> Result<std::optional<std::optional<IVec>>> {
      using R = std::optional<std::optional<IVec>>;
      ZLOG(Trace, kTarget, "cas'ing key {}", IVec::debug_bytes(key));
      auto guard = pin();
      auto cc = tree::concurrency_control().read();
      return guarded([&]() -> Result<R> {
        for (;;) {
          auto v = inner_->view_for_key(key, guard);
          if (!v) return std::unexpected(v.error());
          auto [enc, stored] = v->node().node_kv_pair(key);
          bool match = (!cur && !stored) || (cur && stored && *cur == *stored);
          if (!match) return R(std::move(stored));
          Link l = neu ? Link(link::Set{std::move(enc), *neu}) : Link(link::Del{std::move(enc)});
          auto out = inner_->pc().link(v->pid, v->node_view, l, guard);
          if (!out) return std::unexpected(out.error());
          if (out->installed) return R();
        }
      });
    };
    auto r = attempt();
    if (!r) return std::unexpected(r.error());
    if (!*r) return cur;
    cur = std::move(**r);
  }
}

Result<uint64_t> Tree::flush() const { return inner_->pc().log().flush(); }

zudizid::common::OneShot<Result<uint64_t>>::Receiver Tree::flush_async_job() const {
  auto [filler, waiter] = zudizid::common::OneShot<Result<uint64_t>>::make();
  struct FlushJob final : threadpool::Job {
    std::shared_ptr<pagecache::PageCache> pc;
    zudizid::common::OneShot<Result<uint64_t>>::Sender filler;
    FlushJob(std::shared_ptr<pagecache::PageCache> p, zudizid::common::OneShot<Result<uint64_t>>::Sender f)
        : pc(std::move(p)), filler(std::move(f)) {}
    void run() override {
      Result<uint64_t> r = pc->log().flush();
      pc.reset();  // the page cache may go before the waiter wakes
      filler.send(std::move(r));
    }
  };
  threadpool::submit(std::make_unique<FlushJob>(inner_->ctx.pagecache, std::move(filler)));
  return std::move(waiter);
}

Result<uint64_t> Tree::wait_flush(zudizid::common::OneShot<Result<uint64_t>>::Receiver waiter) {
  auto r = waiter.wait();
  if (!r) return std::unexpected(Error::reportable_bug("threadpool failed to complete action before shutdown"));
  return std::move(*r);
}

// ---- batches ---------------------------------------------------------------

void Batch::insert(Bytes key, std::vector<uint8_t> value) {
  IVec v = IVec::from_vec(std::move(value));
  IVec k = IVec::from_slice(key);
  auto it = writes.find(k);
  if (it != writes.end()) it->second = std::move(v);
  else writes.emplace(std::move(k), std::move(v));
}
void Batch::insert(std::string_view key, std::string_view value) {
  insert(Tree::as_bytes(key), std::vector<uint8_t>(value.begin(), value.end()));
}
void Batch::remove(Bytes key) {
  IVec k = IVec::from_slice(key);
  auto it = writes.find(k);
  if (it != writes.end()) it->second.reset();
  else writes.emplace(std::move(k), std::nullopt);
}
void Batch::remove(std::string_view key) { remove(Tree::as_bytes(key)); }

std::string Batch::debug() const {
  std::string s = "Batch { writes: {";
  bool first = true;
  for (const auto& [k, v] : writes) {
    s += (first ? "" : ", ") + k.debug() + ": " + (v ? "Some(" + v->debug() + ")" : std::string("None"));
    first = false;
  }
  return s + "} }";
}

Result<void> Tree::apply_batch(Batch batch) const {
  std::vector<std::pair<Tree, Batch>> one;
  one.emplace_back(*this, std::move(batch));
  return apply_batches(std::move(one));
}

Result<void> apply_batches(std::vector<std::pair<Tree, Batch>> batches) {
  if (batches.empty()) return {};
  auto excl = tree::concurrency_control().write();
  auto guard = pin();
  auto& pc = batches.front().first.inner()->pc();
  auto& log = pc.log();
  if (auto r = log.roll_iobuf(); !r) return r;
  auto manifest = log.reserve(pagecache::LogKind::Skip, pagecache::kBatchManifestPid, pagecache::BatchManifestBody{});
  if (!manifest) return std::unexpected(manifest.error());
  // The manifest's buffer is not sealed here: the open manifest keeps it
  // from being written until the seal below, whichever buffers the writes
  // land in, and sharing it lets one write and one sync make a small batch
  // durable. The bytes in the file are the same either way.
  // Seals the manifest with the highest reserved lsn, so recovery replays
  // everything logged since the manifest or nothing of it.
  auto seal = [&]() -> Result<void> {
    Lsn peg = log.max_reserved_lsn();
    ZLOG(Trace, "kelm::pagecache::reservation",
         "writing batch required stable lsn {} into BatchManifest at lid {} peg_lsn {}", peg, manifest->log_offset(),
         manifest->lsn());
    if (auto m = manifest->mark_batch_manifest(peg); !m) return m;
    if (auto m = log.mark_batch(manifest->lsn(), peg); !m) return m;
    auto c = manifest->complete();
    if (!c) return std::unexpected(c.error());
    return {};
  };
  struct Applied {
    TreeInner* tree;
    IVec key;
    std::optional<IVec> old;
  };
  std::vector<Applied> applied;
  std::optional<Error> failure;
  auto applying = guarded([&]() -> Result<void> {
    for (auto& [tree, batch] : batches) {
      ZLOG(Trace, kTarget, "applying batch {}", batch.debug());
      TreeInner* inner = tree.inner();
      // In key order: neighbouring writes then land in the leaf (and the
      // path) the previous one just touched, which is still in the CPU's
      // caches. The writes of one batch are distinct keys, so the order
      // changes nothing else.
      std::vector<std::pair<const IVec, std::optional<IVec>>*> ordered;
      ordered.reserve(batch.writes.size());
      for (auto& kv : batch.writes) ordered.push_back(&kv);
      std::sort(ordered.begin(), ordered.end(), [](const auto* a, const auto* b) { return a->first < b->first; });
      for (auto* kv : ordered) {
        const IVec& k = kv->first;
        std::optional<IVec>& v = kv->second;
        for (;;) {
          auto r = inner->insert_inner(k.bytes(), v, guard);
          if (!r) {
            failure = r.error();
            return {};
          }
          if (*r) {
            applied.push_back({inner, k, std::move(**r)});
            break;
          }
        }
      }
    }
    return {};
  });
  if (!applying) failure = applying.error();
  if (!failure) return guarded(seal);
  // A batch is all or nothing: undo the writes already applied, newest
  // first, while no other operation can observe the trees.
  for (auto it = applied.rbegin(); it != applied.rend(); ++it) {
    auto undone = guarded([&]() -> Result<void> {
      for (;;) {
        auto r = it->tree->insert_inner(it->key.bytes(), it->old, guard);
        if (!r) return std::unexpected(r.error());
        if (*r) return {};
      }
    });
    if (!undone) {
      ZLOG(Error, kTarget, "failed to roll back a failed batch: {}", undone.error().debug());
      it->tree->ctx.config.set_global_error(undone.error());
      break;
    }
  }
  (void)guarded(seal);
  return std::unexpected(*failure);
}

// ---- bounds ----------------------------------------------------------------

std::string Bound::debug() const {
  switch (kind) {
    case Kind::Included:
      return "Included(" + key.debug() + ")";
    case Kind::Excluded:
      return "Excluded(" + key.debug() + ")";
    default:
      return "Unbounded";
  }
}

Iter Tree::range(Bound lo, Bound hi) const { return Iter(*this, std::move(lo), std::move(hi)); }
Iter Tree::iter() const { return range(Bound::included(IVec()), Bound::unbounded()); }
Iter Tree::scan_prefix(std::string_view prefix) const { return scan_prefix(as_bytes(prefix)); }
Iter Tree::scan_prefix(Bytes prefix) const {
  std::vector<uint8_t> upper(prefix.begin(), prefix.end());
  // Drop trailing 0xFF bytes (they cannot be increased); an empty or all-0xFF
  // prefix is unbounded above.
  while (!upper.empty() && upper.back() == 0xFF) upper.pop_back();
  Bound hi = Bound::unbounded();
  if (!upper.empty()) {
    upper.back()++;
    hi = Bound::excluded(IVec::from_vec(std::move(upper)));
  }
  return range(Bound::included(IVec::from_slice(prefix)), std::move(hi));
}

}  // namespace kelm
