#include "schema/schema_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <sstream>

#include "../index/fixtures.h"
#include "tests/support/python.h"
#include "common/log.h"

namespace zudizid::schema {
namespace {

using namespace zudizid::testing;

int rebuild_logs(const log::ScopedCapture& cap) {
  auto r = cap.records();
  return int(std::count_if(r.begin(), r.end(), [](const log::Record& x) {
    return x.message == "Rebuilding schema from graph...";
  }));
}

// Canonical text of a summary: kinds in first-appearance order with their
// counts and sorted property names, then the totals.
std::string canonical(const SchemaInfo& s) {
  std::ostringstream out;
  auto side = [&](const char* tag, const std::vector<std::string>& kinds, const auto& counts,
                  const auto& props) {
    for (const auto& k : kinds) {
      std::set<std::string> names(props.at(k).begin(), props.at(k).end());
      out << tag << ' ' << k << ' ' << counts.at(k);
      for (const auto& n : names) out << ' ' << n;
      out << '\n';
    }
  };
  side("N", s.node_labels, s.node_counts, s.node_properties);
  side("E", s.edge_types, s.edge_counts, s.edge_properties);
  out << "T " << s.total_nodes << ' ' << s.total_edges << '\n';
  return out.str();
}

TEST(SchemaCache, CountsMatchPythonCounter) {
  std::mt19937 rng(42);
  FakeSource source;
  std::ostringstream dump;
  const char* labels[] = {"Person", "Doc", "City", "Empty", "Ünïcode"};
  const char* props[] = {"name", "age", "title", "x"};
  for (int i = 0; i < 3000; ++i) {
    PropertyMap m;
    std::string label = labels[rng() % 5];
    if (label != "Empty") {
      for (const char* p : props) {
        if (rng() % 3 == 0) m[p] = rng() % 2 ? Int(i) : Str("v");  // mixed value kinds
      }
    }
    dump << "N " << label;
    for (const auto& [k, v] : m) dump << ' ' << k;
    dump << '\n';
    source.nodes.push_back(node(i, label, std::move(m)));
  }
  const char* types[] = {"KNOWS", "LIVES_IN", "CITES"};
  for (int i = 0; i < 2000; ++i) {
    PropertyMap m;
    if (rng() % 2) m["since"] = Int(i);
    if (rng() % 4 == 0) m["w"] = Float(0.5);
    std::string type = types[rng() % 3];
    dump << "E " << type;
    for (const auto& [k, v] : m) dump << ' ' << k;
    dump << '\n';
    source.edges.push_back(edge(100000 + i, i, i + 1, type, std::move(m)));
  }
  TempDir dir;
  write_file(dir.path() / "data.txt", dump.str());
  const char* script = R"PY(
import sys
from collections import Counter, defaultdict
counts = {'N': Counter(), 'E': Counter()}
order = {'N': [], 'E': []}
props = {'N': defaultdict(set), 'E': defaultdict(set)}
for line in open(sys.argv[1], encoding='utf-8'):
    side, kind, *names = line.split()
    if kind not in counts[side]: order[side].append(kind)
    counts[side][kind] += 1
    props[side][kind].update(names)
out = []
for side in 'NE':
    for k in order[side]:
        out.append(' '.join([side, k, str(counts[side][k])] + sorted(props[side][k], key=lambda s: s.encode())))
out.append('T %d %d' % (sum(counts['N'].values()), sum(counts['E'].values())))
sys.stdout.buffer.write(('\n'.join(out) + '\n').encode())
)PY";
  bool ok = false;
  std::string ref = run_python(script, (dir.path() / "data.txt").string(), &ok);
  ASSERT_TRUE(ok);

  SchemaCache cache;
  auto info = cache.get_schema(source);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(canonical(*info), ref);
  EXPECT_TRUE(info->node_properties.at("Empty").empty());
}

TEST(SchemaCache, BuiltOnceThenOnlyOnRequest) {
  FakeSource source;
  SchemaCache cache;
  log::ScopedCapture cap;
  auto empty = cache.get_schema(source);
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->node_labels.empty());
  EXPECT_EQ(empty->total_nodes + empty->total_edges, 0u);
  ASSERT_TRUE(cache.get_schema(source));
  EXPECT_EQ(rebuild_logs(cap), 1);

  source.nodes = {node(1, "A", {{"p", Int(1)}}), node(2, "B"), node(3, "A", {{"p", Str("s")}})};
  EXPECT_EQ(cache.get_schema(source)->total_nodes, 0u);  // stale until asked
  auto none = cache.get_label_properties(source, "A");
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->empty());

  ASSERT_TRUE(cache.rebuild(source));
  auto info = cache.get_schema(source);
  EXPECT_EQ(info->node_labels, (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(info->node_counts.at("A"), 2u);
  EXPECT_EQ(*cache.get_label_properties(source, "A"), std::vector<std::string>{"p"});
  EXPECT_TRUE(cache.get_label_properties(source, "Nope")->empty());

  // A failed scan installs nothing and reports the error.
  source.nodes.push_back(node(4, "C"));
  source.fail_edges = DbError::message("edges unreadable");
  auto failed = cache.rebuild(source);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().display(), "edges unreadable");
  EXPECT_EQ(cache.get_schema(source)->total_nodes, 3u);

  // Nor does it clear a pending first build.
  SchemaCache fresh;
  EXPECT_FALSE(fresh.get_schema(source).has_value());
  EXPECT_TRUE(fresh.needs_rebuild());
}

}  // namespace
}  // namespace zudizid::schema
