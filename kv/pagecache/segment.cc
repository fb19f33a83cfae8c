#include "kv/pagecache/segment.h"

#include <algorithm>

#include <fmt/format.h>

#include "common/log.h"
#include "kv/pagecache/blob_io.h"
#include "kv/threadpool/threadpool.h"

namespace kelm::pagecache {

namespace {
constexpr const char* kTarget = "kelm::pagecache::segment";

template <class C>
std::string set_debug(const C& c) {
  std::vector<typename C::value_type> v(c.begin(), c.end());
  std::sort(v.begin(), v.end());
  std::string s = "{";
  for (size_t i = 0; i < v.size(); ++i) s += fmt::format("{}{}", i ? ", " : "", v[i]);
  return s + "}";
}

Error bug(std::string text) { return Error::reportable_bug(std::move(text)); }

Segment::Active active_at(Lsn lsn) {
  Segment::Active a;
  a.lsn = lsn;
  return a;
}
}  // namespace

// ---- Segment ---------------------------------------------------------------

Result<Lsn> Segment::lsn() const {
  if (const auto* a = std::get_if<Active>(&v)) return a->lsn;
  if (const auto* i = std::get_if<Inactive>(&v)) return i->lsn;
  if (const auto* d = std::get_if<Draining>(&v)) return d->lsn;
  return std::unexpected(bug("called lsn on Segment::Free"));
}

std::string Segment::debug() const {
  if (const auto* f = std::get_if<Free>(&v))
    return fmt::format("Free(Free {{ previous_lsn: {} }})",
                       f->previous_lsn ? fmt::format("Some({})", *f->previous_lsn) : "None");
  if (const auto* a = std::get_if<Active>(&v))
    return fmt::format(
        "Active(Active {{ lsn: {}, rss: {}, deferred_replaced_rss: {}, deferred_replaced_pids: {}, pids: {}, "
        "latest_replacement_lsn: {}, can_free_upon_deactivation: {}, deferred_rm_blob: {} }})",
        a->lsn, a->rss, a->deferred_replaced_rss, set_debug(a->deferred_replaced_pids), set_debug(a->pids),
        a->latest_replacement_lsn, set_debug(a->can_free_upon_deactivation), set_debug(a->deferred_rm_blob));
  if (const auto* i = std::get_if<Inactive>(&v))
    return fmt::format(
        "Inactive(Inactive {{ lsn: {}, rss: {}, pids: {}, max_pids: {}, replaced_pids: {}, latest_replacement_lsn: {} "
        "}})",
        i->lsn, i->rss, set_debug(i->pids), i->max_pids, i->replaced_pids, i->latest_replacement_lsn);
  const auto& d = std::get<Draining>(v);
  return fmt::format("Draining(Draining {{ lsn: {}, max_pids: {}, replaced_pids: {}, latest_replacement_lsn: {} }})",
                     d.lsn, d.max_pids, d.replaced_pids, d.latest_replacement_lsn);
}

// ---- SegmentCleaner --------------------------------------------------------

std::optional<std::pair<PageId, LogOffset>> SegmentCleaner::pop() {
  std::lock_guard lock(mu_);
  if (to_clean_.empty()) return std::nullopt;
  auto it = to_clean_.begin();
  if (it->second.empty()) {
    to_clean_.erase(it);
    return std::nullopt;
  }
  PageId pid = *it->second.begin();
  it->second.erase(it->second.begin());
  return std::make_pair(pid, it->first);
}

Result<void> SegmentCleaner::add_pids(LogOffset offset, std::set<PageId> pids) {
  std::lock_guard lock(mu_);
  if (!to_clean_.emplace(offset, std::move(pids)).second)
    return std::unexpected(bug(fmt::format("segment at {} was queued for cleaning twice", offset)));
  return {};
}

void SegmentCleaner::remove(LogOffset offset) {
  std::lock_guard lock(mu_);
  to_clean_.erase(offset);
}

bool SegmentCleaner::empty() const {
  std::lock_guard lock(mu_);
  return to_clean_.empty();
}

// ---- TruncationTask --------------------------------------------------------

IoResult<void> TruncationTask::run() {
  std::lock_guard lock(mu_);
  if (!done_) {
    ZLOG(Debug, kTarget, "truncating file to length {}", len_);
    result_ = file_->set_len(len_);
    if (result_) result_ = file_->sync_data();
    done_ = true;
  }
  return result_;
}

void TruncationTask::supersede() {
  std::lock_guard lock(mu_);
  done_ = true;
}

// ---- SegmentAccountant -----------------------------------------------------

Segment& SegmentAccountant::slot(size_t index) {
  if (index >= segments_.size()) segments_.resize(index + 1);
  return segments_[index];
}

Result<void> SegmentAccountant::wait_pending_from(LogOffset from) {
  while (true) {
    auto it = pending_truncations_.lower_bound(from);
    if (it == pending_truncations_.end()) return {};
    auto task = std::move(it->second);
    pending_truncations_.erase(it);
    if (auto r = task->run(); !r) {
      ZLOG(Error, kTarget, "failed to shrink file: {}", r.error().display());
      return std::unexpected(Error::io(r.error()));
    }
  }
}

Result<void> SegmentAccountant::wait_for_truncations() { return wait_pending_from(0); }

Result<LogOffset> SegmentAccountant::next(Lsn lsn) {
  const uint64_t S = config_.segment_size;
  if (lsn % static_cast<Lsn>(S) != 0) return std::unexpected(bug("unaligned Lsn provided to next!"));
  ZLOG(Trace, kTarget, "evaluating free list {} in SA::next", set_debug(free_list_));
  LogOffset offset;
  if (!free_list_.empty()) {
    offset = *free_list_.begin();
    free_list_.erase(free_list_.begin());
  } else {
    if (auto r = wait_pending_from(tip_); !r) return std::unexpected(r.error());
    ZLOG(Trace, kTarget, "advancing file tip from {} to {}", tip_, tip_ + S);
    offset = tip_;
    tip_ += S;
  }
  Segment& seg = slot(offset / S);
  if (!seg.is_free()) return std::unexpected(bug(fmt::format("next handed out a segment in use: {}", seg.debug())));
  ZLOG(Trace, kTarget, "setting Segment to Active with new lsn {}", lsn);
  seg.v = active_at(lsn);
  ordering_[lsn] = offset;
  if (lsn < static_cast<Lsn>(offset))
    return std::unexpected(bug(fmt::format("lsn {} should always be greater than or equal to lid {}", lsn, offset)));
  ZLOG(Debug, kTarget, "segment accountant returning offset: {} for lsn {} on deck: {}", offset, lsn,
       set_debug(free_list_));
  return offset;
}

Result<void> SegmentAccountant::mark_link(PageId pid, const FragmentInfo& info) {
  ZLOG(Trace, kTarget, "mark_link pid {} at cache info ({}, {}, {})", pid, info.lsn, info.pointer.debug(),
       info.log_size);
  const size_t idx = info.pointer.offset / config_.segment_size;
  const Lsn expected = segment_base(info.lsn);
  Segment& seg = slot(idx);
  auto actual = seg.lsn();
  if (!actual || *actual != expected)
    return std::unexpected(bug(fmt::format(
        "segment somehow got reused by the time a link was marked on it. expected lsn: {} actual: {}", expected,
        actual ? fmt::format("{}", *actual) : seg.debug())));
  auto* a = std::get_if<Segment::Active>(&seg.v);
  if (!a) return std::unexpected(bug(fmt::format("called insert_pid on {}", seg.debug())));
  a->pids.insert(pid);
  a->rss += info.log_size;
  return {};
}

Result<void> SegmentAccountant::mark_replace(PageId pid, Lsn lsn, std::span<const FragmentInfo> old_infos,
                                             const FragmentInfo& new_info) {
  const uint64_t S = config_.segment_size;
  ZLOG(Trace, kTarget, "mark_replace pid {} from cache infos {} to cache info ({}, {}, {}) with lsn {}", pid,
       old_infos.size(), new_info.lsn, new_info.pointer.debug(), new_info.log_size, lsn);
  if (auto r = mark_link(pid, new_info); !r) return r;
  if (old_infos.empty()) return {};

  // Blobs of the replaced version go, except the one the new version still
  // points to (a relocated blob page keeps its blob id).
  const size_t new_idx = new_info.pointer.offset / S;
  for (const auto& old : old_infos) {
    if (!old.pointer.is_blob()) continue;
    if (new_info.pointer.is_blob() && new_info.pointer.blob == old.pointer.blob) continue;
    Segment& target = slot(new_idx);
    if (auto* a = std::get_if<Segment::Active>(&target.v)) {
      ZLOG(Trace, kTarget, "queueing blob removal for {} in our own segment", old.pointer.blob);
      a->deferred_rm_blob.insert(old.pointer.blob);
    } else if (target.is_inactive() || target.is_draining()) {
      ZLOG(Trace, kTarget,
           "directly removing blob {} that was referred-to in a segment that has already been marked as Inactive or "
           "Draining.",
           old.pointer.blob);
      blob_io::remove_blob(config_.path, old.pointer.blob);
    } else {
      return std::unexpected(bug("remove_blob called on a Free Segment"));
    }
  }

  std::map<size_t, uint64_t> per_segment;
  for (const auto& old : old_infos) per_segment[old.pointer.offset / S] += old.log_size;

  const Lsn replacement_lsn = segment_base(lsn);
  for (auto [idx, bytes] : per_segment) {
    Segment& seg = slot(idx);
    ZLOG(Trace, kTarget, "removing pid {} at lsn {} from segment {}", pid, lsn, seg.debug());
    Lsn* latest = nullptr;
    if (auto* a = std::get_if<Segment::Active>(&seg.v)) {
      if (a->lsn > replacement_lsn) return std::unexpected(bug("replacement lsn below the replaced segment's lsn"));
      if (a->lsn != replacement_lsn) a->deferred_replaced_pids.insert(pid);
      a->deferred_replaced_rss += bytes;
      latest = &a->latest_replacement_lsn;
    } else if (auto* i = std::get_if<Segment::Inactive>(&seg.v)) {
      if (i->lsn > replacement_lsn) return std::unexpected(bug("replacement lsn below the replaced segment's lsn"));
      if (i->lsn != replacement_lsn) {
        i->pids.erase(pid);
        i->replaced_pids += 1;
      }
      if (i->rss < bytes) return std::unexpected(bug("segment rss underflow"));
      i->rss -= bytes;
      latest = &i->latest_replacement_lsn;
    } else if (auto* d = std::get_if<Segment::Draining>(&seg.v)) {
      if (d->lsn > replacement_lsn) return std::unexpected(bug("replacement lsn below the replaced segment's lsn"));
      if (d->lsn != replacement_lsn) d->replaced_pids += 1;
      latest = &d->latest_replacement_lsn;
    } else {
      return std::unexpected(bug(fmt::format("called remove pid {} on Segment::Free", pid)));
    }
    *latest = std::max(*latest, replacement_lsn);
    if (auto r = possibly_clean_or_free_segment(idx, new_info.lsn); !r) return r;
  }
  return {};
}

Result<void> SegmentAccountant::stabilize(Lsn stable_lsn) {
  const Lsn S = static_cast<Lsn>(config_.segment_size);
  const Lsn normalized = (stable_lsn / S - 1) * S;
  ZLOG(Trace, kTarget, "stabilize({}), normalized: {}, last: {}", stable_lsn, normalized, max_stabilized_lsn_);
  if (max_stabilized_lsn_ >= normalized) return {};
  std::vector<Lsn> lsns;
  for (auto it = ordering_.upper_bound(max_stabilized_lsn_); it != ordering_.end() && it->first <= normalized; ++it)
    lsns.push_back(it->first);
  max_stabilized_lsn_ = normalized;
  for (Lsn l : lsns)
    if (auto r = deactivate_segment(l); !r) return r;
  return {};
}

Result<void> SegmentAccountant::deactivate_segment(Lsn lsn) {
  const uint64_t S = config_.segment_size;
  auto it = ordering_.find(lsn);
  if (it == ordering_.end()) return std::unexpected(bug(fmt::format("deactivating unknown segment lsn {}", lsn)));
  const LogOffset offset = it->second;
  const size_t idx = offset / S;
  Segment& seg = slot(idx);
  ZLOG(Trace, kTarget, "deactivating segment with lid {} lsn {}: {}", offset, lsn, seg.debug());
  if (auto* a = std::get_if<Segment::Active>(&seg.v)) {
    if (lsn < a->lsn) return std::unexpected(bug("deactivating a segment below its lsn"));
    ZLOG(Trace, kTarget, "setting Segment with lsn {} to Inactive", a->lsn);
    for (Lsn blob : a->deferred_rm_blob) {
      ZLOG(Trace, kTarget, "removing blob {} while transitioning segment lsn {} to Inactive", blob, a->lsn);
      blob_io::remove_blob(config_.path, blob);
    }
    Segment::Inactive next;
    next.lsn = a->lsn;
    if (a->rss < a->deferred_replaced_rss) return std::unexpected(bug("segment rss underflow"));
    next.rss = a->rss - a->deferred_replaced_rss;
    next.max_pids = a->pids.size();
    next.replaced_pids = a->deferred_replaced_pids.size();
    for (PageId p : a->pids)
      if (!a->deferred_replaced_pids.count(p)) next.pids.insert(p);
    next.latest_replacement_lsn = a->latest_replacement_lsn;
    auto to_free = std::move(a->can_free_upon_deactivation);
    seg.v = std::move(next);
    std::vector<Lsn> sorted(to_free.begin(), to_free.end());
    std::sort(sorted.begin(), sorted.end());
    for (Lsn l : sorted) {
      auto o = ordering_.find(l);
      if (o == ordering_.end()) return std::unexpected(bug(fmt::format("deferred free of unknown lsn {}", l)));
      if (o->second == offset) return std::unexpected(bug("segment deferred its own free"));
      if (auto r = free_segment(o->second); !r) return r;
    }
  }
  if (auto r = possibly_clean_or_free_segment(idx, lsn); !r) return r;

  size_t free = 0, inactive = 0;
  for (const auto& s : segments_) {
    free += s.is_free();
    inactive += s.is_inactive();
  }
  const size_t ratio = free * 100 / (1 + free + inactive);
  if (inactive > 5 && ratio >= 50) {
    for (size_t i = segments_.size(); i-- > 0;) {
      auto* in = std::get_if<Segment::Inactive>(&segments_[i].v);
      if (!in) continue;
      ZLOG(Trace, kTarget, "setting Segment with lsn {} to Draining", in->lsn);
      std::set<PageId> pids = std::move(in->pids);
      segments_[i].v = Segment::Draining{in->lsn, in->max_pids, in->replaced_pids, in->latest_replacement_lsn};
      if (auto r = cleaner_->add_pids(i * S, std::move(pids)); !r) return r;
      break;
    }
  }
  return {};
}

Result<void> SegmentAccountant::possibly_clean_or_free_segment(size_t index, Lsn lsn) {
  const uint64_t S = config_.segment_size;
  Segment& seg = slot(index);
  if (auto* in = std::get_if<Segment::Inactive>(&seg.v)) {
    if (in->rss * 100 / S <= 50) {
      ZLOG(Trace, kTarget, "SA inserting {} into to_clean from possibly_clean_or_free_segment", index * S);
      if (lsn < in->lsn) return std::unexpected(bug("draining a segment below its lsn"));
      ZLOG(Trace, kTarget, "setting Segment with lsn {} to Draining", in->lsn);
      std::set<PageId> pids = std::move(in->pids);
      seg.v = Segment::Draining{in->lsn, in->max_pids, in->replaced_pids, in->latest_replacement_lsn};
      if (auto r = cleaner_->add_pids(index * S, std::move(pids)); !r) return r;
    }
  }
  if (auto* d = std::get_if<Segment::Draining>(&seg.v)) {
    if (d->replaced_pids != d->max_pids) return {};
    if (lsn < d->lsn) return std::unexpected(bug("freeing a segment below its lsn"));
    const Lsn seg_lsn = d->lsn;
    const Lsn newest = d->latest_replacement_lsn;
    ZLOG(Trace, kTarget, "setting Segment with lsn {} to Free", seg_lsn);
    seg.v = Segment::Free{seg_lsn};
    auto r = ordering_.find(newest);
    if (r != ordering_.end()) {
      // The newest replacement is not durable while its segment is Active.
      if (auto* holder = std::get_if<Segment::Active>(&slot(r->second / S).v)) {
        ZLOG(Trace, kTarget, "deferring free of segment {} in possibly_clean_or_free_segment", index * S);
        holder->can_free_upon_deactivation.insert(seg_lsn);
        return {};
      }
    }
    return free_segment(index * S);
  }
  if (seg.is_free()) return std::unexpected(bug("possibly_clean_or_free_segment called on a Free segment"));
  return {};
}

Result<void> SegmentAccountant::free_segment(LogOffset offset) {
  const uint64_t S = config_.segment_size;
  ZLOG(Debug, kTarget, "freeing segment {}", offset);
  ZLOG(Trace, kTarget, "free list before free {}", set_debug(free_list_));
  cleaner_->remove(offset);
  if (offset >= tip_)
    return std::unexpected(
        bug(fmt::format("freed a segment at {} above our current file tip {}, please report this bug!", offset, tip_)));
  Segment& seg = slot(offset / S);
  auto* f = std::get_if<Segment::Free>(&seg.v);
  if (!f) return std::unexpected(bug(fmt::format("freeing a segment in use: {}", seg.debug())));
  if (!free_list_.insert(offset).second) return std::unexpected(bug("double-free of a segment occurred"));
  if (f->previous_lsn) {
    ZLOG(Trace, kTarget, "removing segment {} with lsn {} from ordering", offset, *f->previous_lsn);
    ordering_.erase(*f->previous_lsn);
  }
  while (tip_ > 0 && free_list_.size() >= 2) {
    const LogOffset last = tip_ - S;
    if (!free_list_.count(last)) break;
    free_list_.erase(last);
    tip_ = last;
    ZLOG(Trace, kTarget, "asynchronously truncating file to length {}", last);
    if (pending_truncations_.count(last))
      return std::unexpected(bug(
          fmt::format("somehow segment {} was truncated before the previous truncation completed", last)));
    for (auto it = pending_truncations_.upper_bound(last); it != pending_truncations_.end(); ++it)
      it->second->supersede();
    auto task = std::make_shared<TruncationTask>(config_.file, last);
    pending_truncations_.emplace(last, task);
    (void)threadpool::spawn([task] { return task->run().has_value(); }, config_.jobs);
  }
  return {};
}

Result<void> SegmentAccountant::initialize_from_snapshot(const Snapshot& snapshot) {
  const uint64_t S = config_.segment_size;
  auto len = config_.file->len();
  if (!len) return std::unexpected(Error::io(len.error()));
  size_t n = *len / S + (*len % S != 0 ? 1 : 0);
  segments_.clear();
  segments_.resize(n);
  bool has_active = false;
  size_t active_index = 0;
  if (snapshot.active_segment) {
    const size_t i = *snapshot.active_segment / S;
    if (i == segments_.size()) segments_.emplace_back();
    if (i >= segments_.size()) {
      ZLOG(Error, kTarget, "failed to properly initialize segments, suspected disk corruption");
      return std::unexpected(Error::corruption());
    }
    const Lsn seg_lsn = segment_base(snapshot.stable_lsn.value_or(0));
    ZLOG(Trace, kTarget, "setting segment for tip_lid {} to stable_lsn {}", *snapshot.active_segment, seg_lsn);
    if (segments_[i].is_free()) segments_[i].v = active_at(seg_lsn);
    has_active = true;
    active_index = i;
  }
  auto add = [&](PageId pid, Lsn lsn, LogOffset lid, uint64_t size) -> Result<void> {
    const size_t idx = lid / S;
    ZLOG(Trace, kTarget, "adding lsn: {} lid: {} sz: {} for pid {} to segment {} during SA recovery", lsn, lid, size,
         pid, idx);
    const Lsn seg_lsn = segment_base(lsn);
    if (idx >= segments_.size())
      return std::unexpected(bug(fmt::format("page {} has a location {} beyond the log file", pid, lid)));
    Segment& seg = segments_[idx];
    if (seg.is_free()) {
      ZLOG(Trace, kTarget, "(snapshot) recovering segment with base lsn {}", seg_lsn);
      ZLOG(Trace, kTarget, "setting Segment to Active with new lsn {}", seg_lsn);
      seg.v = active_at(seg_lsn);
    }
    auto* a = std::get_if<Segment::Active>(&seg.v);
    if (!a) return std::unexpected(bug(fmt::format("called insert_pid on {}", seg.debug())));
    if (a->lsn != seg_lsn)
      return std::unexpected(
          bug(fmt::format("insert_pid specified lsn {} for pid {} in segment {}", seg_lsn, pid, seg.debug())));
    a->pids.insert(pid);
    a->rss += size;
    return {};
  };
  for (PageId pid = 0; pid < snapshot.pt.size(); ++pid) {
    const PageState& st = snapshot.pt[pid];
    if (st.kind == PageState::Kind::Present) {
      if (auto r = add(pid, st.base.lsn, st.base.ptr.offset, st.base.size); !r) return r;
      for (const auto& f : st.frags)
        if (auto r = add(pid, f.lsn, f.ptr.offset, f.size); !r) return r;
    } else if (st.kind == PageState::Kind::Free) {
      if (auto r = add(pid, st.base.lsn, st.base.ptr.offset, kMaxMsgHeaderLen); !r) return r;
    } else {
      return std::unexpected(bug(fmt::format("tried to recover pagestate from a {}", st.debug())));
    }
  }
  return settle_segments_from_snapshot(has_active, active_index);
}

Result<void> SegmentAccountant::settle_segments_from_snapshot(bool has_active, size_t active_index) {
  const uint64_t S = config_.segment_size;
  std::vector<LogOffset> to_free;
  std::vector<std::pair<size_t, Lsn>> to_check;
  for (size_t i = 0; i < segments_.size(); ++i) {
    const LogOffset base = i * S;
    if (base >= tip_) {
      tip_ = base + S;
      ZLOG(Trace, kTarget, "raised self.tip to {} during SA initialization", tip_);
    }
    if (segments_[i].is_free()) {
      to_free.push_back(base);
    } else if (has_active && i != active_index) {
      to_check.emplace_back(i, *segments_[i].lsn());
    }
  }
  for (LogOffset base : to_free) {
    if (auto r = free_segment(base); !r) return r;
    // Stale headers must not be mistaken for segments at the next start. A
    // slot already cut off the end of the file needs no zeroing.
    if (base < tip_) {
      if (auto r = write_zeros_at(*config_.file, S, base); !r) return std::unexpected(Error::io(r.error()));
    }
  }
  if (auto r = wait_for_truncations(); !r) return r;
  for (auto [i, lsn] : to_check)
    if (auto r = possibly_clean_or_free_segment(i, lsn); !r) return r;
  ZLOG(Trace, kTarget, "initialized self.segments to {} slots", segments_.size());
  ordering_.clear();
  for (size_t i = 0; i < segments_.size(); ++i)
    if (!segments_[i].is_free()) ordering_[*segments_[i].lsn()] = i * S;
  if (!free_list_.empty() && *free_list_.rbegin() >= tip_)
    return std::unexpected(bug(fmt::format("expected recovered tip {} to be above max item in recovered free list {}",
                                           tip_, *free_list_.rbegin())));
  ZLOG(Debug, kTarget, "SA starting with tip {} stable {} free {}", tip_, max_stabilized_lsn_, set_debug(free_list_));
  return {};
}

}  // namespace kelm::pagecache
