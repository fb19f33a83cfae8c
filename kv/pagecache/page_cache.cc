#include "kv/pagecache/page_cache.h"

#include <algorithm>

#include "common/log.h"

namespace kelm::pagecache {

namespace {
constexpr const char* kTarget = "kelm::pagecache";

Body body_of(const Update& u) {
  struct V {
    Body operator()(const Link& l) const { return &l; }
    Body operator()(const Node& n) const { return &n; }
    Body operator()(const FreeMark&) const { return std::monostate{}; }
    Body operator()(const Counter& c) const { return CounterBody{c.value}; }
    Body operator()(const Meta& m) const { return &m; }
  };
  return std::visit(V{}, u);
}

std::string pids_debug(const std::vector<PageId>& pids) {
  std::string s = "[";
  for (size_t i = 0; i < pids.size(); ++i) s += (i ? ", " : "") + std::to_string(pids[i]);
  return s + "]";
}
}  // namespace

bool is_reserved_pid(PageId pid) { return pid == kMetaPid || pid == kCounterPid || pid == kBatchManifestPid; }

PageCache::PageCache(config::RunningConfig cfg, std::unique_ptr<Log> log, uint64_t next_pid)
    : cfg_(std::move(cfg)), log_(std::move(log)), lru_(cfg_->cache_capacity), next_pid_(next_pid) {}

PageCache::~PageCache() {
  for (PendingRecord* r = pending_.exchange(nullptr); r;) {
    PendingRecord* n = r->next;
    delete r;
    r = n;
  }
}

void PageCache::push_free(PageId pid) {
  std::lock_guard lk(free_->mu);
  free_->heap.push(pid);
}

void PageCache::set_next_pid(PageId pid) {
  std::lock_guard lk(next_pid_mu_);
  next_pid_ = pid;
}

std::string PageCache::debug_line() {
  std::vector<PageId> free;
  {
    std::lock_guard lk(free_->mu);
    auto copy = free_->heap;
    while (!copy.empty()) {
      free.push_back(copy.top());
      copy.pop();
    }
  }
  std::lock_guard lk(next_pid_mu_);
  return "PageCache { max: " + std::to_string(next_pid_) + " free: " + pids_debug(free) + " }";
}

Result<void> PageCache::touch(PageId pid, uint64_t size, const Guard& guard) {
  auto out = lru_.accessed(pid, size, guard);
  ZLOG(Trace, kTarget, "accessed pid {} -> paging out pids {}", pid, pids_debug(out));
  if (!out.empty()) return page_out(out, guard);
  return {};
}

void PageCache::complete_installed(Reservation& r, PageId pid) {
  if (auto c = r.complete(); !c) {
    ZLOG(Error, kTarget, "failed to complete the log reservation of an installed change to pid {}: {}", pid,
         c.error().debug());
    cfg_.set_global_error(c.error());
  }
}

Result<std::optional<PageView>> PageCache::get(PageId pid, const Guard& guard) {
  ZLOG(Trace, kTarget, "getting page iterator for pid {}", pid);
  if (is_reserved_pid(pid))
    return std::unexpected(Error::unsupported(
        "you are not able to iterate over the first couple pages, which are reserved for storing metadata and "
        "monotonic ID generator info"));
  return page_in(pid, guard);
}

Result<std::optional<PageView>> PageCache::page_in(PageId pid, const Guard& guard) {
  std::optional<std::pair<Error, CacheInfo>> failed;
  for (;;) {
    Slot& s = table_.slot(pid);
    Page* p = s.load(std::memory_order_acquire);
    if (!p) return std::optional<PageView>();
    if (p->update) {
      if (std::holds_alternative<FreeMark>(*p->update) || p->cache_infos.empty()) return std::optional<PageView>();
      if (auto t = touch(pid, p->log_size(), guard); !t) return std::unexpected(t.error());
      return std::optional<PageView>(PageView{p, &s});
    }
    if (p->cache_infos.empty()) return std::optional<PageView>();
    ZLOG(Trace, kTarget, "pulling pid {} view {} deref {}", pid, PageView{p, &s}.debug(), p->debug());
    if (failed && failed->second == p->cache_infos.front()) return std::unexpected(failed->first);
    std::optional<Node> node;
    std::optional<Error> err;
    for (size_t i = 0; i < p->cache_infos.size(); ++i) {
      const CacheInfo& ci = p->cache_infos[i];
      auto u = log_->read_message(pid, ci.lsn, ci.pointer);
      if (!u) {
        err = u.error();
        break;
      }
      if (i == 0) {
        auto* n = std::get_if<Node>(&*u);
        if (!n) throw NodeDefect{"called as_node_mut on non-Node: " + update_debug(*u)};
        node = std::move(*n);
      } else {
        auto* l = std::get_if<Link>(&*u);
        if (!l) throw NodeDefect{"called as_link on non-Link: " + update_debug(*u)};
        node->apply(*l);
      }
    }
    if (err) {
      failed.emplace(std::move(*err), p->cache_infos.front());
      continue;
    }
    auto* fresh = new Page{p->cache_infos, Update(std::move(*node))};
    Page* expected = p;
    if (s.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel, std::memory_order_acquire)) {
      ZLOG(Trace, kTarget, "fix-up for pid {} succeeded", pid);
      guard.retire(p);
      if (auto t = touch(pid, fresh->log_size(), guard); !t) return std::unexpected(t.error());
      return std::optional<PageView>(PageView{fresh, &s});
    }
    ZLOG(Trace, kTarget, "fix-up for pid {} failed", pid);
    delete fresh;
  }
}

