#include "index/taxonomy.h"

#include <algorithm>
#include <deque>

namespace zudizid::taxonomy {

namespace {

std::vector<ClassId>& entry(std::unordered_map<ClassId, std::vector<ClassId>>& links,
                            const ClassId& id) {
  return links[id];  // creates an empty list where missing
}

void push_unique(std::vector<ClassId>& list, const ClassId& id) {
  if (std::find(list.begin(), list.end(), id) == list.end()) list.push_back(id);
}

void erase_all(std::vector<ClassId>& list, const ClassId& id) {
  list.erase(std::remove(list.begin(), list.end(), id), list.end());
}

}  // namespace

TaxonomyIndex::TaxonomyIndex(const TaxonomyIndex& other)
    : children_(other.children_),
      parents_(other.parents_),
      names_(other.names_),
      ids_by_name_(other.ids_by_name_) {
  std::lock_guard lock(other.memo_mu_);
  subclass_cache_ = other.subclass_cache_;
}

TaxonomyIndex& TaxonomyIndex::operator=(const TaxonomyIndex& other) {
  if (this != &other) *this = TaxonomyIndex(other);
  return *this;
}

TaxonomyIndex::TaxonomyIndex(TaxonomyIndex&& other) noexcept
    : children_(std::move(other.children_)),
      parents_(std::move(other.parents_)),
      names_(std::move(other.names_)),
      ids_by_name_(std::move(other.ids_by_name_)),
      subclass_cache_(std::move(other.subclass_cache_)) {}

TaxonomyIndex& TaxonomyIndex::operator=(TaxonomyIndex&& other) noexcept {
  children_ = std::move(other.children_);
  parents_ = std::move(other.parents_);
  names_ = std::move(other.names_);
  ids_by_name_ = std::move(other.ids_by_name_);
  subclass_cache_ = std::move(other.subclass_cache_);
  return *this;
}

void TaxonomyIndex::register_class(const ClassId& id, std::string_view name) {
  auto it = names_.find(id);
  if (it != names_.end() && it->second != name) {
    // The old name stops resolving to this class, but only if it still does:
    // another class registered later under that name keeps it.
    auto old = ids_by_name_.find(it->second);
    if (old != ids_by_name_.end() && old->second == id) ids_by_name_.erase(old);
  }
  names_[id] = std::string(name);
  ids_by_name_[std::string(name)] = id;
  entry(children_, id);
  entry(parents_, id);
}

DbResult<void> TaxonomyIndex::add_subclass(const ClassId& super,
                                                         const ClassId& sub) {
  if (super == sub) {
    return std::unexpected(
        DbError::message("add_subclass: self-loops are not allowed in a class hierarchy"));
  }
  push_unique(entry(children_, super), sub);
  push_unique(entry(parents_, sub), super);
  entry(children_, sub);
  entry(parents_, super);
  invalidate_subclass_cache(super);
  return {};
}

TaxonomyIndex::IdSet TaxonomyIndex::closure(
    const std::unordered_map<ClassId, IdList>& links, const ClassId& x) {
  IdSet visited;
  std::deque<ClassId> queue;
  if (auto it = links.find(x); it != links.end()) {
    for (const auto& c : it->second) {
      if (c != x) queue.push_back(c);
    }
  }
  while (!queue.empty()) {
    ClassId cur = queue.front();
    queue.pop_front();
    if (!visited.insert(cur).second) continue;
    if (auto it = links.find(cur); it != links.end()) {
      for (const auto& c : it->second) {
        if (!visited.contains(c)) queue.push_back(c);
      }
    }
  }
  return visited;
}

const TaxonomyIndex::IdSet& TaxonomyIndex::memo_locked(const ClassId& x) const {
  auto& slot = subclass_cache_[x];  // an entry exists afterwards, even for unknown x
  if (!slot) slot = closure(children_, x);
  return *slot;
}

TaxonomyIndex::IdList TaxonomyIndex::all_subclasses(const ClassId& x) const {
  std::lock_guard lock(memo_mu_);
  const IdSet& set = memo_locked(x);
  return IdList(set.begin(), set.end());
}

TaxonomyIndex::IdList TaxonomyIndex::all_superclasses(const ClassId& x) const {
  IdSet s = closure(parents_, x);
  return IdList(s.begin(), s.end());
}

TaxonomyIndex::IdList TaxonomyIndex::direct_superclasses(const ClassId& x) const {
  auto it = parents_.find(x);
  return it == parents_.end() ? IdList{} : it->second;
}

TaxonomyIndex::IdList TaxonomyIndex::class_ids() const {
  IdList out;
  out.reserve(names_.size());
  for (const auto& [id, name] : names_) out.push_back(id);
  return out;
}

std::optional<ClassId> TaxonomyIndex::class_id_by_name(std::string_view name) const {
  auto it = ids_by_name_.find(std::string(name));
  if (it == ids_by_name_.end()) return std::nullopt;
  return it->second;
}

bool TaxonomyIndex::named_class_is_subclass_of(std::string_view name, const ClassId& x) const {
  if (ids_by_name_.empty()) return false;
  auto id = class_id_by_name(name);
  if (!id || *id == x) return false;
  std::lock_guard lock(memo_mu_);
  return memo_locked(x).contains(*id);
}

void TaxonomyIndex::invalidate_subclass_cache(const ClassId& x) {
  IdSet visited;
  std::deque<ClassId> queue{x};
  while (!queue.empty()) {
    ClassId cur = queue.front();
    queue.pop_front();
    if (!visited.insert(cur).second) continue;
    subclass_cache_[cur].reset();
    if (auto it = parents_.find(cur); it != parents_.end()) {
      for (const auto& p : it->second) {
        if (!visited.contains(p)) queue.push_back(p);
      }
    }
  }
}

void TaxonomyIndex::remove_class(const ClassId& id) {
  const bool known = names_.contains(id) || children_.contains(id) ||
                     parents_.contains(id) || subclass_cache_.contains(id);
  if (!known) return;
  // Every memo that may list `id` (or classes reached only through it) sits
  // on `id` or one of its superclasses, as the links stand now.
  invalidate_subclass_cache(id);

  if (auto it = names_.find(id); it != names_.end()) {
    auto by_name = ids_by_name_.find(it->second);
    if (by_name != ids_by_name_.end() && by_name->second == id) ids_by_name_.erase(by_name);
    names_.erase(it);
  }
  if (auto it = children_.find(id); it != children_.end()) {
    for (const auto& child : it->second) {
      if (auto p = parents_.find(child); p != parents_.end()) erase_all(p->second, id);
    }
    children_.erase(it);
  }
  if (auto it = parents_.find(id); it != parents_.end()) {
    for (const auto& parent : it->second) {
      if (auto c = children_.find(parent); c != children_.end()) erase_all(c->second, id);
    }
    parents_.erase(it);
  }
  subclass_cache_.erase(id);
}

void TaxonomyIndex::clear() {
  children_.clear();
  parents_.clear();
  names_.clear();
  ids_by_name_.clear();
  subclass_cache_.clear();
}

bool TaxonomyIndex::has_memo_entry(const ClassId& x) const {
  std::lock_guard lock(memo_mu_);
  return subclass_cache_.contains(x);
}

bool TaxonomyIndex::has_fresh_memo(const ClassId& x) const {
  std::lock_guard lock(memo_mu_);
  auto it = subclass_cache_.find(x);
  return it != subclass_cache_.end() && it->second.has_value();
}

}  // namespace zudizid::taxonomy
