#include "rdf_owl/importer/import_turtle.h"

#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "rdf_owl/importer/term_values.h"
#include "rdf_owl/importer/turtle_reader.h"

namespace zudizid::rdf_owl::importer {

namespace {

using graph::WriteOp;

// Individual writes sent ahead of their replies: enough to fill the
// applier's groups, few enough to bound what a failure leaves unread.
constexpr size_t kWritesInFlight = 128;

bool is_blank(const std::string& term) { return term.starts_with("_:"); }

// The graph's current Class nodes by label and individuals by label and
// "iri", read once and kept current with the import's own writes.
class KnownNodes {
 public:
  static DbResult<KnownNodes> read(graph::Graph& graph) {
    auto nodes = graph.scan_current_nodes();
    if (!nodes) return std::unexpected(std::move(nodes.error()));
    KnownNodes known;
    for (const Node& node : *nodes) {
      if (node.kind == NodeKind::Class) {
        known.classes_.try_emplace(node.label, node.id);  // the first in scan order wins
      } else if (auto iri = node.properties.find("iri");
                 iri != node.properties.end() && iri->second.kind() == PropertyValue::Kind::String) {
        known.individuals_.insert(individual_key(node.label, iri->second.as_string()));
      }
    }
    return known;
  }

  const Uuid* class_id(const std::string& label) const {
    auto it = classes_.find(label);
    return it == classes_.end() ? nullptr : &it->second;
  }
  void add_class(const std::string& label, const Uuid& id) { classes_.try_emplace(label, id); }
  bool has_individual(const std::string& label, const std::string& iri) const {
    return individuals_.contains(individual_key(label, iri));
  }
  void add_individual(const std::string& label, const std::string& iri) {
    individuals_.insert(individual_key(label, iri));
  }

 private:
  static std::string individual_key(const std::string& label, const std::string& iri) {
    std::string key = label;
    key += '\0';
    key += iri;
    return key;
  }

  std::unordered_map<std::string, Uuid> classes_;
  std::unordered_set<std::string> individuals_;
};

class Importer {
 public:
  Importer(graph::Graph& graph, taxonomy::TaxonomyIndex& hierarchy, KnownNodes known)
      : graph_(graph), hierarchy_(hierarchy), known_(std::move(known)) {}

  DbResult<ImportStats> run(const std::vector<Triple>& triples);

 private:
  // The id of class `name`: from this import, a current Class node, or a
  // new Class node; registered in the hierarchy either way.
  DbResult<Uuid> ensure_class(const std::string& name);
  DbResult<void> write(WriteOp op) { return graph_.submit_write(std::move(op)); }

