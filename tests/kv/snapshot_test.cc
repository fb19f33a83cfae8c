// Snapshot files: choosing the newest, writing atomically, applying replayed
// items and fixing the replay's end position.
#include <gtest/gtest.h>

#include <fstream>

#include "common/crc32.h"
#include "common/log.h"
#include "kv/pagecache/iterator.h"
#include "kv/pagecache/snapshot.h"
#include "tests/kv/log_test_util.h"

namespace kelm::pagecache {
namespace {

namespace fs = std::filesystem;
using testing::SegmentImage;

bool logged(const zudizid::log::ScopedCapture& cap, std::string_view text) {
  for (const auto& r : cap.records())
    if (r.message.find(text) != std::string::npos) return true;
  return false;
}

Snapshot sample(Lsn stable) {
  Snapshot s;
  s.stable_lsn = stable;
  s.pt.push_back(present_page(Fragment{20, DiskPtr::inline_at(20), 40}));
  s.pt.push_back(free_page(60, DiskPtr::inline_at(60)));
  return s;
}

class SnapshotFiles : public ::testing::Test {
 protected:
  testing::TempDir dir;
  LogConfig config = testing::config_for(dir, 4096);
};

TEST_F(SnapshotFiles, NoneShortAndCorruptFilesGiveNothing) {
  auto none = read_snapshot(config);
  ASSERT_TRUE(none);
  EXPECT_FALSE(*none);

  ASSERT_TRUE(write_snapshot(config, sample(0x2000)));
  fs::path file = dir.path() / "snap.0000000000002000";
  ASSERT_TRUE(fs::exists(file));
  auto back = read_snapshot(config);
  ASSERT_TRUE(back && *back);
  EXPECT_TRUE(same_snapshot(**back, sample(0x2000)));

  {
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(3);
    f.put(0x42);
  }
  zudizid::log::ScopedCapture cap(zudizid::log::Level::Warn);
  auto corrupt = read_snapshot(config);
  ASSERT_TRUE(corrupt);
  EXPECT_FALSE(*corrupt);
  EXPECT_TRUE(logged(cap, "corrupt snapshot file found, crc does not match expected"));

  fs::resize_file(file, 12);
  auto short_file = read_snapshot(config);
  ASSERT_TRUE(short_file);
  EXPECT_FALSE(*short_file);
  EXPECT_TRUE(logged(cap, "empty/corrupt snapshot file found"));
}

TEST_F(SnapshotFiles, OnlyTheNewestNameIsRead) {
  ASSERT_TRUE(write_snapshot(config, sample(0x2000)));
  std::ofstream(dir.path() / "snap.0000000000000014") << "garbage, never read";
  std::ofstream(dir.path() / "snap.0000000000001FFF.generating") << "garbage, never read";
  std::ofstream(dir.path() / "snap.FFFFFFFFFFFFFFFF.in___motion") << "ignored";
  auto got = read_snapshot(config);
  ASSERT_TRUE(got && *got);
  EXPECT_EQ((*got)->stable_lsn, 0x2000);

  // Writing removes every other candidate.
  ASSERT_TRUE(write_snapshot(config, sample(0x3000)));
  auto left = list_snapshot_files(dir.path());
  ASSERT_TRUE(left);
  ASSERT_EQ(left->size(), 1u);
  EXPECT_EQ((*left)[0].filename(), "snap.0000000000003000");
}

TEST_F(SnapshotFiles, LeftoverTemporaryFileDoesNotSpoilTheNewOne) {
  // A crash during an earlier write of the same name left a longer file.
  std::ofstream(dir.path() / "snap.0000000000002000.generating") << std::string(4096, 'x');
  ASSERT_TRUE(write_snapshot(config, sample(0x2000)));
  EXPECT_FALSE(fs::exists(dir.path() / "snap.0000000000002000.generating"));
  auto got = read_snapshot(config);
  ASSERT_TRUE(got && *got);
  EXPECT_TRUE(same_snapshot(**got, sample(0x2000)));
}

TEST_F(SnapshotFiles, UndecodableBodyWithGoodChecksumFailsTheRead) {
  std::vector<uint8_t> body = {0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 5};  // Present page cut inside its base
  std::vector<uint8_t> file = body;
  uint8_t trailer[12];
  store_u64_le(trailer, body.size());
  store_u32_le(trailer + 8, zudizid::common::crc32(body));
  file.insert(file.end(), trailer, trailer + 12);
  std::ofstream(dir.path() / "snap.0000000000000000", std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), file.size());
  auto got = read_snapshot(config);
  ASSERT_FALSE(got);
  EXPECT_TRUE(got.error().is<Error::Corruption>());
}

TEST(SnapshotApply, ReplaceLinkFreeAndDanglingLinks) {
  Snapshot s;
  ASSERT_TRUE(apply_to_snapshot(s, LogKind::Link, 7, 100, DiskPtr::inline_at(100), 10));
  ASSERT_EQ(s.pt.size(), 7u);
  for (const auto& p : s.pt) EXPECT_EQ(p.kind, PageState::Kind::Uninitialized);

  ASSERT_TRUE(apply_to_snapshot(s, LogKind::Replace, 2, 200, DiskPtr::inline_at(200), 30));
  ASSERT_TRUE(apply_to_snapshot(s, LogKind::Link, 2, 250, DiskPtr::inline_at(250), 12));
  ASSERT_TRUE(apply_to_snapshot(s, LogKind::Link, 2, 250, DiskPtr::inline_at(250), 12));  // not above the last: skipped
  ASSERT_TRUE(apply_to_snapshot(s, LogKind::Link, 2, 240, DiskPtr::inline_at(240), 12));
  const auto& p = s.pt[2];
  EXPECT_EQ(p.base, (Fragment{200, DiskPtr::inline_at(200), 30}));
  ASSERT_EQ(p.frags.size(), 1u);
  EXPECT_EQ(p.frags[0].lsn, 250);

  ASSERT_TRUE(apply_to_snapshot(s, LogKind::Free, 2, 300, DiskPtr::inline_at(300), 8));
  EXPECT_EQ(s.pt[2].kind, PageState::Kind::Free);
  ASSERT_TRUE(apply_to_snapshot(s, LogKind::Replace, 2, 400, DiskPtr::blob_at(400, 400), 16));
  EXPECT_EQ(s.pt[2].kind, PageState::Kind::Present);

  for (LogKind k : {LogKind::Skip}) {
    auto r = apply_to_snapshot(s, k, 3, 500, DiskPtr::inline_at(500), 8);
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().is<Error::Corruption>());
  }
}

