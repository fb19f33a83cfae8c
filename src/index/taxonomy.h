// TaxonomyIndex: the class hierarchy.
//
// Classes are node ids carrying a name, linked by direct subclass relations.
// The graph keeps one (the built-in "_taxonomy" index owns it); every EL
// reasoner keeps its own. A plain in-memory value: copying copies every map,
// the memo included. Operations that change classes or links need exclusive
// access; the read operations are const and may run from several threads at
// once on a shared, unchanging hierarchy -- the memo they fill has a lock of
// its own.
//
// Invariants kept by every operation:
//  - b is in children[a] exactly when a is in parents[b]; link lists hold no
//    repeats and keep the order in which links were added;
//  - every id that register_class or add_subclass touched has an entry (maybe
//    an empty list) in both children and parents;
//  - no class is its own direct subclass (longer cycles are stored as given);
//  - names and ids_by_name need not be a bijection: several ids may carry one
//    name, and ids_by_name holds the one registered last, but an ids_by_name
//    entry always points to an id whose current name is that name;
//  - a set held in subclass_cache for x equals the transitive subclasses of x
//    as of its computation; every operation that changes the links below x
//    first marks x's memo stale.
//
// Result lists built from maps or sets come in hash order.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>
#include <expected>
#include <mutex>

#include "common/uuid.h"
#include "storage/db_error.h"

namespace zudizid::taxonomy {

using ClassId = common::Uuid;

class TaxonomyIndex {
 public:
  TaxonomyIndex() = default;
  TaxonomyIndex(const TaxonomyIndex& other);
  TaxonomyIndex& operator=(const TaxonomyIndex& other);
  TaxonomyIndex(TaxonomyIndex&& other) noexcept;
  TaxonomyIndex& operator=(TaxonomyIndex&& other) noexcept;

  using IdList = std::vector<ClassId>;
  using IdSet = std::unordered_set<ClassId>;

  // --- the hierarchy ------------------------------------------------------

  // Names `id` (replacing an earlier name) and makes `name` look up `id`.
  // An older name of `id` stops resolving to it. Never touches the memo.
  void register_class(const ClassId& id, std::string_view name);

  // Records `sub` as a direct subclass of `super` (once). Self-loops are
  // refused with the bare message
  // "add_subclass: self-loops are not allowed in a class hierarchy".
  DbResult<void> add_subclass(const ClassId& super, const ClassId& sub);

  // Every transitive subclass of x (x itself only through a cycle). Fills
  // the memo, hence non-const.
  IdList all_subclasses(const ClassId& x) const;
  // Every transitive superclass of x (x itself only through a cycle).
  IdList all_superclasses(const ClassId& x) const;
  IdList direct_superclasses(const ClassId& x) const;

  // Every named class.
  IdList class_ids() const;
  std::optional<ClassId> class_id_by_name(std::string_view name) const;

  // True when the class registered under `name` is a transitive subclass of
  // x other than x itself. This is the test behind the query predicates
  // instanceOf and subClassOf (called with a node's label as the name).
  bool named_class_is_subclass_of(std::string_view name, const ClassId& x) const;

  // Marks stale the memo of x and of every transitive superclass of x.
  void invalidate_subclass_cache(const ClassId& x);

  // --- operations of the taxonomy index ------------------------------------

  // Forgets `id` entirely: its name, its links in both directions and its
  // memo. The memos that may have listed it (its superclasses') are marked
  // stale first. An unknown id changes nothing.
  void remove_class(const ClassId& id);
  // Empties all five maps.
  void clear();
  // Number of named classes (classes known only through links don't count).
  std::size_t len() const { return names_.size(); }

  // --- memo introspection (tests) ------------------------------------------
  bool has_memo_entry(const ClassId& x) const;
  // True when x has a memo entry that is not stale.
  bool has_fresh_memo(const ClassId& x) const;

 private:
  // The memo slot of x, filled when absent or stale. Needs memo_mu_.
  const IdSet& memo_locked(const ClassId& x) const;
  // Breadth-first closure of x over `links`, x excluded from the start.
  static IdSet closure(const std::unordered_map<ClassId, IdList>& links, const ClassId& x);

  std::unordered_map<ClassId, IdList> children_;
  std::unordered_map<ClassId, IdList> parents_;
  std::unordered_map<ClassId, std::string> names_;
  std::unordered_map<std::string, ClassId> ids_by_name_;
  // nullopt = stale: computed again on the next all_subclasses.
  mutable std::unordered_map<ClassId, std::optional<IdSet>> subclass_cache_;
  mutable std::mutex memo_mu_;  // guards subclass_cache_ only
};

}  // namespace zudizid::taxonomy
