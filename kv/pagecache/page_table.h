// The page table: a two-level table of atomic slots, each pointing at the
// current immutable `Page` record of a pid.
//
// Readers load a slot and use the record under their epoch guard; a change
// publishes a whole new record by compare-and-swap and retires the old one
// through the guard. Second-level arrays are installed once by CAS and never
// removed while the table lives.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kv/epoch/epoch.h"
#include "kv/pagecache/page.h"

namespace kelm::pagecache {

struct Page {
  std::vector<CacheInfo> cache_infos;  // oldest first
  std::optional<Update> update;        // absent: content not in memory

  uint64_t ts() const { return cache_infos.empty() ? 0 : cache_infos.back().ts; }
  uint64_t log_size() const {
    uint64_t n = 0;
    for (const auto& c : cache_infos) n += c.log_size;
    return n;
  }
  Lsn last_lsn() const { return cache_infos.empty() ? 0 : cache_infos.back().lsn; }
  bool is_free() const { return cache_infos.empty() || (update && std::holds_alternative<FreeMark>(*update)); }
  std::string debug() const;
};

using Slot = std::atomic<Page*>;

// A record as loaded from its slot; valid while the loading guard is pinned.
struct PageView {
  Page* read = nullptr;
  Slot* entry = nullptr;

  const Page& page() const { return *read; }
  // The page's node; a defect (NodeDefect) when it holds something else.
  const Node& as_node() const;
  std::string debug() const;
};

class PageTable {
 public:
  static constexpr uint64_t kFanoutBits = 18;
  static constexpr uint64_t kL1Size = 1ull << 19;
  static constexpr uint64_t kL2Size = 1ull << kFanoutBits;
  static constexpr uint64_t kMaxPidBits = 37;

  PageTable();
  ~PageTable();
  PageTable(const PageTable&) = delete;
  PageTable& operator=(const PageTable&) = delete;

  // The slot of `pid`, installing its second-level array when missing.
  // A pid of 2^37 or more is an engine defect.
  Slot& slot(PageId pid);
  std::optional<PageView> get(PageId pid);
  PageView insert(PageId pid, Page* page);

  // Number of installed second-level arrays (tests).
  size_t arrays_for_test() const;

 private:
  std::atomic<Slot*>* l1_;  // kL1Size entries, owned
};

const Node& as_node(const Update& u);

}  // namespace kelm::pagecache
