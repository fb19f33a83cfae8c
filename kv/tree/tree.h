// Named trees: the handle (`Tree`), its point operations, batches, range
// iteration and the B-link tree algorithms beneath them.
//
// Every operation pins an epoch guard, then takes the shared side of the
// process-wide concurrency control (a write batch takes the exclusive side).
// Writers never lock pages: each change is one page-cache compare-and-swap
// against the view read earlier; a thread that loses re-reads, and any thread
// that meets a half-done split or an announced merge finishes it.
//
// Engine defects found inside an operation are returned as ReportableBug
// errors (the host process keeps running).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kv/config/config.h"
#include "kv/epoch/epoch.h"
#include "kv/error.h"
#include "kv/ivec.h"
#include "common/oneshot.h"
#include "kv/pagecache/page_cache.h"
#include "kv/tree/node.h"

namespace kelm {

// The flusher slot of a context: at most one background flusher.
struct FlusherSlot {
  std::mutex mu;
  std::unique_ptr<pagecache::FlusherHandle> flusher;
};

// What the Db and every tree handle of one open engine share.
struct Context {
  config::RunningConfig config;
  std::shared_ptr<pagecache::PageCache> pagecache;
  std::shared_ptr<FlusherSlot> flusher;
};

namespace tree {

// Process-wide switch for node merges (on by default).
void set_merges_enabled(bool on);
bool merges_enabled();

// The result of reading one tree page.
struct View {
  pagecache::PageView node_view;
  PageId pid = 0;
  uint64_t size = 0;
  const Node& node() const { return node_view.as_node(); }
};

}  // namespace tree

// A write batch: the last write recorded per key (none: remove).
class Batch {
 public:
  void insert(Bytes key, std::vector<uint8_t> value);
  void insert(std::string_view key, std::string_view value);
  void remove(Bytes key);
  void remove(std::string_view key);
  size_t size() const { return writes.size(); }
  std::string debug() const;

  std::unordered_map<IVec, std::optional<IVec>, IVecHash> writes;
};

// The end of a key range.
struct Bound {
  enum class Kind : uint8_t { Included, Excluded, Unbounded };
  Kind kind = Kind::Unbounded;
  IVec key;
  static Bound included(IVec k) { return {Kind::Included, std::move(k)}; }
  static Bound excluded(IVec k) { return {Kind::Excluded, std::move(k)}; }
  static Bound unbounded() { return {}; }
  std::string debug() const;
};

class TreeInner;
class Iter;

// A shared handle of one named tree.
class Tree {
 public:
  Tree() = default;
  explicit Tree(std::shared_ptr<TreeInner> inner) : inner_(std::move(inner)) {}

  Result<std::optional<IVec>> get(Bytes key) const;
  Result<std::optional<IVec>> get(std::string_view key) const { return get(as_bytes(key)); }
  Result<bool> contains_key(Bytes key) const;
  Result<std::optional<IVec>> insert(Bytes key, std::vector<uint8_t> value) const;
  Result<std::optional<IVec>> insert(std::string_view key, std::string_view value) const;
  Result<std::optional<IVec>> remove(Bytes key) const;
  Result<std::optional<IVec>> remove(std::string_view key) const { return remove(as_bytes(key)); }
  // Compare-and-swap loop: stores f(current) and returns the value it replaced.
  Result<std::optional<IVec>> fetch_and_update(Bytes key,
                                               const std::function<std::optional<IVec>(const std::optional<IVec>&)>& f) const;
  Result<void> apply_batch(Batch batch) const;

  Iter range(Bound lo, Bound hi) const;
  Iter iter() const;
  // Keys beginning with `prefix` (its last byte increased by one bounds it).
  Iter scan_prefix(Bytes prefix) const;
  Iter scan_prefix(std::string_view prefix) const;

  // Makes everything written so far durable; bytes written by this call.
  Result<uint64_t> flush() const;
  // The same flush as a job on the engine's IO pool; its slot receives the
  // result. The graph engine's close waits for it with `wait_flush`.
  zudizid::common::OneShot<Result<uint64_t>>::Receiver flush_async_job() const;
  // The flush result, or ReportableBug "threadpool failed to complete action
  // before shutdown" when the job was dropped without running.
  static Result<uint64_t> wait_flush(zudizid::common::OneShot<Result<uint64_t>>::Receiver waiter);

  // Level-by-level dump of the tree's pages.
  std::string debug() const;
  const IVec& name() const;
  PageId root_for_test() const;
  TreeInner* inner() const { return inner_.get(); }
  long use_count() const { return inner_.use_count(); }
  explicit operator bool() const { return inner_ != nullptr; }

  static Bytes as_bytes(std::string_view s) { return Bytes(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

 private:
  std::shared_ptr<TreeInner> inner_;
};

// Applies the batches of several trees of one engine as one atomic batch:
// after a crash every write of them is there or none is. The trees must
// belong to the same open engine.
Result<void> apply_batches(std::vector<std::pair<Tree, Batch>> batches);

// One forward range scan. Holds nothing between calls but its bounds and a
// private copy of the leaf it is in.
class Iter {
 public:
  Iter(Tree tree, Bound lo, Bound hi) : tree_(std::move(tree)), lo_(std::move(lo)), hi_(std::move(hi)) {}
  // Next (key, value), an error, or nothing at the end.
  std::optional<Result<std::pair<IVec, IVec>>> next();

 private:
  Tree tree_;
  Bound lo_;
  Bound hi_;
  std::optional<std::pair<PageId, Node>> cached_;
  bool forward_ = true;
  // While set, the scan stands just after key `resume_at_ - 1` of the cached
  // leaf: that key is the lower bound (excluded) and `lo_` is not yet
  // updated to it. Steps within the private copy then need no search, no
  // lock and no epoch.
  bool resuming_ = false;
  size_t resume_at_ = 0;
};

class TreeInner {
 public:
  TreeInner(IVec name, Context ctx, PageId root);
  ~TreeInner();
  TreeInner(const TreeInner&) = delete;
  TreeInner& operator=(const TreeInner&) = delete;

  // ---- B-link algorithms (callers hold a guard and the shared control) ----
  Result<std::optional<tree::View>> view_for_pid(PageId pid, const Guard& guard);
  Result<tree::View> view_for_key(Bytes key, const Guard& guard);
  Result<void> split_node(const tree::View& view, const std::optional<tree::View>& parent, PageId root_pid,
                          const Guard& guard);
  Result<bool> root_hoist(PageId from, PageId to, const IVec& at, const Guard& guard);
  // One attempt: outer none = conflict; otherwise the previous value.
  Result<std::optional<std::optional<IVec>>> insert_inner(Bytes key, const std::optional<IVec>& value,
                                                          const Guard& guard);
  Result<void> merge_node(const tree::View& parent, PageId child, const Guard& guard);

  IVec name;
  Context ctx;
  std::atomic<PageId> root;
  pagecache::PageCache& pc() { return *ctx.pagecache; }
};

}  // namespace kelm
