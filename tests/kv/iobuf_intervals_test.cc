// Turning out-of-order buffer completions into a contiguous stable lsn, held
// back by unfinished batches.
#include <gtest/gtest.h>

#include "kv/pagecache/iobuf_intervals.h"

namespace kelm::pagecache {
namespace {

TEST(Intervals, OutOfOrderCompletionsJoinTheStablePoint) {
  Intervals iv(99);
  ASSERT_EQ(iv.mark_interval(200, 100), 99);
  EXPECT_EQ(iv.fsynced_ranges(), (std::vector<std::pair<Lsn, Lsn>>{{200, 299}}));
  EXPECT_TRUE(iv.is_written(250));
  EXPECT_FALSE(iv.is_written(150));
  ASSERT_EQ(iv.mark_interval(100, 100), 299);
  EXPECT_EQ(iv.stable_point(), 299);
  EXPECT_TRUE(iv.fsynced_ranges().empty());
}

TEST(Intervals, OnlyTheLastRangeMergesUntilSortingBringsTheLowestLast) {
  Intervals iv(-1);
  ASSERT_TRUE(iv.mark_interval(300, 100));  // [(300, 399)]
  ASSERT_TRUE(iv.mark_interval(100, 100));  // sorted: [(300, 399), (100, 199)]
  ASSERT_TRUE(iv.mark_interval(400, 50));   // adjacent only to (300, 399), which is not last
  EXPECT_EQ(iv.fsynced_ranges().size(), 3u);
  ASSERT_TRUE(iv.mark_interval(200, 100));  // merges with (100, 199) -> (100, 299)
  ASSERT_EQ(iv.mark_interval(0, 100), 449);
  EXPECT_TRUE(iv.fsynced_ranges().empty());
}

TEST(Intervals, BatchesHoldTheStableLsnBack) {
  Intervals iv(99);
  ASSERT_TRUE(iv.mark_batch(150, 250));
  ASSERT_EQ(iv.mark_interval(100, 100), 149);  // stable point 199 is inside the batch
  EXPECT_EQ(iv.stable_point(), 199);
  ASSERT_EQ(iv.mark_interval(200, 100), 299);  // batch wholly written: removed
  EXPECT_TRUE(iv.batches().empty());
}

TEST(Intervals, BatchAboveTheStablePointHoldsNothingBelowIt) {
  Intervals iv(99);
  ASSERT_TRUE(iv.mark_batch(300, 400));
  EXPECT_EQ(iv.mark_interval(100, 100), 199);
  EXPECT_EQ(iv.mark_interval(200, 150), 299);
}

TEST(Intervals, BrokenOrderingIsAnError) {
  Intervals iv(99);
  EXPECT_FALSE(iv.mark_interval(50, 10));  // below the stable point
  EXPECT_FALSE(iv.mark_interval(100, 0));
  EXPECT_FALSE(iv.mark_batch(99, 200));
  ASSERT_TRUE(iv.mark_batch(120, 120));
  EXPECT_FALSE(iv.mark_interval(100, 50));  // inverted batch
}

}  // namespace
}  // namespace kelm::pagecache
