// The decisions of an upsert and the business-key lock registry.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "../index/fixtures.h"
#include "graph/upsert/key_lock.h"
#include "graph/upsert/upsert_types.h"

namespace zudizid::graph::upsert {
namespace {

using namespace zudizid::testing;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(EngineUpsertDecisions, PropsEqualAndStaleEntries) {
  struct Case {
    const char* name;
    PropertyMap stored, desired;
    bool equal;
    std::vector<std::string> stale;
  };
  const Case cases[] = {
      {"same", {{"k", Int(1)}, {"n", Str("a")}}, {{"k", Int(1)}, {"n", Str("a")}}, true, {}},
      {"value changed", {{"k", Int(1)}, {"n", Str("a")}}, {{"k", Int(1)}, {"n", Str("b")}}, false, {"n"}},
      {"property dropped", {{"k", Int(1)}, {"n", Str("a")}}, {{"k", Int(1)}}, false, {"n"}},
      {"property added", {{"k", Int(1)}}, {{"k", Int(1)}, {"n", Str("a")}}, false, {}},
      {"int vs float", {{"k", Int(1)}}, {{"k", Float(1.0)}}, false, {"k"}},
      {"NaN never equal", {{"k", Float(kNaN)}}, {{"k", Float(kNaN)}}, false, {"k"}},
      {"null equals null", {{"k", Null()}}, {{"k", Null()}}, true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(props_equal(c.stored, c.desired), c.equal);
    std::vector<std::string> names;
    for (auto& [n, v] : stale_entries(c.stored, c.desired)) {
      names.push_back(n);
      EXPECT_EQ(v.debug_string(), c.stored.at(n).debug_string()) << "the old value is kept for unindexing";
    }
    EXPECT_EQ(names, c.stale);
  }
}

TEST(EngineUpsertDecisions, EmbeddingChanged) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  using V = std::vector<float>;
  struct Case {
    const char* name;
    std::optional<V> stored;
    V desired;
    bool changed;
  };
  const Case cases[] = {
      {"nothing stored", std::nullopt, {1, 2}, true}, {"same", V{1, 2}, {1, 2}, false},
      {"length", V{1, 2}, {1, 2, 3}, true},          {"component", V{1, 2}, {1, 2.5f}, true},
      {"NaN", V{nan}, {nan}, true},                  {"signed zero equal", V{0.0f}, {-0.0f}, false},
  };
  for (const Case& c : cases) EXPECT_EQ(embedding_changed(c.stored, c.desired), c.changed) << c.name;
}

TEST(EngineUpsertDecisions, LinksKindAndMessages) {
  std::vector<Edge> out = {edge(10, 1, 2, "KNOWS", {{"w", Int(1)}}), edge(11, 1, 3, "LIKES")};
  EXPECT_TRUE(link_satisfied(out, "KNOWS", id(2)));
  EXPECT_FALSE(link_satisfied(out, "KNOWS", id(3)));
  EXPECT_FALSE(link_satisfied(out, "knows", id(2)));

  UpsertRequest req{"Concept", "name", {{"name", Str("Animal")}, {"x", Int(1)}}, std::nullopt, {}};
  Node cls = node(5, "Concept", {{"name", Str("Animal")}}, NodeKind::Class);
  Node n = updated_node(cls, req);
  EXPECT_EQ(n.kind, NodeKind::Class) << "an upsert must not demote a class";
  EXPECT_EQ(n.id, cls.id);
  EXPECT_EQ(n.properties, req.props);

  EXPECT_EQ(missing_key_message("email", "User"), "upsert: key 'email' missing from props for label 'User'");
  EXPECT_EQ(ambiguous_detail(2, "User", "email", Str("a@b"), "upserting"),
            "2 nodes match User.email=String(\"a@b\"); deduplicate before upserting");
  UpsertLink link{"KNOWS", "User", "id", Int(7), {}, false};
  EXPECT_EQ(missing_target_detail(link), "link target User.id=Int(7) not found (set create_target_stub to create it)");
  EXPECT_EQ(outcome_name(UpsertOutcome::Created), "created");
  EXPECT_EQ(outcome_name(UpsertOutcome::Updated), "updated");
  EXPECT_EQ(outcome_name(UpsertOutcome::Unchanged), "unchanged");
}

TEST(EngineUpsertKeyLock, EqualKeysShareOneMutexDistinctValuesDoNot) {
  auto a = key_lock("User", "id", Int(1));
  EXPECT_EQ(a, key_lock("User", "id", Int(1)));
  EXPECT_NE(a, key_lock("User", "id", Float(1.0)));
  EXPECT_NE(a, key_lock("User", "id", Str("1")));
  EXPECT_NE(a, key_lock("Users", "id", Int(1)));
  // The separator keeps ("ab", "c") and ("a", "bc") apart.
  EXPECT_NE(key_lock("ab", "c", Null()), key_lock("a", "bc", Null()));
}

}  // namespace
}  // namespace zudizid::graph::upsert
