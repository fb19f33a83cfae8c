// kelm::Db: an open engine, its default tree and its named trees.
//
// Built by engine start (`Config::open`). Operations on the Db act on the
// default tree "__kelm__default"; `open_tree` returns the one shared handle
// of a name, creating the tree (leaf, root, META entry) at most once.
#pragma once

#include <memory>
#include <shared_mutex>
#include <unordered_map>

#include "kv/config/config.h"
#include "kv/tree/tree.h"

namespace kelm {

class Db {
 public:
  static constexpr std::string_view kDefaultTree = "__kelm__default";

  // Engine start on a validated configuration and its locked log file.
  static Result<Db> start(config::RunningConfig cfg);

  Result<Tree> open_tree(Bytes name) const;
  Result<Tree> open_tree(std::string_view name) const { return open_tree(Tree::as_bytes(name)); }
  // Names of every tree recorded in META.
  std::vector<IVec> tree_names() const;

  const Tree& default_tree() const { return default_; }
  const Context& context() const { return ctx_; }

  Result<std::optional<IVec>> get(std::string_view key) const { return default_.get(key); }
  Result<std::optional<IVec>> insert(std::string_view key, std::string_view value) const {
    return default_.insert(key, value);
  }
  Result<std::optional<IVec>> remove(std::string_view key) const { return default_.remove(key); }
  Result<void> apply_batch(Batch b) const { return default_.apply_batch(std::move(b)); }
  Iter iter() const { return default_.iter(); }
  Iter scan_prefix(std::string_view p) const { return default_.scan_prefix(p); }
  Result<uint64_t> flush() const { return default_.flush(); }

 private:
  struct Tenants {
    mutable std::shared_mutex mu;
    std::unordered_map<IVec, Tree, IVecHash> map;
  };

  Db(Context ctx, Tree default_tree, std::shared_ptr<Tenants> tenants)
      : ctx_(std::move(ctx)), default_(std::move(default_tree)), tenants_(std::move(tenants)) {}

  Context ctx_;
  Tree default_;
  std::shared_ptr<Tenants> tenants_;
};

namespace tree {
// The root of `name` recorded in META; CollectionNotFound when absent.
Result<PageId> pid_for_name(pagecache::PageCache& pc, Bytes name, const Guard& guard);
// Creates `name` (leaf, root, META entry) unless another writer did first;
// returns its root.
Result<PageId> create_or_find(pagecache::PageCache& pc, Bytes name, const Guard& guard);
}  // namespace tree

}  // namespace kelm
