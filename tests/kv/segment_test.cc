// The segment accountant: handing out segments, draining, freeing, shrinking
// the file, blob removal and start-up from a snapshot.
#include <gtest/gtest.h>

#include "common/log.h"
#include "kv/pagecache/blob_io.h"
#include "kv/pagecache/segment.h"
#include "tests/kv/log_test_util.h"

namespace kelm::pagecache {
namespace {

namespace fs = std::filesystem;
constexpr uint64_t S = 4096;

FragmentInfo inline_at(Lsn lsn, LogOffset lid, uint64_t size) { return {lsn, DiskPtr::inline_at(lid), size}; }

class Accountant : public ::testing::Test {
 protected:
  testing::TempDir dir;
  LogConfig config = testing::config_for(dir, S);
  std::shared_ptr<SegmentCleaner> cleaner = std::make_shared<SegmentCleaner>();
  SegmentAccountant sa{config, cleaner};

  // A snapshot whose page i has one fragment of `size` bytes in slot i.
  static Snapshot pages_in_slots(size_t n, uint64_t size) {
    Snapshot s;
    s.stable_lsn = static_cast<Lsn>(n * S);
    for (size_t i = 0; i < n; ++i) {
      Lsn lsn = static_cast<Lsn>(i * S + 20);
      s.pt.push_back(present_page(Fragment{lsn, DiskPtr::inline_at(i * S + 20), size}));
    }
    return s;
  }
  void grow_file(size_t slots) { ASSERT_TRUE(config.file->set_len(slots * S)); }
};

TEST_F(Accountant, NextUsesTheTipThenTheLowestFreeOffset) {
  EXPECT_EQ(sa.next(0), 0u);
  EXPECT_EQ(sa.next(S), S);
  EXPECT_EQ(sa.tip(), 2 * S);
  EXPECT_FALSE(sa.next(S + 1));  // unaligned
  EXPECT_EQ(sa.ordering(), (std::map<Lsn, LogOffset>{{0, 0}, {S, S}}));
}

TEST_F(Accountant, DrainsAtHalfLiveAndNotAbove) {
  for (uint64_t rss : {uint64_t{2048}, uint64_t{2090}}) {  // 50% and 51%
    testing::TempDir d;
    auto c = std::make_shared<SegmentCleaner>();
    SegmentAccountant a{testing::config_for(d, S), c};
    ASSERT_EQ(a.next(0), 0u);
    ASSERT_TRUE(a.mark_link(2, inline_at(20, 20, rss)));
    ASSERT_EQ(a.next(S), S);
    ASSERT_TRUE(a.stabilize(S + 100));  // segment 0 is wholly stable
    EXPECT_EQ(a.segments()[0].is_draining(), rss == 2048) << rss;
    EXPECT_EQ(a.segments()[1].is_active(), true);
    if (rss == 2048) {
      EXPECT_EQ(c->pop(), std::make_optional(std::make_pair(PageId{2}, LogOffset{0})));
      EXPECT_EQ(c->pop(), std::nullopt);  // the emptied entry answers once more, then goes
      EXPECT_TRUE(c->empty());
    }
  }
}

TEST_F(Accountant, ReplacementInsideTheSameActiveSegmentIsDeferredBytesOnly) {
  ASSERT_EQ(sa.next(0), 0u);
  FragmentInfo old = inline_at(20, 20, 100);
  ASSERT_TRUE(sa.mark_link(2, old));
  ASSERT_TRUE(sa.mark_replace(2, 120, std::span(&old, 1), inline_at(120, 120, 50)));
  const auto& a = std::get<Segment::Active>(sa.segments()[0].v);
  EXPECT_EQ(a.deferred_replaced_rss, 100u);
  EXPECT_TRUE(a.deferred_replaced_pids.empty());
  EXPECT_EQ(a.rss, 150u);
}

TEST_F(Accountant, DrainedSegmentIsFreedOnlyOnceItsReplacementIsDurable) {
  ASSERT_EQ(sa.next(0), 0u);
  FragmentInfo old = inline_at(20, 20, 100);
  ASSERT_TRUE(sa.mark_link(2, old));
  ASSERT_EQ(sa.next(S), S);
  ASSERT_TRUE(sa.stabilize(S + 20));
  ASSERT_TRUE(sa.segments()[0].is_draining());
  ASSERT_EQ(cleaner->pop(), std::make_optional(std::make_pair(PageId{2}, LogOffset{0})));

  // The page moves into segment S, which is still Active.
  ASSERT_TRUE(sa.mark_replace(2, S + 40, std::span(&old, 1), inline_at(S + 40, S + 40, 100)));
  EXPECT_TRUE(sa.segments()[0].is_free());
  EXPECT_TRUE(sa.free_list().empty());
  ASSERT_EQ(sa.next(2 * S), 2 * S);
  ASSERT_TRUE(sa.stabilize(2 * S + 20));  // segment S becomes Inactive
  EXPECT_EQ(sa.free_list(), (std::set<LogOffset>{0}));
  EXPECT_EQ(sa.ordering().count(0), 0u);
  EXPECT_EQ(sa.next(3 * S), 0u);  // reused lowest first
}

TEST_F(Accountant, FreeSlotsAtTheEndShrinkTheFile) {
  grow_file(4);
  ASSERT_TRUE(sa.initialize_from_snapshot(pages_in_slots(1, 3000)));
  // Slots 1..3 were free: 3 and 2 are cut off, one free offset stays.
  EXPECT_EQ(sa.free_list(), (std::set<LogOffset>{S}));
  EXPECT_EQ(sa.tip(), 2 * S);
  EXPECT_EQ(*config.file->len(), 2 * S);
  EXPECT_EQ(sa.next(S), S);
  EXPECT_EQ(sa.next(2 * S), 2 * S);  // the tip again
}

TEST_F(Accountant, WholeFileRuleNeedsSixInactiveSegments) {
  for (size_t inactive : {size_t{5}, size_t{6}}) {
    testing::TempDir d;
    auto cfg = testing::config_for(d, S);
    ASSERT_TRUE(cfg.file->set_len(16 * S));
    auto c = std::make_shared<SegmentCleaner>();
    SegmentAccountant a{cfg, c};
    ASSERT_TRUE(a.initialize_from_snapshot(pages_in_slots(inactive, 3000)));
    ASSERT_TRUE(a.stabilize(static_cast<Lsn>(inactive * S + 1)));
    auto popped = c->pop();
    if (inactive == 5) {
      EXPECT_FALSE(popped);
    } else {
      EXPECT_EQ(popped, std::make_optional(std::make_pair(PageId{5}, LogOffset{5 * S})));
      EXPECT_TRUE(a.segments()[5].is_draining());
    }
  }
}

TEST_F(Accountant, ReplacedBlobVersionsAreRemovedOnceDurable) {
  ASSERT_EQ(sa.next(0), 0u);
  ASSERT_TRUE(blob_io::write_blob(dir.path(), 100, MessageKind::BlobNode, std::vector<uint8_t>{1}));
  ASSERT_TRUE(blob_io::write_blob(dir.path(), 300, MessageKind::BlobNode, std::vector<uint8_t>{1}));
  FragmentInfo blob{100, DiskPtr::blob_at(100, 100), 20};
  ASSERT_TRUE(sa.mark_link(2, blob));

  // Relocation logs the same blob id again: the file must stay.
  FragmentInfo moved{300, DiskPtr::blob_at(300, 100), 20};
  ASSERT_TRUE(sa.mark_replace(2, 300, std::span(&blob, 1), moved));
  // A new version of the page (inline) replaces the single blob fragment.
  FragmentInfo fresh = inline_at(400, 400, 30);
  ASSERT_TRUE(sa.mark_replace(2, 400, std::span(&moved, 1), fresh));
  EXPECT_TRUE(fs::exists(blob_io::blob_path(dir.path(), 100))) << "kept until the replacement is durable";

  ASSERT_EQ(sa.next(S), S);
  ASSERT_TRUE(sa.stabilize(S + 20));
  EXPECT_FALSE(fs::exists(blob_io::blob_path(dir.path(), 100)));
  EXPECT_TRUE(fs::exists(blob_io::blob_path(dir.path(), 300)));
}

TEST_F(Accountant, StartUpFromSnapshot) {
  {  // empty file, default snapshot
    ASSERT_TRUE(sa.initialize_from_snapshot(Snapshot{}));
    EXPECT_TRUE(sa.segments().empty());
    EXPECT_EQ(sa.tip(), 0u);
    EXPECT_EQ(sa.next(0), 0u);
  }
  {  // active segment right behind the file's end gets a slot; one further is corruption
    testing::TempDir d;
    auto cfg = testing::config_for(d, S);
    ASSERT_TRUE(cfg.file->set_len(2 * S + 1));  // 3 slots here
    SegmentAccountant a{cfg, std::make_shared<SegmentCleaner>()};
    Snapshot s = pages_in_slots(1, 100);
    s.stable_lsn = 3 * S + 40;
    s.active_segment = 3 * S;
    ASSERT_TRUE(a.initialize_from_snapshot(s));
    EXPECT_EQ(a.segments().size(), 4u);
    EXPECT_TRUE(a.segments()[3].is_active());
    EXPECT_EQ(a.tip(), 4 * S);

    SegmentAccountant b{cfg, std::make_shared<SegmentCleaner>()};
    ASSERT_TRUE(cfg.file->set_len(2 * S + 1));
    s.active_segment = 5 * S;
    zudizid::log::ScopedCapture cap(zudizid::log::Level::Error);
    auto r = b.initialize_from_snapshot(s);
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().is<Error::Corruption>());
  }
  {  // a slot with a valid header but no page of the snapshot is zeroed and freed
    testing::TempDir d;
    auto cfg = testing::config_for(d, S);
    testing::SegmentImage seg0{S, 0}, seg1{S, S}, seg2{S, 2 * S};
    seg0.write(*cfg.file, 0);
    seg1.write(*cfg.file, S);
    seg2.write(*cfg.file, 2 * S);
    SegmentAccountant a{cfg, std::make_shared<SegmentCleaner>()};
    Snapshot s = pages_in_slots(1, 100);
    s.pt[0] = present_page(Fragment{2 * S + 20, DiskPtr::inline_at(2 * S + 20), 100});
    ASSERT_TRUE(a.initialize_from_snapshot(s));
    EXPECT_EQ(a.free_list(), (std::set<LogOffset>{0, S}));
    std::vector<uint8_t> back(2 * S, 1);
    ASSERT_TRUE(read_all_at(*cfg.file, back.data(), back.size(), 0));
    EXPECT_EQ(back, std::vector<uint8_t>(2 * S, 0));
  }
}

}  // namespace
}  // namespace kelm::pagecache
