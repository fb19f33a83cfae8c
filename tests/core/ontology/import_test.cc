// Turtle import into an open graph: what is written, the counters, the
// installed hierarchy, refusals that write nothing, and serialised imports.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <thread>

#include "graph/open.h"
#include "rdf_owl/importer/import_turtle.h"
#include "tests/support/temp_dir.h"

namespace zudizid::rdf_owl::importer {
namespace {

using graph::Graph;
using graph::Profile;

struct Counts {
  uint64_t classes, links, instances, skipped;
  friend bool operator==(const Counts&, const Counts&) = default;
};

Counts counts(const ImportStats& s) {
  return {s.classes_added, s.subclass_edges_added, s.instances_added, s.triples_skipped};
}

std::vector<Node> nodes_of(Graph& g) { return *g.scan_current_nodes(); }

const Node* find(const std::vector<Node>& nodes, std::string_view label, NodeKind kind) {
  for (const Node& n : nodes) {
    if (n.label == label && n.kind == kind) return &n;
  }
  return nullptr;
}

constexpr const char* kPrefixes =
    "@prefix ex: <http://example.org/> . @prefix other: <http://other.org/> .\n"
    "@prefix owl: <http://www.w3.org/2002/07/owl#> . @prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n"
    "@prefix rdf: <http://www.w3.org/1999/02/22-rdf-syntax-ns#> . @prefix xsd: <http://www.w3.org/2001/XMLSchema#> .\n";

TEST(TurtleImport, CountersAndRecords) {
  const struct {
    const char* text;
    Counts counts;
  } cases[] = {
      {"ex:Dog rdf:type owl:Class .", {1, 0, 0, 0}},
      {"ex:Dog a owl:Class .", {1, 0, 0, 0}},
      {"ex:Dog rdfs:subClassOf ex:Animal .", {0, 1, 0, 0}},
      {"ex:A rdfs:subClassOf other:A .", {0, 0, 0, 1}},
      {"_:b a owl:Class . ex:A rdfs:subClassOf [ a owl:Class ] .", {0, 0, 0, 3}},
      {"ex:Dog a owl:Class . ex:rex a ex:Dog ; ex:age \"3\"^^xsd:int ; ex:name \"Rex\"@en .", {1, 0, 1, 2}},
      {"ex:rex a ex:Cat .", {0, 0, 0, 0}},
      {"ex:Dog a owl:Class . ex:Dog a ex:Dog .", {1, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    auto g = graph::open_in_memory(Profile::Server);
    ASSERT_TRUE(g);
    auto stats = graph::import_turtle(*g, std::string(kPrefixes) + c.text);
    ASSERT_TRUE(stats) << c.text << ": " << stats.error().display();
    EXPECT_EQ(counts(*stats), c.counts) << c.text;
  }
}

TEST(TurtleImport, WritesClassesLinksAndIndividuals) {
  auto g = graph::open_in_memory(Profile::Server);
  ASSERT_TRUE(g);
  const std::string text = std::string(kPrefixes) +
                           "ex:Dog a owl:Class ; rdfs:subClassOf ex:Animal .\n"
                           "ex:rex a ex:Dog , ex:Animal ; ex:age 3 ; ex:weight \"4.5\"^^xsd:decimal ;\n"
                           "  ex:zip \"02134\" ; ex:ok true .\n";
  ASSERT_TRUE(graph::import_turtle(*g, text));
  auto nodes = nodes_of(*g);
  const Node* dog = find(nodes, "Dog", NodeKind::Class);
  const Node* animal = find(nodes, "Animal", NodeKind::Class);
  const Node* rex = find(nodes, "Dog", NodeKind::Individual);
  ASSERT_TRUE(dog && animal && rex);
  EXPECT_EQ(rex->properties, (PropertyMap{{"iri", PropertyValue::string("ex:rex")},
                                          {"age", PropertyValue::integer(3)},
                                          {"weight", PropertyValue::float64(4.5)},
                                          {"zip", PropertyValue::string("02134")},
                                          {"ok", PropertyValue::boolean(true)}}));
  auto out = *g->get_outgoing_edges(dog->id);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].edge_type, "subClassOf");
  EXPECT_EQ(out[0].target, animal->id);

  auto hierarchy = g->index_manager()->get_taxonomy();
  ASSERT_TRUE(hierarchy);
  EXPECT_EQ(hierarchy->all_superclasses(dog->id), std::vector<Uuid>{animal->id});

  // Importing again finds the classes and the individual.
  auto again = graph::import_turtle(*g, text);
  ASSERT_TRUE(again);
  EXPECT_EQ(counts(*again), (Counts{1, 1, 0, 4}));
  EXPECT_EQ(nodes_of(*g).size(), nodes.size());
}

TEST(TurtleImport, RefusedTextWritesNothingAndKeepsTheHierarchy) {
  auto g = graph::open_in_memory(Profile::Server);
  ASSERT_TRUE(g);
  ASSERT_TRUE(graph::import_turtle(*g, std::string(kPrefixes) + "ex:A rdfs:subClassOf ex:B ."));
  const auto before = g->index_manager()->get_taxonomy();
  auto bad = graph::import_turtle(*g, std::string(kPrefixes) + "ex:C a owl:Class .\nex:D a owl:Class ; junk here");
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().display(), "Turtle syntax error at line 5, column 20: unexpected word 'junk'");
  EXPECT_EQ(nodes_of(*g).size(), 2u);
  EXPECT_EQ(g->index_manager()->get_taxonomy()->class_ids().size(), before->class_ids().size());
}

TEST(TurtleImport, SurvivesAReopen) {
  zudizid::testing::TempDir dir;
  {
    auto g = graph::open_graph(dir.path() / "db", Profile::Server);
    ASSERT_TRUE(g);
    ASSERT_TRUE(graph::import_turtle(*g, std::string(kPrefixes) + "ex:Dog rdfs:subClassOf ex:Animal . ex:rex a ex:Dog ."));
  }
  auto g = graph::open_graph(dir.path() / "db", Profile::Server);
  ASSERT_TRUE(g);
  auto nodes = nodes_of(*g);
  EXPECT_TRUE(find(nodes, "Dog", NodeKind::Class) && find(nodes, "Animal", NodeKind::Class) &&
              find(nodes, "Dog", NodeKind::Individual));
}

TEST(TurtleImport, OverlappingImportsWriteOneClassPerName) {
  auto g = graph::open_in_memory(Profile::Server);
  ASSERT_TRUE(g);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::string text = kPrefixes;
      for (int i = 0; i < 20; ++i) {
        text += "ex:C" + std::to_string((i + t * 5) % 30) + " rdfs:subClassOf ex:C" + std::to_string((i + t * 5) % 30 + 1) + " .\n";
      }
      EXPECT_TRUE(graph::import_turtle(*g, text));
    });
  }
  for (auto& t : threads) t.join();
  std::map<std::string, int> per_label;
  for (const Node& n : nodes_of(*g)) ++per_label[n.label];
  for (const auto& [label, count] : per_label) EXPECT_EQ(count, 1) << label;
  auto hierarchy = g->index_manager()->get_taxonomy();
  for (int i = 0; i < 30; ++i) {
    auto sub = hierarchy->class_id_by_name("C" + std::to_string(i));
    auto super_class = hierarchy->class_id_by_name("C" + std::to_string(i + 1));
    if (!sub || !super_class) continue;
    auto above = hierarchy->all_superclasses(*sub);
    EXPECT_NE(std::find(above.begin(), above.end(), *super_class), above.end()) << i;
  }
}

}  // namespace
}  // namespace zudizid::rdf_owl::importer
