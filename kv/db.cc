#include "kv/db.h"

#include "common/log.h"
#include "kv/pagecache/log_api.h"

namespace kelm {

using pagecache::PageCache;
using pagecache::PageState;

namespace tree {

Result<PageId> pid_for_name(PageCache& pc, Bytes name, const Guard& guard) {
  auto v = pc.get_meta(guard);
  if (!v) return std::unexpected(v.error());
  auto* meta = std::get_if<pagecache::Meta>(&*v->read->update);
  if (!meta) throw NodeDefect{"called as_meta on " + pagecache::update_debug(*v->read->update)};
  auto it = meta->inner.find(IVec::from_slice(name));
  if (it == meta->inner.end()) return std::unexpected(Error::collection_not_found(IVec::from_slice(name)));
  return it->second;
}

Result<PageId> create_or_find(PageCache& pc, Bytes name, const Guard& guard) {
  IVec n = IVec::from_slice(name);
  for (;;) {
    auto found = pid_for_name(pc, name, guard);
    if (found) return *found;
    if (!found.error().is<Error::CollectionNotFound>()) return std::unexpected(found.error());
    auto leaf = pc.allocate(pagecache::Update(empty_leaf()), guard);
    if (!leaf) return std::unexpected(leaf.error());
    ZLOG(Trace, "kelm::meta", "allocated pid {} for leaf in new_tree for namespace {}", leaf->first, n.debug());
    auto root = pc.allocate(pagecache::Update(new_root(leaf->first)), guard);
    if (!root) return std::unexpected(root.error());
    ZLOG(Debug, "kelm::meta", "allocated pid {} for root of new_tree {}", root->first, n.debug());
    auto cas = pc.cas_root_in_meta(n, 0, root->first, guard);
    if (!cas) return std::unexpected(cas.error());
    if (!*cas) return root->first;
    for (auto* p : {&*root, &*leaf}) {
      auto f = pc.free(p->first, p->second, guard);
      if (!f) return std::unexpected(f.error());
      if (!f->installed) throw NodeDefect{"could not free allocated page"};
    }
  }
}

}  // namespace tree

Result<Tree> Db::open_tree(Bytes name) const {
  IVec key = IVec::from_slice(name);
  {
    std::shared_lock lk(tenants_->mu);
    auto it = tenants_->map.find(key);
    if (it != tenants_->map.end()) return it->second;
  }
  auto guard = pin();
  std::unique_lock lk(tenants_->mu);
  auto it = tenants_->map.find(key);
  if (it != tenants_->map.end()) return it->second;
  try {
    auto root = tree::create_or_find(*ctx_.pagecache, name, guard);
    if (!root) return std::unexpected(root.error());
    Tree t(std::make_shared<TreeInner>(key, ctx_, *root));
    tenants_->map.emplace(key, t);
    return t;
  } catch (const NodeDefect& d) {
    return std::unexpected(Error::reportable_bug(d.text));
  }
}

std::vector<IVec> Db::tree_names() const {
  auto guard = pin();
  std::vector<IVec> out;
  auto v = ctx_.pagecache->get_meta(guard);
  if (!v) return out;
  if (auto* meta = std::get_if<pagecache::Meta>(&*v->read->update))
    for (const auto& [k, r] : meta->inner) out.push_back(k);
  return out;
}

namespace {

Result<void> load_snapshot(PageCache& pc, const pagecache::Snapshot& snap) {
  ZLOG(Debug, "kelm::pagecache", "load_snapshot loading pages from 0..{}", snap.pt.size());
  for (PageId p = 0; p < snap.pt.size(); ++p) {
    const PageState& st = snap.pt[p];
    ZLOG(Trace, "kelm::pagecache", "load_snapshot pid {} {}", p, st.debug());
    auto guard = pin();
    auto* page = new pagecache::Page();
    auto info = [](const pagecache::Fragment& f) { return pagecache::CacheInfo{0, f.lsn, f.ptr, f.size}; };
    switch (st.kind) {
      case PageState::Kind::Present:
        page->cache_infos.push_back(info(st.base));
        for (const auto& f : st.frags) page->cache_infos.push_back(info(f));
        break;
      case PageState::Kind::Free:
        ZLOG(Trace, "kelm::pagecache", "load_snapshot freeing pid {}", p);
        page->cache_infos.push_back(pagecache::CacheInfo{0, st.base.lsn, st.base.ptr, 32});
        page->update = pagecache::FreeMark{};
        pc.push_free(p);
        break;
      case PageState::Kind::Uninitialized:
        delete page;
        return std::unexpected(Error::reportable_bug("tried to load a " + st.debug()));
    }
    ZLOG(Trace, "kelm::pagecache", "installing page for pid {}", p);
    if ((p == pagecache::kMetaPid || p == pagecache::kCounterPid) && st.kind == PageState::Kind::Present) {
      auto u = pc.log().read_message(p, st.base.lsn, st.base.ptr);
      if (!u) {
        delete page;
        return std::unexpected(u.error());
      }
      page->update = std::move(*u);
    }
    pc.table().insert(p, page);
  }
  return {};
}

}  // namespace

Result<Db> Db::start(config::RunningConfig cfg) {
  try {
    ZLOG(Trace, "kelm::context", "starting context");
    ZLOG(Trace, "kelm::pagecache", "starting pagecache");
    cfg->global_error->clear();
    auto& backend = pagecache::log_backend(cfg);
    auto snap = backend.read_snapshot_or_default(cfg);
    if (!snap) return std::unexpected(snap.error());
    if (cfg->cache_capacity < 256)
      return std::unexpected(Error::unsupported("Please configure the cache capacity to be at least 256 bytes"));
    auto log = backend.start(cfg, *snap);
    if (!log) return std::unexpected(log.error());
    auto pc = std::make_shared<PageCache>(cfg, std::move(*log), snap->pt.size());
    if (auto l = load_snapshot(*pc, *snap); !l) return std::unexpected(l.error());
    {
      auto guard = pin();
      bool found = true;
      auto meta = pc->get_meta(guard);
      if (!meta && meta.error().is<Error::ReportableBug>()) {
        found = false;
        auto a = pc->allocate(pagecache::Update(pagecache::Meta{}), guard);
        if (!a) return std::unexpected(a.error());
        if (a->first != pagecache::kMetaPid)
          return std::unexpected(Error::reportable_bug(
              fmt::format("we expect the meta page to have pid {}, but it had pid {} instead", 0, a->first)));
      }
      auto idgen = pc->get_idgen(guard);
      if (!idgen && idgen.error().is<Error::ReportableBug>()) {
        found = false;
        auto a = pc->allocate(pagecache::Update(pagecache::Counter{0}), guard);
        if (!a) return std::unexpected(a.error());
        if (a->first != pagecache::kCounterPid)
          return std::unexpected(Error::reportable_bug(
              fmt::format("we expect the counter to have pid {}, but it had pid {} instead", 1, a->first)));
      }
      pc->was_recovered = found;
      auto c = pc->get_idgen(guard);
      if (!c) return std::unexpected(c.error());
      uint64_t value = c->second;
      uint64_t interval = cfg->idgen_persist_interval;
      pc->idgen.store(found ? value + 2 * interval : 0);
      pc->idgen_persists.store(value - value % interval);
    }
    ZLOG(Trace, "kelm::pagecache", "pagecache started");
    Context ctx{cfg, pc, std::make_shared<FlusherSlot>()};
    if (cfg->flush_every_ms) {
      PageCache* raw = pc.get();
      auto clean = [raw]() -> Result<void> {
        auto guard = pin();
        return raw->clean_one(guard);
      };
      std::lock_guard lk(ctx.flusher->mu);
      ctx.flusher->flusher = backend.start_flusher(pc->log(), clean, *cfg->flush_every_ms, pc);
    }
    PageId default_root;
    {
      auto guard = pin();
      auto r = tree::create_or_find(*pc, Tree::as_bytes(kDefaultTree), guard);
      if (!r) return std::unexpected(r.error());
      default_root = *r;
    }
    auto tenants = std::make_shared<Tenants>();
    Tree default_tree;
    {
      std::unique_lock lk(tenants->mu);
      auto guard = pin();
      auto meta = pc->get_meta(guard);
      if (!meta) return std::unexpected(meta.error());
      const auto* m = std::get_if<pagecache::Meta>(&*meta->read->update);
      if (!m) throw NodeDefect{"called as_meta on " + pagecache::update_debug(*meta->read->update)};
      for (const auto& [name, root] : m->inner) {
        Tree t(std::make_shared<TreeInner>(name, ctx, root));
        if (name.view() == kDefaultTree) default_tree = t;
        tenants->map.emplace(name, t);
      }
    }
    if (!default_tree) default_tree = Tree(std::make_shared<TreeInner>(IVec::from_slice(kDefaultTree), ctx, default_root));
    return Db(std::move(ctx), std::move(default_tree), std::move(tenants));
  } catch (const NodeDefect& d) {
    return std::unexpected(Error::reportable_bug(d.text));
  }
}

}  // namespace kelm
