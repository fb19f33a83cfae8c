// Batches over several trees of one engine: applied together, each tree
// keeping its own keys, and all of it there after a reopen.
#include <gtest/gtest.h>

#include "kv_test_util.h"

namespace kelm {
namespace {

using testing::config_for;
using testing::fresh_dir;
using testing::open_or_die;
using testing::str;

TEST(TreeBatches, SeveralTreesInOneBatch) {
  auto dir = fresh_dir("batches");
  {
    Db db = open_or_die(config_for(dir));
    auto a = *db.open_tree("a");
    auto b = *db.open_tree("b");
    ASSERT_TRUE(b.insert("gone", "x"));
    ASSERT_TRUE(apply_batches({}));
    std::vector<std::pair<Tree, Batch>> batches(3);
    batches[0].first = a;
    batches[0].second.insert("k", "in a");
    batches[1].first = b;
    batches[1].second.insert("k", "in b");
    batches[1].second.remove("gone");
    batches[2].first = db.default_tree();
    batches[2].second.insert("k", "in default");
    ASSERT_TRUE(apply_batches(std::move(batches)));
    EXPECT_EQ(str(**a.get("k")), "in a");
    EXPECT_EQ(str(**b.get("k")), "in b");
    EXPECT_FALSE(*b.get("gone"));
    EXPECT_EQ(str(**db.get("k")), "in default");
    ASSERT_TRUE(db.flush());
  }
  Db db = open_or_die(config_for(dir));
  EXPECT_EQ(str(**db.open_tree("a")->get("k")), "in a");
  EXPECT_EQ(str(**db.open_tree("b")->get("k")), "in b");
  EXPECT_FALSE(*db.open_tree("b")->get("gone"));
  EXPECT_EQ(str(**db.get("k")), "in default");
}

}  // namespace
}  // namespace kelm
