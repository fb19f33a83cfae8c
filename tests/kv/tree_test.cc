#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "kv_test_util.h"

namespace kelm {
namespace {

using testing::config_for;
using testing::fresh_dir;
using testing::open_or_die;
using testing::str;

TEST(TreeStart, FreshDirectoryLayout) {
  auto dir = fresh_dir("layout");
  Db db = open_or_die(config_for(dir));
  auto& pc = *db.context().pagecache;
  auto guard = pin();
  auto meta = pc.get_meta(guard);
  ASSERT_TRUE(meta);
  const auto& m = std::get<pagecache::Meta>(*meta->read->update);
  ASSERT_EQ(m.inner.size(), 1u);
  EXPECT_EQ(str(m.inner.begin()->first), "__kelm__default");
  EXPECT_EQ(m.inner.begin()->second, 3u);
  auto idgen = pc.get_idgen(guard);
  ASSERT_TRUE(idgen);
  EXPECT_EQ(idgen->second, 0u);
  EXPECT_EQ(pc.idgen.load(), 0u);
  EXPECT_EQ(pc.idgen_persists.load(), 0u);
  EXPECT_FALSE(pc.was_recovered);
  auto leaf = pc.get(2, guard);
  ASSERT_TRUE(leaf && *leaf);
  EXPECT_TRUE((*leaf)->as_node().is_leaf());
  auto root = pc.get(3, guard);
  ASSERT_TRUE(root && *root);
  EXPECT_EQ((*root)->as_node().index().pointers, std::vector<PageId>{2});
  EXPECT_EQ(db.default_tree().root_for_test(), 3u);
}

TEST(TreeStart, ReopenFindsTreesAndSeedsIdgen) {
  auto dir = fresh_dir("reopen");
  {
    Db db = open_or_die(config_for(dir));
    auto t = db.open_tree("edges");
    ASSERT_TRUE(t);
    ASSERT_TRUE(t->insert("k", "v"));
  }
  Db db = open_or_die(config_for(dir));
  auto& pc = *db.context().pagecache;
  EXPECT_TRUE(pc.was_recovered);
  EXPECT_EQ(pc.idgen.load(), 2000000u);
  EXPECT_EQ(pc.idgen_persists.load(), 0u);
  auto t = db.open_tree("edges");
  ASSERT_TRUE(t);
  auto g = t->get("k");
  ASSERT_TRUE(g && *g);
  EXPECT_EQ(str(**g), "v");
  EXPECT_EQ(db.tree_names().size(), 2u);
}

TEST(TreePointOps, InsertGetRemoveAndPrevious) {
  auto dir = fresh_dir("points");
  Db db = open_or_die(config_for(dir));
  auto t = *db.open_tree("t");
  EXPECT_FALSE(*t.get("a"));
  EXPECT_FALSE(*t.contains_key(Tree::as_bytes("a")));
  EXPECT_FALSE(*t.remove("a"));
  EXPECT_FALSE(*t.insert("a", "1"));
  EXPECT_EQ(str(**t.insert("a", "2")), "1");
  EXPECT_EQ(str(**t.insert("a", "2")), "2");  // same value: nothing written, value returned
  EXPECT_TRUE(*t.contains_key(Tree::as_bytes("a")));
  EXPECT_EQ(str(**t.remove("a")), "2");
  EXPECT_FALSE(*t.get("a"));
}

TEST(TreePointOps, ManyKeysSplitAndStayOrdered) {
  auto dir = fresh_dir("many");
  Db db = open_or_die(config_for(dir));
  auto t = *db.open_tree("t");
  std::map<std::string, std::string> model;
  for (int i = 0; i < 5000; ++i) {
    std::string k = "key" + std::to_string((i * 7919) % 5000);
    std::string v = "value" + std::to_string(i);
    t.insert(k, v);
    model[k] = v;
  }
  for (auto& [k, v] : model) {
    auto g = t.get(k);
    ASSERT_TRUE(g && *g) << k;
    EXPECT_EQ(str(**g), v);
  }
  auto it = t.iter();
  auto mit = model.begin();
  while (auto item = it.next()) {
    ASSERT_TRUE(*item);
    ASSERT_NE(mit, model.end());
    EXPECT_EQ(str((*item)->first), mit->first);
    EXPECT_EQ(str((*item)->second), mit->second);
    ++mit;
  }
  EXPECT_EQ(mit, model.end());
  for (int i = 0; i < 5000; i += 2) t.remove("key" + std::to_string(i));
  for (int i = 0; i < 5000; ++i) {
    auto g = t.get("key" + std::to_string(i));
    ASSERT_TRUE(g);
    EXPECT_EQ(g->has_value(), i % 2 == 1) << i;
  }
}

}  // namespace
}  // namespace kelm
