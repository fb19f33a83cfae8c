// The segment header scan and the log iterator.
#include <gtest/gtest.h>

#include "common/log.h"
#include "kv/pagecache/iterator.h"
#include "tests/kv/log_test_util.h"

namespace kelm::pagecache {
namespace {

using testing::SegmentImage;

constexpr uint64_t S = 4096;

std::vector<uint8_t> body(size_t n, uint8_t fill = 1) { return std::vector<uint8_t>(n, fill); }

class LogIter_ : public ::testing::Test {
 protected:
  testing::TempDir dir;
  std::shared_ptr<testing::FaultyFile> file =
      std::make_shared<testing::FaultyFile>(testing::open_db(dir.path()));
  LogConfig config = testing::config_for(dir, S, file);

  std::vector<LogItem> drain(LogIter& it) {
    std::vector<LogItem> out;
    while (auto item = it.next()) out.push_back(*item);
    return out;
  }
  bool logged(const zudizid::log::ScopedCapture& cap, std::string_view text) {
    for (const auto& r : cap.records())
      if (r.message.find(text) != std::string::npos) return true;
    return false;
  }
};

TEST_F(LogIter_, ScanCountsWholeHeadersOnlyAndSkipsBadSlots) {
  SegmentImage a{S, 0}, b{S, S}, c{S, 2 * S}, d{S, 5 * S};
  a.write(*file, 0);
  b.write(*file, S);
  c.bytes[7] ^= 1;  // checksum fails
  c.write(*file, 2 * S);
  d.write(*file, 3 * S, 19);
  auto scan = scan_segment_headers(0, config);
  ASSERT_TRUE(scan);
  EXPECT_EQ(scan->ordering, (std::map<Lsn, LogOffset>{{0, 0}, {S, S}}));

  d.write(*file, 3 * S, 20);
  scan = scan_segment_headers(0, config);
  ASSERT_TRUE(scan);
  EXPECT_EQ(scan->ordering, (std::map<Lsn, LogOffset>{{0, 0}, {S, S}, {5 * S, 3 * S}}));
  EXPECT_EQ(scan->max_header_stable_lsn, 5 * S - 1);

  scan = scan_segment_headers(S, config);  // below min
  ASSERT_TRUE(scan);
  EXPECT_EQ(scan->ordering.count(0), 0u);
}

TEST_F(LogIter_, ScanFailsOnReadErrors) {
  SegmentImage a{S, 0};
  a.write(*file, 0);
  file->read_errno = EIO;
  auto scan = scan_segment_headers(0, config);
  ASSERT_FALSE(scan);
  EXPECT_NE(scan.error().display().find("os error 5"), std::string::npos);
}

TEST_F(LogIter_, YieldsSegmentsInLsnOrderAndSkipsControlMessages) {
  SegmentImage first{S, 0}, second{S, 2 * S};
  Lsn a = first.add(MessageKind::InlineNode, 2, body(5));
  Lsn canceled = first.add(MessageKind::Canceled, 3, body(32));  // 8 + 32 = 40 bytes
  Lsn b = first.add(MessageKind::InlineLink, 2, body(3));
  first.cap();
  Lsn c = second.add(MessageKind::Free, 4, {});
  Lsn d = second.add(MessageKind::Counter, 1, {7});
  second.cap();
  first.write(*file, 0);
  second.write(*file, S);
  ASSERT_EQ(b, canceled + 40);

  zudizid::log::ScopedCapture cap(zudizid::log::Level::Debug);
  LogIter it(config, {{0, 0}, {2 * S, S}}, std::nullopt, false);
  auto items = drain(it);
  ASSERT_EQ(items.size(), 4u);
  EXPECT_EQ(items[0].lsn, a);
  EXPECT_EQ(items[0].kind, LogKind::Replace);
  EXPECT_EQ(items[0].pointer, DiskPtr::inline_at(20));
  EXPECT_EQ(items[0].size, 13u);
  EXPECT_EQ(items[1].lsn, b);
  EXPECT_EQ(items[1].kind, LogKind::Link);
  EXPECT_EQ(items[2].lsn, c);
  EXPECT_EQ(items[2].kind, LogKind::Free);
  EXPECT_EQ(items[2].pointer, DiskPtr::inline_at(S + 20));
  EXPECT_EQ(items[3].lsn, d);
  EXPECT_TRUE(logged(cap, "no segments remaining to iterate over"));
  EXPECT_TRUE(it.segments.empty());
  EXPECT_FALSE(it.io_error);
}

TEST_F(LogIter_, CapLeavesCurLsnUntilTheNextLoad) {
  SegmentImage first{S, 0};
  Lsn a = first.add(MessageKind::InlineNode, 2, body(5));
  first.cap();
  first.write(*file, 0);
  LogIter it(config, {{0, 0}}, std::nullopt, false);
  ASSERT_TRUE(it.next());
  EXPECT_FALSE(it.next());
  EXPECT_EQ(it.cur_lsn, a + 13);  // the Cap's lsn
}

TEST_F(LogIter_, TornSegmentStopsAndStaysInTheMap) {
  SegmentImage wrong{S, 3 * S};
  wrong.write(*file, 0);
  zudizid::log::ScopedCapture cap(zudizid::log::Level::Debug);
  LogIter it(config, {{4 * S, 0}}, std::nullopt, false);
  EXPECT_FALSE(it.next());
  EXPECT_TRUE(logged(cap, "encountered torn segment"));
  EXPECT_EQ(it.segments.size(), 1u);
}

TEST_F(LogIter_, CorruptionEndsOrSkipsTheSegment) {
  SegmentImage s0{S, 0}, s1{S, S}, s2{S, 2 * S};
  s0.add(MessageKind::InlineNode, 2, body(5));
  s0.cap();
  s1.add(MessageKind::InlineNode, 3, body(5));
  auto bad = testing::message_bytes(MessageKind::InlineNode, 1, 4, body(5));
  bad.back() ^= 1;
  s1.add_raw(bad);
  s1.add(MessageKind::InlineNode, 5, body(5));
  Lsn after = s2.add(MessageKind::InlineNode, 6, body(5));
  s0.write(*file, 0);
  s1.write(*file, S);
  s2.write(*file, 2 * S);
  std::map<Lsn, LogOffset> all{{0, 0}, {S, S}, {2 * S, 2 * S}};

  LogIter strict(config, all, std::nullopt, false);
  EXPECT_EQ(drain(strict).size(), 2u);
  EXPECT_EQ(strict.segments.size(), 1u);

  LogIter skipping(config, all, std::nullopt, true);
  auto items = drain(skipping);
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[2].lsn, after);
}

TEST_F(LogIter_, BatchManifestBeyondMaxLsnCutsRecoveryShort) {
  SegmentImage s0{S, 0};
  std::vector<uint8_t> manifest(8);
  store_u64_le(manifest.data(), 5000);
  s0.add(MessageKind::BatchManifest, kBatchManifestPid, manifest);
  s0.add(MessageKind::InlineNode, 2, body(5));
  s0.write(*file, 0);
  LogIter cut(config, {{0, 0}}, 4999, false);
  EXPECT_TRUE(drain(cut).empty());
  EXPECT_EQ(cut.cur_lsn, 20);
  LogIter whole(config, {{0, 0}}, 5000, false);
  EXPECT_EQ(drain(whole).size(), 1u);
}

TEST_F(LogIter_, MaxLsnBoundsMessagesAndSegments) {
  SegmentImage s0{S, 0};
  s0.add(MessageKind::Canceled, 2, body(52));                  // lsn 20, 60 bytes
  ASSERT_EQ(s0.add(MessageKind::InlineNode, 2, body(12)), 80);  // 20 bytes
  s0.add(MessageKind::InlineNode, 3, body(9));
  s0.write(*file, 0);
  zudizid::log::ScopedCapture cap(zudizid::log::Level::Debug);
  std::map<Lsn, LogOffset> segs{{0, 0}, {S, S}};
  LogIter it(config, segs, 99, false);
  auto items = drain(it);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].lsn, 80);
  EXPECT_TRUE(logged(cap, "hit max_lsn 99 in iterator, stopping"));
  EXPECT_EQ(it.segments.count(S), 1u);  // never loaded
}

TEST_F(LogIter_, ShortLastSegmentAndReadErrors) {
  SegmentImage s0{S, 0};
  s0.add(MessageKind::InlineNode, 2, body(500));
  s0.write(*file, 0, 300);
  {
    zudizid::log::ScopedCapture cap(zudizid::log::Level::Debug);
    LogIter it(config, {{0, 0}}, std::nullopt, false);
    EXPECT_FALSE(it.next());
    EXPECT_TRUE(logged(cap, "failed to fill buffer"));
    EXPECT_FALSE(it.io_error);  // a short tail is a torn write, not a failing disk
  }
  s0.write(*file, 0);
  file->read_errno = EIO;
  LogIter it(config, {{0, 0}}, std::nullopt, false);
  EXPECT_FALSE(it.next());
  ASSERT_TRUE(it.io_error);
  EXPECT_EQ(it.segments.size(), 1u);
}

}  // namespace
}  // namespace kelm::pagecache