Result<CasOutcome> PageCache::cas_page(PageId pid, PageView old, Update update, bool relocating, const Guard& guard) {
  LogKind kind = log_kind_of(update);
  ZLOG(Trace, kTarget, "cas_page called on pid {} to {} with old ts {}", pid, update_debug(update),
       old.read ? old.read->ts() : 0);
  if (kind == LogKind::Link) throw NodeDefect{"non-replacement used in cas_page: " + update_debug(update)};
  std::unique_ptr<Page> page(new Page{{}, std::move(update)});
  for (;;) {
    auto r = log_->reserve(kind, pid, body_of(*page->update));
    if (!r) return std::unexpected(r.error());
    uint64_t old_ts = old.read ? old.read->ts() : 0;
    CacheInfo frag{relocating ? old_ts : old_ts + 1, r->lsn(), r->pointer(), r->log_size()};
    page->cache_infos.assign(1, frag);
    Page* expected = old.read;
    if (old.entry->compare_exchange_strong(expected, page.get(), std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
      Page* installed = page.release();
      ZLOG(Trace, kTarget, "cas_page succeeded on pid {}", pid);
      static const std::vector<CacheInfo> kNone;
      auto sa = sa_mark_replace(pid, frag.lsn, old.read ? old.read->cache_infos : kNone, frag, guard);
      guard.retire(old.read);
      // The change is visible: its message must stand whatever the
      // accounting says, or a later page-in or restart would lose it.
      complete_installed(*r, pid);
      if (!sa) {
        ZLOG(Error, kTarget, "segment accounting failed after installing pid {}: {}", pid, sa.error().debug());
        cfg_.set_global_error(sa.error());
      }
      if (pid != kMetaPid && pid != kCounterPid) {
        if (auto t = touch(pid, installed->log_size(), guard); !t) return std::unexpected(t.error());
      }
      return CasOutcome{true, PageView{installed, old.entry}};
    }
    ZLOG(Trace, kTarget, "cas_page failed on pid {}", pid);
    if (auto a = r->abort(); !a) return std::unexpected(a.error());
    if (!relocating && expected && expected->ts() == old_ts) {
      ZLOG(Trace, kTarget, "retrying CAS on pid {} with same ts of {}", pid, old_ts);
      old.read = expected;
      continue;
    }
    return CasOutcome{false, PageView{expected, old.entry}};
  }
}

Result<CasOutcome> PageCache::link(PageId pid, PageView old, const Link& l, const Guard& guard) {
  ZLOG(Trace, kTarget, "linking pid {} with {}", pid, link_debug(l));
  Node node = old.as_node().clone_with_room(1);
  node.apply(l);
  if (old.read->cache_infos.size() >= 10) return replace(pid, old, std::move(node), guard);
  std::unique_ptr<Page> page(new Page{{}, Update(std::move(node))});
  for (;;) {
    auto r = log_->reserve(LogKind::Link, pid, &l);
    if (!r) return std::unexpected(r.error());
    uint64_t old_ts = old.read->ts();
    CacheInfo frag{old_ts + 1, r->lsn(), r->pointer(), r->log_size()};
    page->cache_infos.clear();
    page->cache_infos.reserve(old.read->cache_infos.size() + 1);
    page->cache_infos.assign(old.read->cache_infos.begin(), old.read->cache_infos.end());
    page->cache_infos.push_back(frag);
    Page* expected = old.read;
    if (old.entry->compare_exchange_strong(expected, page.get(), std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
      Page* installed = page.release();
      ZLOG(Trace, kTarget, "link of pid {} succeeded", pid);
      if (old.read->last_lsn() == 0) {
        complete_installed(*r, pid);
        guard.retire(old.read);
        throw NodeDefect{"link on pid " + std::to_string(pid) + " whose last fragment has lsn 0"};
      }
      guard.retire(old.read);
      auto sa = sa_mark_link(pid, frag, guard);
      complete_installed(*r, pid);
      if (!sa) {
        ZLOG(Error, kTarget, "segment accounting failed after linking pid {}: {}", pid, sa.error().debug());
        cfg_.set_global_error(sa.error());
      }
      if (auto t = touch(pid, installed->log_size(), guard); !t) return std::unexpected(t.error());
      return CasOutcome{true, PageView{installed, old.entry}};
    }
    if (auto a = r->abort(); !a) return std::unexpected(a.error());
    if (!expected || expected->ts() != old_ts) {
      ZLOG(Trace, kTarget, "link of pid {} failed due to new update", pid);
      return CasOutcome{false, PageView{expected, old.entry}};
    }
    ZLOG(Trace, kTarget, "link of pid {} failed due to movement, retrying", pid);
    old.read = expected;
  }
}

Result<CasOutcome> PageCache::replace(PageId pid, PageView old, Node node, const Guard& guard) {
  ZLOG(Trace, kTarget, "replacing pid {} with {}", pid, node.debug());
  auto out = cas_page(pid, old, Update(std::move(node)), false, guard);
  if (!out) return out;
  // One cleaning step per replacement. The replacement itself stands either
  // way, so a relocation failure is recorded for the engine, not returned
  // as the failure of this write.
  if (auto c = clean_one(guard); !c) {
    ZLOG(Error, kTarget, "failed to relocate a page during replace of pid {}: {}", pid, c.error().debug());
    cfg_.set_global_error(c.error());
  }
  return out;
}

Result<void> PageCache::clean_one(const Guard& guard) {
  auto job = log_->pop_segment_to_clean();
  if (!job) return {};
  return rewrite_page(job->first, job->second, guard);
}

Result<CasOutcome> PageCache::free(PageId pid, PageView old, const Guard& guard) {
  ZLOG(Trace, kTarget, "attempting to free pid {}", pid);
  if (is_reserved_pid(pid))
    return std::unexpected(Error::unsupported(
        "you are not able to free the first couple pages, which are allocated for system internal purposes"));
  auto out = cas_page(pid, old, Update(FreeMark{}), false, guard);
  if (!out || !out->installed) return out;
  std::shared_ptr<FreeList> fl = free_;
  guard.defer([fl, pid] {
    std::lock_guard lk(fl->mu);
    auto copy = fl->heap;
    while (!copy.empty()) {
      if (copy.top() == pid) {
        ZLOG(Error, kTarget, "pid {} was double-freed", pid);
        return;
      }
      copy.pop();
    }
    fl->heap.push(pid);
  });
  return out;
}

Result<std::pair<PageId, PageView>> PageCache::allocate(Update update, const Guard& guard) {
  std::optional<PageId> reused;
  {
    std::lock_guard lk(free_->mu);
    if (!free_->heap.empty()) {
      reused = free_->heap.top();
      free_->heap.pop();
    }
  }
  if (reused) {
    PageId pid = *reused;
    ZLOG(Trace, kTarget, "re-allocating pid {}", pid);
    auto v = table_.get(pid);
    if (!v) throw NodeDefect{"expected to find existing stack for re-allocated pid " + std::to_string(pid)};
    if (!v->read->is_free())
      throw NodeDefect{"failed to re-allocate pid " + std::to_string(pid) + " which contained unexpected state " +
                       v->debug()};
    auto out = cas_page(pid, *v, std::move(update), false, guard);
    if (!out) {
      push_free(pid);
      return std::unexpected(out.error());
    }
    if (!out->installed)
      throw NodeDefect{"should always be able to install a new page during allocation, but failed for pid " +
                       std::to_string(pid)};
    return std::pair{pid, out->view};
  }
  std::lock_guard lk(next_pid_mu_);
  PageId pid = next_pid_++;
  ZLOG(Trace, kTarget, "allocating pid {} for the first time", pid);
  PageView v = table_.insert(pid, new Page{});
  auto out = cas_page(pid, v, std::move(update), false, guard);
  if (!out) return std::unexpected(out.error());  // the placeholder stays, counted as free
  if (!out->installed)
    throw NodeDefect{"should always be able to install a new page during allocation, but failed for pid " +
                     std::to_string(pid)};
  return std::pair{pid, out->view};
}

Result<PageView> PageCache::get_meta(const Guard&) {
  ZLOG(Trace, kTarget, "getting page iter for META");
  Slot& s = table_.slot(kMetaPid);
  Page* p = s.load(std::memory_order_acquire);
  if (!p || !p->update)
    return std::unexpected(Error::reportable_bug("failed to retrieve META page which should always be present"));
  return PageView{p, &s};
}

Result<std::pair<PageView, uint64_t>> PageCache::get_idgen(const Guard&) {
  ZLOG(Trace, kTarget, "getting page iter for idgen");
  Slot& s = table_.slot(kCounterPid);
  Page* p = s.load(std::memory_order_acquire);
  if (!p || !p->update)
    return std::unexpected(Error::reportable_bug("failed to retrieve counter page which should always be present"));
  auto* c = std::get_if<Counter>(&*p->update);
  if (!c) throw NodeDefect{"called as_counter on " + update_debug(*p->update)};
  return std::pair{PageView{p, &s}, c->value};
}

Result<std::optional<PageId>> PageCache::cas_root_in_meta(const IVec& name, PageId old_root, PageId new_root,
                                                          const Guard& guard) {
  for (;;) {
    auto v = get_meta(guard);
    if (!v) return std::unexpected(v.error());
    auto* meta = std::get_if<Meta>(&*v->read->update);
    if (!meta) throw NodeDefect{"called as_meta on " + update_debug(*v->read->update)};
    auto it = meta->inner.find(name);
    PageId actual = it == meta->inner.end() ? 0 : it->second;
    if (actual != old_root) return std::optional<PageId>(actual);
    Meta copy = *meta;
    copy.inner.insert_or_assign(name, new_root);
    auto out = cas_page(kMetaPid, *v, Update(std::move(copy)), false, guard);
    if (!out) return std::unexpected(out.error());
    if (out->installed) return std::optional<PageId>();
  }
}

void PageCache::push_pending(PendingRecord* r) {
  PendingRecord* head = pending_.load(std::memory_order_relaxed);
  do {
    r->next = head;
  } while (!pending_.compare_exchange_weak(head, r, std::memory_order_release, std::memory_order_relaxed));
}

Result<void> PageCache::sa_mark_replace(PageId pid, Lsn lsn, const std::vector<CacheInfo>& old_frags,
                                        const CacheInfo& frag, const Guard&) {
  return sa_account(false, pid, lsn, old_frags, frag);
}

Result<void> PageCache::sa_mark_link(PageId pid, const CacheInfo& frag, const Guard&) {
  return sa_account(true, pid, frag.lsn, {}, frag);
}

Result<void> PageCache::sa_account(bool is_link, PageId pid, Lsn lsn, const std::vector<CacheInfo>& old_frags,
                                   const CacheInfo& frag) {
  if (!log_->try_lock_accountant()) {
    push_pending(new PendingRecord{is_link, pid, lsn, old_frags, frag, nullptr});
    return {};
  }
  struct Unlock {
    Log& log;
    ~Unlock() { log.unlock_accountant(); }
  } unlock{*log_};
  if (auto m = is_link ? log_->mark_link(pid, frag) : log_->mark_replace(pid, lsn, old_frags, frag); !m) return m;
  PendingRecord* r = pending_.exchange(nullptr, std::memory_order_acquire);
  Result<void> result;
  while (r) {
    if (result) {
      result = r->is_link ? log_->mark_link(r->pid, r->frag) : log_->mark_replace(r->pid, r->lsn, r->old_frags, r->frag);
    }
    PendingRecord* n = r->next;
    delete r;
    r = n;
  }
  return result;
}

Result<void> PageCache::page_out(const std::vector<PageId>& pids, const Guard& guard) {
  for (PageId pid : pids) {
    if (is_reserved_pid(pid)) continue;
    Slot& s = table_.slot(pid);
    for (;;) {
      Page* p = s.load(std::memory_order_acquire);
      if (!p || p->is_free() || !p->update) break;
      // Only content whose every fragment is durable may leave memory; an
      // unstable page stays resident until it is accessed again.
      const CacheInfo& last = p->cache_infos.back();
      if (last.lsn + static_cast<Lsn>(last.log_size) - 1 > log_->stable_lsn()) break;
      auto* fresh = new Page{p->cache_infos, std::nullopt};
      Page* expected = p;
      if (s.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel, std::memory_order_acquire)) {
        guard.retire(p);
        break;
      }
      delete fresh;
    }
  }
  return {};
}

Result<void> PageCache::rewrite_page(PageId pid, LogOffset segment_offset, const Guard& guard) {
  ZLOG(Trace, kTarget, "rewriting pid {}", pid);
  uint64_t seg = cfg_->segment_size;
  uint64_t purge = segment_offset / seg;
  for (;;) {
    Slot& s = table_.slot(pid);
    Page* p = s.load(std::memory_order_acquire);
    if (!p) throw NodeDefect{"rewriting pid " + std::to_string(pid) + " failed (no longer exists)"};
    bool in_segment = std::any_of(p->cache_infos.begin(), p->cache_infos.end(),
                                  [&](const CacheInfo& c) { return c.pointer.offset / seg == purge; });
    if (!in_segment) return {};
    if (p->cache_infos.size() == 1 && p->cache_infos[0].pointer.is_blob()) {
      ZLOG(Trace, kTarget, "rewriting blob with pid {}", pid);
      auto r = log_->reserve_blob_rewrite(pid, p->cache_infos[0].pointer.blob);
      if (!r) return std::unexpected(r.error());
      CacheInfo frag{p->cache_infos[0].ts, r->lsn(), r->pointer(), r->log_size()};
      auto* fresh = new Page{{frag}, p->update};
      Page* expected = p;
      if (s.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel, std::memory_order_acquire)) {
        auto sa = sa_mark_replace(pid, frag.lsn, p->cache_infos, frag, guard);
        guard.retire(p);
        complete_installed(*r, pid);
        if (!sa) return sa;
        if (auto t = touch(pid, fresh->log_size(), guard); !t) return t;
        ZLOG(Trace, kTarget, "rewriting pid {} succeeded", pid);
        return {};
      }
      delete fresh;
      if (auto a = r->abort(); !a) return std::unexpected(a.error());
      ZLOG(Trace, kTarget, "rewriting pid {} failed", pid);
      continue;
    }
    ZLOG(Trace, kTarget, "rewriting page with pid {}", pid);
    std::optional<Update> state;
    PageView view{p, &s};
    if (pid == kMetaPid) {
      auto m = get_meta(guard);
      if (!m) return std::unexpected(m.error());
      view = *m;
      state = *m->read->update;
    } else if (pid == kCounterPid) {
      auto c = get_idgen(guard);
      if (!c) return std::unexpected(c.error());
      view = c->first;
      state = Counter{c->second};
    } else {
      auto g = page_in(pid, guard);
      if (!g) return std::unexpected(g.error());
      if (*g) {
        view = **g;
        state = Update(view.as_node().clone());
      } else {
        Page* q = s.load(std::memory_order_acquire);
        if (!q) throw NodeDefect{"expected page missing in rewrite"};
        if (q->is_free()) {
          view = PageView{q, &s};
          state = Update(FreeMark{});
        } else {
          return {};
        }
      }
    }
    auto out = cas_page(pid, view, std::move(*state), true, guard);
    if (!out) return std::unexpected(out.error());
    ZLOG(Trace, kTarget, "rewriting pid {} success: {}", pid, out->installed);
    if (out->installed) return {};
  }
}

}  // namespace kelm::pagecache
