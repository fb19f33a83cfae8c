#include "index/taxonomy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <sstream>

#include "fixtures.h"
#include "tests/support/python.h"

namespace zudizid::taxonomy {
namespace {

using testing::id;
using testing::id_number;


std::set<ClassId> as_set(const std::vector<ClassId>& v) { return {v.begin(), v.end()}; }

TEST(TaxonomyLinks, SelfLoopRefusedDuplicatesOnceCyclesKept) {
  TaxonomyIndex t;
  t.register_class(id(1), "A");
  auto r = t.add_subclass(id(1), id(1));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().display(), "add_subclass: self-loops are not allowed in a class hierarchy");
  EXPECT_TRUE(t.all_subclasses(id(1)).empty());

  ASSERT_TRUE(t.add_subclass(id(2), id(1)).has_value());
  ASSERT_TRUE(t.add_subclass(id(2), id(1)).has_value());
  EXPECT_EQ(t.direct_superclasses(id(1)), std::vector<ClassId>{id(2)});

  // 1 below 2 and 2 below 1: each is a subclass of itself through the cycle,
  // but a class never counts as its own subclass by name.
  ASSERT_TRUE(t.add_subclass(id(1), id(2)).has_value());
  EXPECT_EQ(as_set(t.all_subclasses(id(1))), (std::set{id(1), id(2)}));
  EXPECT_EQ(as_set(t.all_superclasses(id(1))), (std::set{id(1), id(2)}));
  EXPECT_FALSE(t.named_class_is_subclass_of("A", id(1)));
  t.register_class(id(2), "B");
  EXPECT_TRUE(t.named_class_is_subclass_of("B", id(1)));
}

TEST(TaxonomyNames, RenameAndRemoveKeepOtherClassesLookup) {
  TaxonomyIndex t;
  t.register_class(id(1), "A");  // x
  t.register_class(id(2), "A");  // y takes the name
  t.register_class(id(1), "B");  // x renamed: A still belongs to y
  EXPECT_EQ(t.class_id_by_name("A"), id(2));
  EXPECT_EQ(t.class_id_by_name("B"), id(1));
  EXPECT_EQ(t.len(), 2u);

  // Removing a class that once had a name now held by another class leaves
  // that other class findable.
  t.register_class(id(3), "C");
  t.register_class(id(4), "C");
  t.remove_class(id(3));
  EXPECT_EQ(t.class_id_by_name("C"), id(4));
  t.remove_class(id(4));
  EXPECT_EQ(t.class_id_by_name("C"), std::nullopt);

  // Re-registering under the same name keeps links and the lookup.
  ASSERT_TRUE(t.add_subclass(id(1), id(2)).has_value());
  t.register_class(id(2), "A");
  EXPECT_EQ(t.direct_superclasses(id(2)), std::vector<ClassId>{id(1)});

  auto before = as_set(t.class_ids());
  t.remove_class(id(99));  // unknown: nothing changes
  EXPECT_EQ(as_set(t.class_ids()), before);
  EXPECT_FALSE(t.has_memo_entry(id(99)));

  t.clear();
  EXPECT_EQ(t.len(), 0u);
  EXPECT_EQ(t.class_id_by_name("A"), std::nullopt);
  EXPECT_TRUE(t.direct_superclasses(id(2)).empty());
}

TEST(TaxonomyMemo, NewLinksAndRemovalsInvalidateExactlyTheAncestors) {
  TaxonomyIndex t;
  for (int i = 1; i <= 5; ++i) t.register_class(id(i), std::string(1, char('A' + i - 1)));
  // 1 < 2 < 3, and 5 unrelated.
  ASSERT_TRUE(t.add_subclass(id(2), id(1)).has_value());
  ASSERT_TRUE(t.add_subclass(id(3), id(2)).has_value());
  EXPECT_EQ(as_set(t.all_subclasses(id(3))), (std::set{id(1), id(2)}));
  EXPECT_EQ(as_set(t.all_subclasses(id(2))), (std::set{id(1)}));
  EXPECT_TRUE(t.all_subclasses(id(5)).empty());

  // 4 below 1: stales 1, 2 and 3 (all above 4), not 5.
  ASSERT_TRUE(t.add_subclass(id(1), id(4)).has_value());
  EXPECT_FALSE(t.has_fresh_memo(id(3)));
  EXPECT_TRUE(t.has_fresh_memo(id(5)));
  EXPECT_EQ(as_set(t.all_subclasses(id(3))), (std::set{id(1), id(2), id(4)}));
  EXPECT_TRUE(t.named_class_is_subclass_of("D", id(3)));  // three levels below
  EXPECT_FALSE(t.named_class_is_subclass_of("C", id(3)));  // itself
  EXPECT_FALSE(t.named_class_is_subclass_of("nobody", id(3)));

  // Removing 2 (with 3's memo cached) cuts 1 and 4 off from 3.
  ASSERT_TRUE(t.has_fresh_memo(id(3)));
  t.remove_class(id(2));
  EXPECT_TRUE(t.direct_superclasses(id(1)).empty());
  EXPECT_TRUE(t.all_superclasses(id(1)).empty());
  EXPECT_TRUE(t.all_subclasses(id(3)).empty());
  EXPECT_FALSE(t.named_class_is_subclass_of("D", id(3)));
  EXPECT_EQ(as_set(t.all_subclasses(id(1))), (std::set{id(4)}));

  // Unknown ids give empty results and still get a memo entry.
  EXPECT_TRUE(t.all_subclasses(id(77)).empty());
  EXPECT_TRUE(t.has_memo_entry(id(77)));
  TaxonomyIndex empty;
  EXPECT_FALSE(empty.named_class_is_subclass_of("A", id(1)));

  // A copy carries the memo and is independent afterwards.
  TaxonomyIndex copy = t;
  ASSERT_TRUE(copy.add_subclass(id(3), id(5)).has_value());
  EXPECT_TRUE(t.all_subclasses(id(3)).empty());
  EXPECT_EQ(as_set(copy.all_subclasses(id(3))), (std::set{id(5)}));
}

// Random DAGs built and trimmed step by step, with memo-filling queries
// between the steps; at every checkpoint all transitive subclasses and
// superclasses must equal networkx's descendants and ancestors.
TEST(TaxonomyReference, TransitiveClosuresMatchNetworkx) {
  constexpr int kNodes = 60;
  std::mt19937 rng(20261211);
  std::ostringstream script_in, ours;
  TaxonomyIndex t;
  auto dump = [&]() {
    for (int n = 0; n < kNodes; ++n) {
      std::vector<int> sub, sup;
      for (auto& c : t.all_subclasses(id(n))) sub.push_back(id_number(c));
      for (auto& c : t.all_superclasses(id(n))) sup.push_back(id_number(c));
      std::sort(sub.begin(), sub.end());
      std::sort(sup.begin(), sup.end());
      ours << n << " D";
      for (int s : sub) ours << ' ' << s;
      ours << " A";
      for (int s : sup) ours << ' ' << s;
      ours << '\n';
    }
  };
  for (int round = 0; round < 12; ++round) {
    for (int k = 0; k < 25; ++k) {
      int a = rng() % kNodes, b = rng() % kNodes;
      if (a == b) continue;
      // Links go from a lower to a higher number only, so the graph stays acyclic.
      int sup = std::max(a, b), sub = std::min(a, b);
      ASSERT_TRUE(t.add_subclass(id(sup), id(sub)).has_value());
      script_in << "E " << sup << ' ' << sub << '\n';
      if (rng() % 3 == 0) t.all_subclasses(id(rng() % kNodes));  // fill memos mid-way
    }
    if (round % 4 == 3) {
      int victim = rng() % kNodes;
      t.remove_class(id(victim));
      script_in << "R " << victim << '\n';
    }
    script_in << "Q\n";
    dump();
  }
  testing::TempDir dir;
  testing::write_file(dir.path() / "ops.txt", script_in.str());
  const char* script = R"PY(
import sys, networkx as nx
N = 60
g = nx.DiGraph(); g.add_nodes_from(range(N))
out = []
for line in open(sys.argv[1]):
    p = line.split()
    if p[0] == 'E': g.add_edge(int(p[1]), int(p[2]))
    elif p[0] == 'R':
        v = int(p[1]); g.remove_node(v); g.add_node(v)
    else:
        for n in range(N):
            d = sorted(nx.descendants(g, n)); a = sorted(nx.ancestors(g, n))
            out.append(' '.join([str(n), 'D'] + [str(x) for x in d] + ['A'] + [str(x) for x in a]))
print('\n'.join(out))
)PY";
  bool ok = false;
  std::string ref = testing::run_python(script, (dir.path() / "ops.txt").string(), &ok);
  ASSERT_TRUE(ok) << "python3 with networkx failed";
  EXPECT_EQ(ours.str(), ref);
}

}  // namespace
}  // namespace zudizid::taxonomy