  graph::Graph& graph_;
  taxonomy::TaxonomyIndex& hierarchy_;
  KnownNodes known_;
  std::unordered_map<std::string, Uuid> class_ids_;
  ImportStats stats_;
};

DbResult<Uuid> Importer::ensure_class(const std::string& name) {
  if (auto it = class_ids_.find(name); it != class_ids_.end()) return it->second;
  Uuid id;
  if (const Uuid* existing = known_.class_id(name)) {
    id = *existing;
  } else {
    Node node{Uuid::new_v4(), name, {}, NodeKind::Class};
    if (auto r = write(WriteOp{WriteOp::PutNode{node}}); !r) return std::unexpected(std::move(r.error()));
    id = node.id;
    known_.add_class(name, id);
  }
  hierarchy_.register_class(id, name);
  class_ids_[name] = id;
  return id;
}

DbResult<ImportStats> Importer::run(const std::vector<Triple>& triples) {
  struct Names {
    std::string subject, predicate, object;
  };
  std::vector<Names> names;
  names.reserve(triples.size());
  for (const Triple& t : triples) names.push_back({local_name(t.subject), local_name(t.predicate), local_name(t.object)});

  // Pass 1: class declarations.
  std::unordered_set<std::string> class_subjects;
  for (size_t i = 0; i < triples.size(); ++i) {
    const Names& n = names[i];
    if (n.predicate != "type" || n.object != "Class") continue;
    if (is_blank(triples[i].subject)) {
      ++stats_.triples_skipped;
      continue;
    }
    if (n.subject.empty()) continue;
    class_subjects.insert(triples[i].subject);
    auto id = ensure_class(n.subject);
    if (!id) return std::unexpected(std::move(id.error()));
    ++stats_.classes_added;
  }

  // Pass 2: subclass links.
  for (size_t i = 0; i < triples.size(); ++i) {
    const Names& n = names[i];
    if (n.predicate == "type") continue;
    if (n.predicate != "subClassOf" || n.subject.empty() || n.object.empty() || is_blank(triples[i].subject) ||
        is_blank(triples[i].object) || n.subject == n.object) {
      ++stats_.triples_skipped;
      continue;
    }
    auto sub = ensure_class(n.subject);
    if (!sub) return std::unexpected(std::move(sub.error()));
    auto super_class = ensure_class(n.object);
    if (!super_class) return std::unexpected(std::move(super_class.error()));
    Edge edge{Uuid::new_v4(), *sub, *super_class, "subClassOf", {}};
    const uint64_t ts = graph_.next_timestamp().fetch_add(1);
    if (auto r = write(WriteOp{WriteOp::PutEdge{edge, ts}}); !r) return std::unexpected(std::move(r.error()));
    if (auto r = hierarchy_.add_subclass(*super_class, *sub); !r) return std::unexpected(std::move(r.error()));
    ++stats_.subclass_edges_added;
  }

  // Pass 3: individuals, in order of first appearance; the first type wins.
  std::vector<std::string> individuals;
  std::unordered_map<std::string, std::string> class_of;
  for (size_t i = 0; i < triples.size(); ++i) {
    const Names& n = names[i];
    if (n.predicate != "type" || n.object == "Class") continue;
    if (class_subjects.contains(triples[i].subject) || !class_ids_.contains(n.object)) continue;
    if (class_of.try_emplace(triples[i].subject, n.object).second) individuals.push_back(triples[i].subject);
  }

  // Pass 4: their properties; a later value of one name replaces an earlier.
  std::unordered_map<std::string, PropertyMap> properties;
  if (!individuals.empty()) {
    for (size_t i = 0; i < triples.size(); ++i) {
      if (names[i].predicate == "type" || !class_of.contains(triples[i].subject)) continue;
      properties[triples[i].subject][names[i].predicate] = literal_value(triples[i].object);
    }
  }

  // Pass 5: individual nodes not already present, sent without waiting for
  // each reply in turn; the first failure ends the import.
  std::deque<graph::Graph::PendingWrite> in_flight;
  auto settle = [&](size_t keep) -> DbResult<void> {
    while (in_flight.size() > keep) {
      auto r = in_flight.front().wait();
      in_flight.pop_front();
      if (!r) {
        while (!in_flight.empty()) {
          (void)in_flight.front().wait();
          in_flight.pop_front();
        }
        return r;
      }
    }
    return {};
  };
  for (const std::string& subject : individuals) {
    const std::string& label = class_of[subject];
    if (known_.has_individual(label, subject)) continue;
    Node node{Uuid::new_v4(), label, {}, NodeKind::Individual};
    node.properties.emplace("iri", PropertyValue::string(subject));
    if (auto it = properties.find(subject); it != properties.end()) {
      for (auto& [name, value] : it->second) node.properties.insert_or_assign(name, std::move(value));
    }
    std::string iri = node.properties.at("iri").kind() == PropertyValue::Kind::String
                          ? node.properties.at("iri").as_string()
                          : subject;
    in_flight.push_back(graph_.send_write(WriteOp{WriteOp::PutNode{std::move(node)}}));
    if (auto r = settle(kWritesInFlight); !r) return std::unexpected(std::move(r.error()));
    known_.add_individual(label, iri);
    ++stats_.instances_added;
  }
  if (auto r = settle(0); !r) return std::unexpected(std::move(r.error()));

  // Single writes are not logged: make them durable before reporting success.
  if (auto r = graph_.flush_adjacency(); !r) return std::unexpected(std::move(r.error()));
  const kelm::Tree& tree = graph_.storage()->db().default_tree();
  if (auto r = kelm::Tree::wait_flush(tree.flush_async_job()); !r) {
    return std::unexpected(DbError::message("Storage flush failed: " + r.error().display()));
  }
  return stats_;
}

}  // namespace

DbResult<ImportStats> import_turtle(graph::Graph& graph, std::string_view text, taxonomy::TaxonomyIndex& hierarchy) {
  auto triples = read_turtle(text);
  if (!triples) return std::unexpected(DbError::message(triples.error().display()));
  auto known = KnownNodes::read(graph);
  if (!known) return std::unexpected(std::move(known.error()));
  return Importer(graph, hierarchy, std::move(*known)).run(*triples);
}

}  // namespace zudizid::rdf_owl::importer

namespace zudizid::graph {

DbResult<rdf_owl::importer::ImportStats> import_turtle(Graph& graph, std::string_view text) {
  // One import at a time: each works on a copy of the hierarchy and installs
  // it whole, so overlapping imports would drop each other's classes.
  static std::mutex serial;
  std::lock_guard lock(serial);
  index::IndexManager* indexes = graph.index_manager();
  std::shared_ptr<const taxonomy::TaxonomyIndex> current = indexes ? indexes->get_taxonomy() : nullptr;
  taxonomy::TaxonomyIndex hierarchy = current ? *current : taxonomy::TaxonomyIndex();
  auto stats = rdf_owl::importer::import_turtle(graph, text, hierarchy);
  if (!stats) return stats;
  if (indexes) indexes->register_taxonomy(std::move(hierarchy));
  return stats;
}

}  // namespace zudizid::graph
