// The page cache: the only way trees and engine start read and change pages.
//
// Every change is one log reservation plus one compare-and-swap of the
// page's slot. The reservation is completed once the swap is won (even if
// later bookkeeping fails: a change that is visible is never cancelled in
// the log) and aborted when the swap is lost. Reads of paged-out pages
// rebuild the node from its fragments in the log.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <queue>
#include <vector>

#include "kv/config/config.h"
#include "kv/epoch/epoch.h"
#include "kv/error.h"
#include "kv/pagecache/log_api.h"
#include "kv/pagecache/lru.h"
#include "kv/pagecache/page_table.h"

namespace kelm::pagecache {

// Outcome of a change that did not fail: installed, or lost the race to the
// record now in the slot (`view.read` may be null when the page is gone).
struct CasOutcome {
  bool installed = false;
  PageView view;
};

class PageCache {
 public:
  PageCache(config::RunningConfig cfg, std::unique_ptr<Log> log, uint64_t next_pid);
  ~PageCache();

  // `get`: the page's view, none for a never-used or freed pid; pages in
  // from the log when needed. Reserved pids are Unsupported.
  Result<std::optional<PageView>> get(PageId pid, const Guard& guard);
  Result<CasOutcome> cas_page(PageId pid, PageView old, Update update, bool relocating, const Guard& guard);
  Result<CasOutcome> link(PageId pid, PageView old, const Link& link, const Guard& guard);
  Result<CasOutcome> replace(PageId pid, PageView old, Node node, const Guard& guard);
  Result<CasOutcome> free(PageId pid, PageView old, const Guard& guard);
  Result<std::pair<PageId, PageView>> allocate(Update update, const Guard& guard);

  Result<PageView> get_meta(const Guard& guard);
  Result<std::pair<PageView, uint64_t>> get_idgen(const Guard& guard);
  // Sets `name`'s root when its current root equals `old_root` (0: none).
  // Outcome: nullopt on success, or the current root (0: none) on mismatch.
  Result<std::optional<PageId>> cas_root_in_meta(const IVec& name, PageId old_root, PageId new_root,
                                                 const Guard& guard);

  // Segment accounting of an installed change. Callers account before they
  // complete the change's reservation: until then its buffer cannot be
  // written, so the segment it lands in is still Active.
  Result<void> sa_mark_replace(PageId pid, Lsn lsn, const std::vector<CacheInfo>& old_frags, const CacheInfo& frag,
                               const Guard& guard);
  Result<void> sa_mark_link(PageId pid, const CacheInfo& frag, const Guard& guard);
  Result<void> page_out(const std::vector<PageId>& pids, const Guard& guard);
  // Relocates `pid` out of the segment at `segment_offset` (cleaning step).
  Result<void> rewrite_page(PageId pid, LogOffset segment_offset, const Guard& guard);
  // One cleaning step: pops one queued (pid, segment) pair and relocates it.
  Result<void> clean_one(const Guard& guard);

  Log& log() { return *log_; }
  PageTable& table() { return table_; }
  const config::RunningConfig& config() const { return cfg_; }

  // Start-up only (single-threaded).
  void push_free(PageId pid);
  void set_next_pid(PageId pid);

  std::atomic<uint64_t> idgen{0};
  std::atomic<uint64_t> idgen_persists{0};
  bool was_recovered = false;

  // "PageCache { max: N free: [..] }" for the tree dump.
  std::string debug_line();

 private:
  struct PendingRecord {
    bool is_link;
    PageId pid;
    Lsn lsn;
    std::vector<CacheInfo> old_frags;
    CacheInfo frag;
    PendingRecord* next;
  };
  struct FreeList {
    std::mutex mu;
    std::priority_queue<PageId> heap;
  };

  Result<void> touch(PageId pid, uint64_t size, const Guard& guard);
  void push_pending(PendingRecord* r);
  // Records one change with the accountant (or defers it when the lock is
  // busy), then applies the deferred records.
  Result<void> sa_account(bool is_link, PageId pid, Lsn lsn, const std::vector<CacheInfo>& old_frags,
                          const CacheInfo& frag);
  // Completes a reservation whose change is installed; a failure goes to
  // the global error slot and the log, never to the caller.
  void complete_installed(Reservation& r, PageId pid);
  Result<std::optional<PageView>> page_in(PageId pid, const Guard& guard);

  config::RunningConfig cfg_;
  std::unique_ptr<Log> log_;
  PageTable table_;
  Lru lru_;
  std::mutex next_pid_mu_;
  PageId next_pid_;
  std::shared_ptr<FreeList> free_ = std::make_shared<FreeList>();
  std::atomic<PendingRecord*> pending_{nullptr};
};

bool is_reserved_pid(PageId pid);

}  // namespace kelm::pagecache
