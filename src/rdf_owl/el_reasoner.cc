#include "rdf_owl/el_reasoner.h"

#include <algorithm>
#include <deque>

namespace zudizid::rdf_owl {

std::string_view rule_name(Rule rule) {
  switch (rule) {
    case Rule::CR1: return "CR1";
    case Rule::CR2: return "CR2";
    case Rule::CR3: return "CR3";
  }
  return "CR1";
}

namespace {

bool contains(const std::vector<ClassId>& v, const ClassId& x) { return std::find(v.begin(), v.end(), x) != v.end(); }

// Breadth-first closure of x over `step` (x excluded unless reached again).
template <class Step>
std::vector<ClassId> closure(const ClassId& x, Step&& step) {
  std::vector<ClassId> out;
  std::unordered_set<ClassId> seen;
  std::deque<ClassId> queue{x};
  while (!queue.empty()) {
    const ClassId at = queue.front();
    queue.pop_front();
    step(at, [&](const ClassId& next) {
      if (seen.insert(next).second) {
        out.push_back(next);
        queue.push_back(next);
      }
    });
  }
  return out;
}

}  // namespace

void ELReasoner::record(const ClassId& x, const ClassId& c, Rule rule, bool check_direct,
                        std::vector<Inference>& out) {
  if (derived_.contains({x, c})) return;
  if (check_direct && contains(taxonomy_.direct_superclasses(x), c)) return;
  derived_.insert({x, c});
  derived_up_[x].push_back(c);
  derived_down_[c].push_back(x);
  out.push_back({x, c, rule});
}

std::vector<ClassId> ELReasoner::known_above(const ClassId& x) const {
  return closure(x, [&](const ClassId& at, auto&& visit) {
    for (const ClassId& p : taxonomy_.direct_superclasses(at)) visit(p);
    if (auto it = derived_up_.find(at); it != derived_up_.end()) {
      for (const ClassId& p : it->second) visit(p);
    }
  });
}

std::vector<ClassId> ELReasoner::known_below(const ClassId& x) const {
  return closure(x, [&](const ClassId& at, auto&& visit) {
    if (auto it = asserted_down_.find(at); it != asserted_down_.end()) {
      for (const ClassId& c : it->second) visit(c);
    }
    if (auto it = derived_down_.find(at); it != derived_down_.end()) {
      for (const ClassId& c : it->second) visit(c);
    }
  });
}

bool ELReasoner::subsumed(const ClassId& x, const ClassId& c) const {
  return x == c || derived_.contains({x, c}) || contains(known_above(x), c);
}

DbResult<std::vector<Inference>> ELReasoner::assert_subclass(const ClassId& sub, const ClassId& super_class) {
  if (sub == super_class) {
    return std::unexpected(DbError::message("assert_subclass: self-loops are not allowed (sub == super_class)"));
  }
  const bool new_link = !contains(taxonomy_.direct_superclasses(sub), super_class);
  if (auto added = taxonomy_.add_subclass(super_class, sub); !added) return std::unexpected(added.error());
  if (new_link) asserted_down_[super_class].push_back(sub);

  std::vector<Inference> out;
  const std::vector<ClassId> above = known_above(super_class);
  for (const ClassId& a : above) record(sub, a, Rule::CR1, false, out);
  for (const ClassId& d : known_below(sub)) {
    record(d, super_class, Rule::CR1, false, out);
    for (const ClassId& a : above) record(d, a, Rule::CR1, false, out);
  }
  return out;
}

void ELReasoner::apply_cr2(const Conjunction& axiom, std::vector<Inference>& out) {
  for (const ClassId& x : taxonomy_.class_ids()) {
    if (x == axiom.result) continue;
    if (subsumed(x, axiom.left) && subsumed(x, axiom.right)) record(x, axiom.result, Rule::CR2, true, out);
  }
}

void ELReasoner::apply_cr3(const Existential& axiom, std::vector<Inference>& out) {
  for (const Domain& domain : domains_) {
    if (domain.role != axiom.role || domain.result == axiom.sub) continue;
    if (subsumed(axiom.filler, domain.filler)) record(axiom.sub, domain.result, Rule::CR3, true, out);
  }
}

std::vector<Inference> ELReasoner::assert_conjunction(const ClassId& left, const ClassId& right,
                                                      const ClassId& result) {
  conjunctions_.push_back({left, right, result});
  std::vector<Inference> out;
  apply_cr2(conjunctions_.back(), out);
  return out;
}

DbResult<std::vector<Inference>> ELReasoner::assert_existential(const ClassId& sub, std::string role,
                                                                const ClassId& filler) {
  if (sub == filler) return std::unexpected(DbError::message("assert_existential: sub == filler is not meaningful"));
  existentials_.push_back({sub, std::move(role), filler});
  std::vector<Inference> out;
  apply_cr3(existentials_.back(), out);
  return out;
}

std::vector<Inference> ELReasoner::assert_existential_domain(std::string role, const ClassId& filler,
                                                             const ClassId& result) {
  domains_.push_back({std::move(role), filler, result});
  const Domain& domain = domains_.back();
  std::vector<Inference> out;
  for (const Existential& e : existentials_) {
    if (e.role == domain.role && e.sub != domain.result && subsumed(e.filler, domain.filler)) {
      record(e.sub, domain.result, Rule::CR3, true, out);
    }
  }
  return out;
}

// Passes of CR1, CR2 and CR3 until one adds nothing: each rule reads what
// the others derived, so the result is the saturated closure.
std::vector<Inference> ELReasoner::classify_all() {
  std::vector<Inference> out;
  for (size_t before = SIZE_MAX; before != out.size();) {
    before = out.size();
    for (const ClassId& x : taxonomy_.class_ids()) {
      const std::vector<ClassId> direct = taxonomy_.direct_superclasses(x);
      for (const ClassId& a : known_above(x)) {
        if (!contains(direct, a)) record(x, a, Rule::CR1, true, out);
      }
    }
    for (size_t i = 0; i < conjunctions_.size(); ++i) apply_cr2(Conjunction(conjunctions_[i]), out);
    for (size_t i = 0; i < existentials_.size(); ++i) apply_cr3(Existential(existentials_[i]), out);
  }
  return out;
}

bool ELReasoner::is_subclass_of(const ClassId& sub, const ClassId& super_class) const {
  if (sub == super_class) return false;
  if (derived_.contains({sub, super_class})) return true;
  return contains(taxonomy_.all_subclasses(super_class), sub);
}

size_t ELReasoner::axiom_count() const {
  size_t n = 0;
  for (const auto& [super_class, subs] : asserted_down_) n += subs.size();
  return n;
}

std::vector<Inference> ELReasoner::derived_inferences() const {
  std::vector<Inference> out;
  out.reserve(derived_.size());
  for (const auto& [sub, super_class] : derived_) out.push_back({sub, super_class, Rule::CR1});
  return out;
}

}  // namespace zudizid::rdf_owl
