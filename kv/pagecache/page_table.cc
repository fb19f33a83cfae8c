#include "kv/pagecache/page_table.h"

#include <fmt/format.h>

#include <cstdlib>
#include <new>

namespace kelm::pagecache {

std::string Page::debug() const {
  std::string s = "Page { update: ";
  s += update ? "Some(" + update_debug(*update) + ")" : "None";
  s += ", cache_infos: [";
  for (size_t i = 0; i < cache_infos.size(); ++i) s += (i ? ", " : "") + cache_infos[i].debug();
  return s + "] }";
}

const Node& as_node(const Update& u) {
  if (auto* n = std::get_if<Node>(&u)) return *n;
  throw NodeDefect{"called as_node on non-Node: " + update_debug(u)};
}

const Node& PageView::as_node() const {
  if (!read || !read->update) throw NodeDefect{"called as_node on non-Node: None"};
  return pagecache::as_node(*read->update);
}

std::string PageView::debug() const {
  return fmt::format("PageView {{ read: {}, entry: {} }}", fmt::ptr(read), fmt::ptr(entry));
}

namespace {
// Zeroed arrays straight from the allocator (fresh pages for large sizes, so
// untouched slots cost no memory). A zero word is a null atomic pointer.
template <class T>
T* zeroed(size_t n) {
  void* p = std::calloc(n, sizeof(T));
  if (!p) throw std::bad_alloc();
  return static_cast<T*>(p);
}
}  // namespace

PageTable::PageTable() : l1_(zeroed<std::atomic<Slot*>>(kL1Size)) {}

PageTable::~PageTable() {
  for (uint64_t i = 0; i < kL1Size; ++i) {
    Slot* arr = l1_[i].load(std::memory_order_acquire);
    if (!arr) continue;
    for (uint64_t j = 0; j < kL2Size; ++j) delete arr[j].load(std::memory_order_relaxed);
    std::free(arr);
  }
  std::free(l1_);
}

Slot& PageTable::slot(PageId pid) {
  if (pid >= (1ull << kMaxPidBits))
    throw NodeDefect{fmt::format("trying to access key of {}, which is higher than 2 ^ {}", pid, kMaxPidBits)};
  auto& l1 = l1_[pid >> kFanoutBits];
  Slot* arr = l1.load(std::memory_order_acquire);
  if (!arr) {
    Slot* fresh = zeroed<Slot>(kL2Size);
    if (l1.compare_exchange_strong(arr, fresh, std::memory_order_acq_rel, std::memory_order_acquire)) {
      arr = fresh;
    } else {
      std::free(fresh);  // another thread installed one first; nobody saw ours
    }
  }
  return arr[pid & (kL2Size - 1)];
}

std::optional<PageView> PageTable::get(PageId pid) {
  Slot& s = slot(pid);
  Page* p = s.load(std::memory_order_acquire);
  if (!p) return std::nullopt;
  return PageView{p, &s};
}

PageView PageTable::insert(PageId pid, Page* page) {
  Slot& s = slot(pid);
  Page* old = s.exchange(page, std::memory_order_acq_rel);
  if (old != nullptr) throw NodeDefect{"assertion failed: old.is_null()"};
  return PageView{page, &s};
}

size_t PageTable::arrays_for_test() const {
  size_t n = 0;
  for (uint64_t i = 0; i < kL1Size; ++i) n += l1_[i].load() != nullptr;
  return n;
}

}  // namespace kelm::pagecache
