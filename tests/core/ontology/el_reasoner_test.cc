// The EL reasoner: its documented cases, the saturation its one-pass form
// missed, and random ontologies against a plain Python fixpoint.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <algorithm>
#include <random>
#include <set>

#include "common/json.h"
#include "rdf_owl/el_reasoner.h"
#include "tests/support/python.h"

namespace zudizid::rdf_owl {
namespace {

ClassId id(int n) {
  auto parsed = ClassId::parse(fmt::format("00000000-0000-4000-8000-{:012d}", n));
  return *parsed;
}

using Pairs = std::set<std::tuple<int, int, std::string>>;

Pairs pairs(const std::vector<Inference>& inferences) {
  Pairs out;
  for (const Inference& i : inferences) {
    int a = 0, b = 0;
    for (int n = 0; n < 100; ++n) {
      if (id(n) == i.sub) a = n;
      if (id(n) == i.super_class) b = n;
    }
    out.insert({a, b, std::string(rule_name(i.rule))});
  }
  return out;
}

TEST(ELReasoner, TransitiveSubclass) {
  ELReasoner r;
  for (int n : {1, 2, 3}) r.register_class(id(n), fmt::format("C{}", n));  // Animal, Mammal, Dog
  EXPECT_TRUE(pairs(*r.assert_subclass(id(2), id(1))).empty());
  EXPECT_EQ(pairs(*r.assert_subclass(id(3), id(2))), (Pairs{{3, 1, "CR1"}}));
  EXPECT_TRUE(r.is_subclass_of(id(3), id(1)));
  EXPECT_FALSE(r.is_subclass_of(id(3), id(3)));
  EXPECT_EQ(r.axiom_count(), 2u);
  EXPECT_EQ(r.derived_count(), 1u);
  EXPECT_TRUE(r.classify_all().empty());
}

TEST(ELReasoner, AssertingADerivedPairAddsTheLinkOnly) {
  ELReasoner r;
  ASSERT_TRUE(r.assert_subclass(id(1), id(3)));
  EXPECT_EQ(pairs(*r.assert_subclass(id(3), id(2))), (Pairs{{1, 2, "CR1"}}));
  EXPECT_TRUE(r.assert_subclass(id(1), id(2))->empty());
  EXPECT_EQ(r.axiom_count(), 3u);
  EXPECT_EQ(r.derived_count(), 1u);
}

TEST(ELReasoner, CycleGivesFourPairs) {
  ELReasoner r;
  EXPECT_TRUE(r.assert_subclass(id(1), id(2))->empty());
  EXPECT_EQ(pairs(*r.assert_subclass(id(2), id(1))),
            (Pairs{{1, 1, "CR1"}, {1, 2, "CR1"}, {2, 1, "CR1"}, {2, 2, "CR1"}}));
}

TEST(ELReasoner, ConjunctionNeedsARegisteredClass) {
  for (bool registered : {true, false}) {
    ELReasoner r;
    if (registered) r.register_class(id(1), "A");
    ASSERT_TRUE(r.assert_subclass(id(1), id(2)));
    ASSERT_TRUE(r.assert_subclass(id(1), id(3)));
    EXPECT_EQ(pairs(r.assert_conjunction(id(2), id(3), id(4))),
              registered ? (Pairs{{1, 4, "CR2"}}) : Pairs{});
  }
}

TEST(ELReasoner, ExistentialInEitherOrder) {
  for (bool existential_first : {true, false}) {
    ELReasoner r;
    ASSERT_TRUE(r.assert_subclass(id(2), id(3)));  // B below C
    Pairs got;
    if (existential_first) {
      got = pairs(*r.assert_existential(id(1), "r", id(2)));
      EXPECT_TRUE(got.empty());
      got = pairs(r.assert_existential_domain("r", id(3), id(4)));
    } else {
      EXPECT_TRUE(r.assert_existential_domain("r", id(3), id(4)).empty());
      got = pairs(*r.assert_existential(id(1), "r", id(2)));
    }
    EXPECT_EQ(got, (Pairs{{1, 4, "CR3"}}));
    EXPECT_EQ(pairs(r.derived_inferences()), (Pairs{{1, 4, "CR1"}}));
    EXPECT_TRUE(r.is_subclass_of(id(1), id(4)));
    const auto above = r.superclasses(id(1));
    EXPECT_EQ(std::count(above.begin(), above.end(), id(4)), 0);
  }
}

TEST(ELReasoner, Refusals) {
  ELReasoner r;
  EXPECT_EQ(r.assert_existential(id(1), "r", id(1)).error().display(),
            "assert_existential: sub == filler is not meaningful");
  EXPECT_EQ(r.assert_subclass(id(1), id(1)).error().display(),
            "assert_subclass: self-loops are not allowed (sub == super_class)");
  EXPECT_EQ(r.axiom_count(), 0u);
}

TEST(ELReasoner, ClassifyAllSaturates) {
  // A ⊑ B, A ⊑ C, B ⊓ C ⊑ D, D ⊑ E: A ⊑ E needs CR1 over a CR2 result.
  ELReasoner r;
  for (int n = 1; n <= 5; ++n) r.register_class(id(n), fmt::format("C{}", n));
  ASSERT_TRUE(r.assert_subclass(id(1), id(2)));
  ASSERT_TRUE(r.assert_subclass(id(1), id(3)));
  r.assert_conjunction(id(2), id(3), id(4));
  ASSERT_TRUE(r.assert_subclass(id(4), id(5)));
  EXPECT_TRUE(r.is_subclass_of(id(1), id(5)));
  // Asserted in the other order, only classify_all can find it.
  ELReasoner s;
  for (int n = 1; n <= 5; ++n) s.register_class(id(n), fmt::format("C{}", n));
  ASSERT_TRUE(s.assert_subclass(id(4), id(5)));
  s.assert_conjunction(id(2), id(3), id(4));
  ASSERT_TRUE(s.assert_subclass(id(1), id(2)));
  ASSERT_TRUE(s.assert_subclass(id(1), id(3)));
  EXPECT_FALSE(s.is_subclass_of(id(1), id(5)));
  s.classify_all();
  EXPECT_TRUE(s.is_subclass_of(id(1), id(5)));
}

TEST(ELReasoner, RandomOntologiesMatchAFixpoint) {
  constexpr int kOntologies = 200, kClasses = 40, kAxioms = 150;
  std::mt19937 rng(11);
  common::json::Value all = common::json::Value::array();
  std::vector<std::vector<bool>> ours;
  for (int o = 0; o < kOntologies; ++o) {
    ELReasoner r;
    for (int c = 0; c < kClasses; ++c) r.register_class(id(c), fmt::format("C{}", c));
    common::json::Value axioms = common::json::Value::array();
    auto cls = [&] { return static_cast<int>(rng() % kClasses); };
    for (int a = 0; a < kAxioms; ++a) {
      common::json::Value ax = common::json::Value::array();
      const int kind = static_cast<int>(rng() % 4);
      const int x = cls(), y = cls(), z = cls();
      const std::string role = rng() % 2 ? "r" : "s";
      if (kind == 0 && x != y) {
        ASSERT_TRUE(r.assert_subclass(id(x), id(y)));
        ax = common::json::Value::Array{"sub", x, y};
      } else if (kind == 1) {
        r.assert_conjunction(id(x), id(y), id(z));
        ax = common::json::Value::Array{"conj", x, y, z};
      } else if (kind == 2 && x != y) {
        ASSERT_TRUE(r.assert_existential(id(x), role, id(y)));
        ax = common::json::Value::Array{"ex", x, role, y};
      } else if (kind == 3) {
        r.assert_existential_domain(role, id(x), id(y));
        ax = common::json::Value::Array{"dom", role, x, y};
      } else {
        continue;
      }
      axioms.push_back(std::move(ax));
    }
    r.classify_all();
    std::vector<bool> relation(kClasses * kClasses);
    for (int a = 0; a < kClasses; ++a) {
      for (int b = 0; b < kClasses; ++b) relation[a * kClasses + b] = r.is_subclass_of(id(a), id(b));
    }
    ours.push_back(std::move(relation));
    all.push_back(std::move(axioms));
  }

  const char* kScript = R"PY(
import json, sys
n = int(sys.argv[2])
out = []
for axioms in json.load(open(sys.argv[1])):
    up = {c: {c} for c in range(n)}
    changed = True
    while changed:
        changed = False
        def add(x, c):
            global changed
            if c not in up[x]:
                up[x].add(c); changed = True
        for ax in axioms:
            if ax[0] == "sub":
                add(ax[1], ax[2])
        for x in range(n):
            for y in list(up[x]):
                for c in list(up[y]):
                    add(x, c)
        for ax in axioms:
            if ax[0] == "conj":
                for x in range(n):
                    if ax[1] in up[x] and ax[2] in up[x]:
                        add(x, ax[3])
        for e in axioms:
            if e[0] != "ex":
                continue
            for d in axioms:
                if d[0] == "dom" and d[1] == e[2] and d[2] in up[e[3]]:
                    add(e[1], d[3])
    out.append("".join("1" if b in up[a] and a != b else "0" for a in range(n) for b in range(n)))
print(json.dumps(out))
)PY";
  zudizid::testing::TempDir dir;
  zudizid::testing::write_file(dir.path() / "axioms.json", common::json::to_string(all));
  bool ok = false;
  const std::string printed =
      zudizid::testing::run_python(kScript, (dir.path() / "axioms.json").string() + " " + std::to_string(kClasses), &ok);
  ASSERT_TRUE(ok) << printed;
  auto expected = common::json::parse(printed);
  ASSERT_TRUE(expected);
  for (int o = 0; o < kOntologies; ++o) {
    const std::string& want = expected->as_array()[o].as_string();
    for (int i = 0; i < kClasses * kClasses; ++i) {
      ASSERT_EQ(ours[o][i], want[i] == '1') << "ontology " << o << " pair " << i / kClasses << " ⊑ " << i % kClasses;
    }
  }
}

}  // namespace
}  // namespace zudizid::rdf_owl
