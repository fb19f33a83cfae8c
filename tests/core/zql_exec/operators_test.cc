#include <fmt/format.h>

#include "query/zql/executor/operators/filters.h"
#include "query/zql/executor/operators/node_scan.h"
#include "query/zql/executor/operators/projections.h"
#include "query/zql/executor/operators/start_nodes.h"
#include "query/zql/executor/operators/traverse.h"
#include "storage/storage_keys.h"
#include "tests/core/zql_exec/exec_fixture.h"

namespace zudizid::query::zql::executor::operators {
namespace {

using testing::ExecTest;
using PV = PropertyValue;

class OperatorsTest : public ExecTest {
 protected:
  // Stores `n` nodes of `label` with k = 0..n-1 directly (one bulk batch).
  void store_nodes(int n, const std::string& label) {
    for (int i = 0; i < n; ++i) {
      Node node{Uuid::new_v4(), label, {{"k", PV::integer(i)}}, NodeKind::Individual};
      ASSERT_TRUE(g().storage()->put_node(node));
    }
  }
  static std::vector<Node> all(NodeOperator& op) {
    auto r = drain(op);
    EXPECT_TRUE(r);
    return r ? *r : std::vector<Node>{};
  }
};

TEST_F(OperatorsTest, ScanBatchesOf512) {
  NodeScanOperator empty(g(), std::nullopt);
  EXPECT_FALSE(empty.next());
  EXPECT_TRUE(empty.exhausted());

  store_nodes(512, "A");
  NodeScanOperator scan(g(), std::nullopt);
  ASSERT_TRUE(scan.next());
  EXPECT_TRUE(scan.resume_key());  // a full batch keeps its place
  EXPECT_FALSE(scan.exhausted());
  for (int i = 1; i < 512; ++i) ASSERT_TRUE(scan.next());
  EXPECT_FALSE(scan.next());  // the 513th call reads an empty batch
  EXPECT_TRUE(scan.exhausted());

  store_nodes(1, "B");
  NodeScanOperator again(g(), std::nullopt);
  auto nodes = all(again);
  ASSERT_EQ(nodes.size(), 513u);
  for (size_t i = 1; i < nodes.size(); ++i) EXPECT_LT(nodes[i - 1].id, nodes[i].id);
  NodeScanOperator only_b(g(), "B");
  EXPECT_EQ(all(only_b).size(), 1u);
  NodeScanOperator none(g(), "Z");
  EXPECT_FALSE(none.next());
  EXPECT_TRUE(none.exhausted());
}

TEST_F(OperatorsTest, ScanSkipsVersionKeys) {
  // Committed nodes carry version records, current pointers and version lists.
  for (int i = 0; i < 20; ++i) write(fmt::format("ADD (n:V {{k: {}}})", i));
  write("UPDATE (n:V) SET n.k = 99");
  NodeScanOperator scan(g(), std::nullopt, /*batch_size=*/3);
  auto nodes = all(scan);
  ASSERT_EQ(nodes.size(), 20u);
  for (const Node& n : nodes) EXPECT_EQ(n.properties.at("k").as_int(), 99);
  EXPECT_TRUE(g().storage()->db().get(storage::keys::node_versions(nodes[0].id)).value());
}

TEST_F(OperatorsTest, ScanDecodesOnlyTheNamedProperties) {
  write("ADD (n:P {name: 'Ann', age: 30, city: 'Oslo'})");
  write("ADD (n:P {name: 'Bob', note: 'a longer text than fits inline', ok: true, w: 1.5})");
  NodeScanOperator full(g(), "P");
  auto whole = all(full);
  for (const std::vector<std::string>& names : {std::vector<std::string>{"age", "nope"}, std::vector<std::string>{}}) {
    NodeScanOperator some(g(), "P", /*batch_size=*/1, names);
    auto nodes = all(some);
    ASSERT_EQ(nodes.size(), whole.size());
    for (size_t i = 0; i < nodes.size(); ++i) {
      Node want = whole[i];
      std::erase_if(want.properties, [&](const auto& p) { return std::ranges::find(names, p.first) == names.end(); });
      EXPECT_EQ(nodes[i], want);
    }
  }
}

TEST_F(OperatorsTest, FiltersAndProjections) {
  write("ADD (n:P {name: 'Ann', age: 30})");
  write("ADD (n:P {name: 'Bob'})");
  NodeStream people = std::make_unique<NodeScanOperator>(g(), "P");
  NodeStream ann = std::make_unique<NodePropertyFilter>(std::move(people), ast::PropertyMap{{"name", PV::string("Ann")}});
  NodeColumnProjection rows("n", {"n", "n.id", "n.label", "n.age", "n.missing", "m.age", "n.*", "n.a.b"}, std::move(ann));
  auto row = rows.next();
  ASSERT_TRUE(row && *row);
  const Row& r = **row;
  EXPECT_EQ(r.at("n").as_string(), r.at("n.id").as_string());
  EXPECT_EQ(r.at("n.label").as_string(), "P");
  EXPECT_EQ(r.at("n.age").as_int(), 30);
  EXPECT_EQ(r.at("n.name").as_string(), "Ann");  // from n.*
  EXPECT_FALSE(r.contains("n.missing") || r.contains("m.age") || r.contains("n.a.b") || r.contains("n.*"));
  EXPECT_FALSE(rows.next());
  NodeIdSetFilter nothing(std::make_unique<NodeScanOperator>(g(), "P"), {});
  EXPECT_FALSE(nothing.next());
}

TEST_F(OperatorsTest, TraverseFollowsDirection) {
  // a -> b, b -> a, a -> a
  write("ADD (a:P {n: 'a'})-[:R {w: 1}]->(b:P {n: 'b'})-[:R {w: 2}]->(a)-[:L]->(a)");
  auto hops = [&](graph::Direction d, std::optional<std::string> type) {
    auto start = select_start_nodes(g(), ast::NodePattern{"s", "P", {{"n", PV::string("a")}}}, "s", nullptr);
    TraverseStream t(g(), std::move(start->nodes), d, std::move(type), std::nullopt);
    std::vector<std::string> out;
    auto bindings = drain(t);
    for (const auto& b : *bindings) out.push_back(b.target.properties.at("n").as_string() + b.edge->edge_type);
    std::sort(out.begin(), out.end());
    return out;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(hops(graph::Direction::Outgoing, std::nullopt), (V{"aL", "bR"}));
  EXPECT_EQ(hops(graph::Direction::Incoming, std::nullopt), (V{"aL", "bR"}));
  EXPECT_EQ(hops(graph::Direction::Both, std::nullopt), (V{"aL", "bR", "bR"}));  // the self-loop once
  EXPECT_EQ(hops(graph::Direction::Both, "R"), (V{"bR", "bR"}));
  auto incoming = collect_relationship_bindings(g(), "P", "R", std::nullopt, graph::Direction::Incoming);
  ASSERT_TRUE(incoming);
  for (const auto& b : *incoming) EXPECT_EQ(b.edge->target, b.source.id);
  BindingProjection p("s", "t", {"*"}, std::nullopt,
                      std::make_unique<TraverseStream>(g(), std::make_unique<NodeScanOperator>(g(), "P"),
                                                       graph::Direction::Outgoing, "R", std::nullopt));
  auto row = p.next();
  ASSERT_TRUE(row && *row);
  EXPECT_TRUE((*row)->contains("s.n") && (*row)->contains("t.id"));
  EXPECT_FALSE((*row)->contains("r.w"));  // no edge variable: no edge columns
}

TEST_F(OperatorsTest, StartNodesSeedInIdOrder) {
  for (int i = 0; i < 30; ++i) write(fmt::format("ADD (n:P {{g: {}}})", i % 2));
  run("CREATE INDEX ON P(g)");
  ast::NodePattern pattern{"n", "P", {{"g", PV::integer(1)}}};
  auto seeded = select_start_nodes(g(), pattern, "n", nullptr);
  ASSERT_TRUE(seeded);
  EXPECT_EQ(seeded->seed, StartSeed::Index);
  auto via_index = drain(*seeded->nodes);
  ast::NodePattern other_label{"n", "Q", {{"g", PV::integer(1)}}};
  EXPECT_EQ(select_start_nodes(g(), other_label, "n", nullptr)->seed, StartSeed::LabelScan);
  NodePropertyFilter scanned(std::make_unique<NodeScanOperator>(g(), "P"), pattern.properties);
  auto via_scan = drain(scanned);
  ASSERT_EQ(via_index->size(), 15u);
  ASSERT_EQ(via_scan->size(), 15u);
  for (size_t i = 0; i < 15; ++i) EXPECT_EQ((*via_index)[i].id, (*via_scan)[i].id);
  const std::string id = (*via_scan)[3].id.to_string();
  auto where = parser::parse_statement(fmt::format("DELETE (n) WHERE n.g = 1 AND n.id = '{}'", id));
  auto one = select_start_nodes(g(), ast::NodePattern{"n", "P", {}}, "n",
                                &std::get<ast::DeleteStmt>(where->node).filter->condition);
  EXPECT_EQ(one->seed, StartSeed::NodeId);
  EXPECT_EQ(drain(*one->nodes)->size(), 1u);
}

}  // namespace
}  // namespace zudizid::query::zql::executor::operators
