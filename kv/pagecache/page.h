// Page records of the page table: what a page holds (`Update`) and where its
// fragments lie in the log (`CacheInfo`).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "kv/ivec.h"
#include "kv/pagecache/disk_ptr.h"
#include "kv/tree/node.h"

namespace kelm::pagecache {

constexpr PageId kMetaPid = 0;
constexpr PageId kCounterPid = 1;
constexpr PageId kBatchManifestPid = 18446744073709550949ull;  // 2^64 - 667, never a page

// One fragment of a page in the log.
struct CacheInfo {
  uint64_t ts = 0;   // the page's logical timestamp after this fragment
  Lsn lsn = 0;       // where the fragment's message was reserved
  DiskPtr pointer;   // where the message lies
  uint64_t log_size = 0;  // bytes the message takes in the log

  friend bool operator==(const CacheInfo&, const CacheInfo&) = default;
  std::string debug() const;
};

// Tree name -> root pid, in bytewise name order.
struct Meta {
  std::map<IVec, PageId> inner;
  std::string debug() const;
};

struct FreeMark {};
struct Counter {
  uint64_t value = 0;
};

// Variant order: Link, Node, Free, Counter, Meta.
using Update = std::variant<Link, Node, FreeMark, Counter, Meta>;

enum class LogKind : uint8_t { Replace, Link, Free, Skip };

inline LogKind log_kind_of(const Update& u) {
  if (std::holds_alternative<FreeMark>(u)) return LogKind::Free;
  if (std::holds_alternative<Link>(u)) return LogKind::Link;
  return LogKind::Replace;
}

std::string update_debug(const Update& u);

}  // namespace kelm::pagecache
