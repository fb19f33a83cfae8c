// ELReasoner: classification of an in-memory EL ontology.
//
// Axioms: subclass links (kept in a TaxonomyIndex of the reasoner's own),
// conjunctions L ⊓ R ⊑ D, existentials X ⊑ ∃r.Y and existential domains
// ∃r.F ⊑ Z. Rules:
//   CR1  X ⊑ Y, Y ⊑ C      gives X ⊑ C
//   CR2  X ⊑ L, X ⊑ R      gives X ⊑ D      for L ⊓ R ⊑ D
//   CR3  Y ⊑ F             gives X ⊑ Z      for X ⊑ ∃r.Y and ∃r.F ⊑ Z
// where "⊑" on the left of a rule reads both asserted links (transitively)
// and pairs derived before. Each assert applies the rules its axiom
// triggers against what is known; classify_all runs all three to a fixpoint.
//
// Every operation returns the inferences it newly derived. A pair is
// recorded once, and never when it is a direct asserted link; subclass-axiom
// assertion records pairs even when they are direct links elsewhere (the
// asserted pair itself never). Pairs live in `derived` (a set: no rule kept).
//
// Not thread-safe: one caller at a time.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "index/taxonomy.h"
#include "storage/db_error.h"

namespace zudizid::rdf_owl {

using taxonomy::ClassId;

enum class Rule { CR1, CR2, CR3 };
std::string_view rule_name(Rule rule);  // "CR1", "CR2", "CR3"

struct Inference {
  ClassId sub;
  ClassId super_class;
  Rule rule;
};

struct PairHash {
  size_t operator()(const std::pair<ClassId, ClassId>& p) const {
    return std::hash<ClassId>()(p.first) * 31 + std::hash<ClassId>()(p.second);
  }
};

class ELReasoner {
 public:
  void register_class(const ClassId& id, std::string_view name) { taxonomy_.register_class(id, name); }

  // Fails with "assert_subclass: self-loops are not allowed (sub == super_class)".
  DbResult<std::vector<Inference>> assert_subclass(const ClassId& sub, const ClassId& super_class);
  std::vector<Inference> assert_conjunction(const ClassId& left, const ClassId& right, const ClassId& result);
  // Fails with "assert_existential: sub == filler is not meaningful".
  DbResult<std::vector<Inference>> assert_existential(const ClassId& sub, std::string role, const ClassId& filler);
  std::vector<Inference> assert_existential_domain(std::string role, const ClassId& filler, const ClassId& result);
  std::vector<Inference> classify_all();

  bool is_subclass_of(const ClassId& sub, const ClassId& super_class) const;
  std::vector<ClassId> superclasses(const ClassId& id) const { return taxonomy_.all_superclasses(id); }
  std::vector<ClassId> subclasses(const ClassId& id) const { return taxonomy_.all_subclasses(id); }
  // Distinct asserted subclass links.
  size_t axiom_count() const;
  size_t derived_count() const { return derived_.size(); }
  // Every derived pair, reported with rule CR1 whichever rule found it.
  std::vector<Inference> derived_inferences() const;

 private:
  struct Conjunction {
    ClassId left, right, result;
  };
  struct Existential {
    ClassId sub;
    std::string role;
    ClassId filler;
  };
  struct Domain {
    std::string role;
    ClassId filler, result;
  };

  // Records (x, c) unless it is known as derived or, with `check_direct`,
  // as a direct asserted link.
  void record(const ClassId& x, const ClassId& c, Rule rule, bool check_direct, std::vector<Inference>& out);
  // Every class known above x (asserted links and derived pairs, transitively;
  // x itself only through a cycle), and every class known below x.
  std::vector<ClassId> known_above(const ClassId& x) const;
  std::vector<ClassId> known_below(const ClassId& x) const;
  bool subsumed(const ClassId& x, const ClassId& c) const;
  void apply_cr2(const Conjunction& axiom, std::vector<Inference>& out);
  void apply_cr3(const Existential& axiom, std::vector<Inference>& out);

  taxonomy::TaxonomyIndex taxonomy_;
  std::vector<Conjunction> conjunctions_;
  std::vector<Existential> existentials_;
  std::vector<Domain> domains_;
  std::unordered_set<std::pair<ClassId, ClassId>, PairHash> derived_;
  // `derived_` as adjacency, both ways, in recording order.
  std::unordered_map<ClassId, std::vector<ClassId>> derived_up_;
  std::unordered_map<ClassId, std::vector<ClassId>> derived_down_;
  // Asserted links as the taxonomy holds them, both ways (the taxonomy
  // answers only transitive questions from the top).
  std::unordered_map<ClassId, std::vector<ClassId>> asserted_down_;
};

}  // namespace zudizid::rdf_owl