TEST(SnapshotTip, RecoveredTip) {
  struct Case {
    std::optional<Lsn> stable;
    std::optional<LogOffset> active;
    std::optional<LogOffset> lid;
    std::optional<Lsn> lsn;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, std::nullopt, std::nullopt},
      {9192, 8192, 9192, 9192},
      {12288, std::nullopt, std::nullopt, 12288},
      {12289, std::nullopt, std::nullopt, 16384},
  };
  for (const auto& c : cases) {
    Snapshot s;
    s.stable_lsn = c.stable;
    s.active_segment = c.active;
    auto tip = recovered_tip(s, 4096);
    EXPECT_EQ(tip.lid, c.lid);
    EXPECT_EQ(tip.lsn, c.lsn);
  }
}

class AdvanceSnapshot : public ::testing::Test {
 protected:
  static constexpr uint64_t S = 4096;
  testing::TempDir dir;
  LogConfig config = testing::config_for(dir, S);
};

TEST_F(AdvanceSnapshot, ZeroesTheRestOfTheSegmentItStoppedIn) {
  SegmentImage seg{S, 8192};
  seg.add(MessageKind::InlineNode, 0, std::vector<uint8_t>(100, 3));
  seg.add(MessageKind::Canceled, 9, std::vector<uint8_t>(942 - 128 - 9, 0));
  ASSERT_EQ(seg.used, 942u);
  seg.add(MessageKind::InlineNode, 1, std::vector<uint8_t>(50, 3));  // ends at offset 1000
  ASSERT_EQ(seg.used, 1000u);
  std::fill(seg.bytes.begin() + 1000, seg.bytes.end(), 0xEE);  // bytes of an earlier use
  seg.write(*config.file, 8192);

  LogIter it(config, {{8192, 8192}}, 9191, true);
  auto s = advance_snapshot(it, Snapshot{}, config);
  ASSERT_TRUE(s) << s.error().display();
  EXPECT_EQ(s->stable_lsn, 9192);
  EXPECT_EQ(s->active_segment, 8192u);
  ASSERT_EQ(s->pt.size(), 2u);
  EXPECT_EQ(s->pt[1].base, (Fragment{8192 + 942, DiskPtr::inline_at(8192 + 942), 58}));

  std::vector<uint8_t> back(S);
  ASSERT_TRUE(read_all_at(*config.file, back.data(), S, 8192));
  for (size_t i = 1000; i < S - 1; ++i) ASSERT_EQ(back[i], 0) << i;  // 9192 ..= 12286
  EXPECT_EQ(back[S - 1], 0xEE);
  EXPECT_TRUE(fs::exists(dir.path() / "snap.00000000000023E8"));
}

TEST_F(AdvanceSnapshot, LastMessageNearTheEndMovesToTheNextSegment) {
  SegmentImage seg{S, 0};
  seg.add(MessageKind::Canceled, 9, std::vector<uint8_t>(S - 60 - 20 - 10, 0));
  ASSERT_EQ(seg.used, S - 60);
  seg.add(MessageKind::InlineNode, 0, std::vector<uint8_t>(32, 1));  // ends 20 bytes before the end
  seg.write(*config.file, 0);
  LogIter it(config, {{0, 0}}, S - 21, true);
  auto s = advance_snapshot(it, Snapshot{}, config);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->stable_lsn, static_cast<Lsn>(S));
  EXPECT_FALSE(s->active_segment);
}

}  // namespace
}  // namespace kelm::pagecache
