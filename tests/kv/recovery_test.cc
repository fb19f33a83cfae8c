// Recovery at open: tail tears, torn batches, zeroing and blob collection.
#include <gtest/gtest.h>

#include <fstream>

#include "common/log.h"
#include "kv/pagecache/blob_io.h"
#include "kv/pagecache/recovery.h"
#include "tests/kv/log_test_util.h"

namespace kelm::pagecache {
namespace {

namespace fs = std::filesystem;
using testing::SegmentImage;

constexpr uint64_t S = 4096;

std::vector<uint8_t> body(size_t n) { return std::vector<uint8_t>(n, 0x33); }

class Recovery : public ::testing::Test {
 protected:
  testing::TempDir dir;
  std::shared_ptr<testing::FaultyFile> file =
      std::make_shared<testing::FaultyFile>(testing::open_db(dir.path()));
  LogConfig config = testing::config_for(dir, S, file);

  std::vector<uint8_t> slot(LogOffset lid) {
    std::vector<uint8_t> out(S);
    EXPECT_TRUE(read_all_at(*file, out.data(), S, lid));
    return out;
  }
  static bool all_zero(const std::vector<uint8_t>& v, size_t from = 0, size_t to = SIZE_MAX) {
    for (size_t i = from; i < std::min(to, v.size()); ++i)
      if (v[i]) return false;
    return true;
  }
  size_t snapshot_files() {
    auto l = list_snapshot_files(dir.path());
    return l ? l->size() : 0;
  }
};

TEST_F(Recovery, FreshDatabaseGivesTheDefaultSnapshot) {
  auto s = read_snapshot_or_default(config);
  ASSERT_TRUE(s);
  EXPECT_TRUE(same_snapshot(*s, Snapshot{}));
  EXPECT_EQ(snapshot_files(), 0u);
}

TEST_F(Recovery, TornMessageEndsTheLogAndTheTailIsZeroed) {
  SegmentImage seg{S, 0};
  Lsn a = seg.add(MessageKind::InlineMeta, 0, body(10));
  seg.add(MessageKind::Counter, 1, {0});
  auto torn = testing::message_bytes(MessageKind::InlineNode, 0, 2, body(100));
  torn.resize(60);  // the write stopped in the middle of the body
  Lsn c = seg.add_raw(torn);
  seg.write(*file, 0);

  auto s = read_snapshot_or_default(config);
  ASSERT_TRUE(s) << s.error().display();
  EXPECT_EQ(s->stable_lsn, c);
  EXPECT_EQ(s->active_segment, 0u);
  ASSERT_EQ(s->pt.size(), 2u);
  EXPECT_EQ(s->pt[0].base.lsn, a);
  EXPECT_TRUE(all_zero(slot(0), static_cast<size_t>(c)));
  EXPECT_TRUE(fs::exists(dir.path() / snapshot_file_name(c)));

  // Opening again replays nothing new and writes no further file.
  auto again = read_snapshot_or_default(config);
  ASSERT_TRUE(again);
  EXPECT_TRUE(same_snapshot(*again, *s));
  EXPECT_EQ(snapshot_files(), 1u);
}

TEST_F(Recovery, TornBatchIsDroppedWhole) {
  SegmentImage seg{S, 0};
  seg.add(MessageKind::InlineMeta, 0, body(10));
  seg.add(MessageKind::Counter, 1, {0});
  // A batch of two messages whose manifest requires the second one.
  std::vector<uint8_t> required(8);
  const Lsn manifest_lsn = static_cast<Lsn>(seg.used);
  const Lsn first_lsn = manifest_lsn + 24;
  const Lsn second_lsn = first_lsn + 8 + 20;
  store_u64_le(required.data(), static_cast<uint64_t>(second_lsn + 8 + 20 - 1));
  ASSERT_EQ(seg.add(MessageKind::BatchManifest, kBatchManifestPid, required), manifest_lsn);
  ASSERT_EQ(seg.add(MessageKind::InlineNode, 2, body(20)), first_lsn);
  seg.write(*file, 0);  // the second message never reached the disk

  auto s = read_snapshot_or_default(config);
  ASSERT_TRUE(s) << s.error().display();
  EXPECT_EQ(s->stable_lsn, manifest_lsn);
  EXPECT_EQ(s->pt.size(), 2u);  // page 2 of the batch is not there
  EXPECT_TRUE(all_zero(slot(0), static_cast<size_t>(manifest_lsn), S - 1));
}

TEST_F(Recovery, SegmentsAfterAGapInTheUnstableTailAreZeroed) {
  // Segments with lsns 0, S, 2S, 4S; the newest header stable lsn lies in S.
  SegmentImage s0{S, 0}, s1{S, S, S + 10}, s2{S, 2 * S, S + 10}, s4{S, 4 * S, S + 10};
  s0.add(MessageKind::InlineMeta, 0, body(10));
  s0.cap();
  s1.add(MessageKind::Counter, 1, {0});
  s1.cap();
  Lsn last = s2.add(MessageKind::InlineNode, 2, body(10));
  s2.cap();
  s4.add(MessageKind::InlineNode, 3, body(10));
  s4.cap();
  s0.write(*file, 0);
  s1.write(*file, S);
  s2.write(*file, 2 * S);
  s4.write(*file, 3 * S);

  auto s = read_snapshot_or_default(config);
  ASSERT_TRUE(s) << s.error().display();
  ASSERT_EQ(s->pt.size(), 3u);
  EXPECT_EQ(s->pt[2].base.lsn, last);
  EXPECT_TRUE(all_zero(slot(3 * S)));
  EXPECT_FALSE(all_zero(slot(2 * S)));
}

TEST_F(Recovery, ReadErrorFailsTheOpenAndZeroesNothing) {
  SegmentImage s0{S, 0}, s1{S, S};
  s0.add(MessageKind::InlineMeta, 0, body(10));
  s0.cap();
  s1.add(MessageKind::Counter, 1, {0});
  s1.cap();
  s0.write(*file, 0);
  s1.write(*file, S);
  // Header reads of segment 1 still work, reading its body fails.
  file->fail_reads_from = S + kSegHeaderLen;
  file->read_errno = EIO;
  auto s = read_snapshot_or_default(config);
  ASSERT_FALSE(s);
  EXPECT_TRUE(s.error().is<Error::Io>());
  file->read_errno = 0;
  EXPECT_EQ(slot(S), s1.bytes);
  EXPECT_EQ(snapshot_files(), 0u);
}

TEST_F(Recovery, BlobsOfTheLostPartAreRemoved) {
  SegmentImage seg{S, 0};
  seg.add(MessageKind::InlineMeta, 0, body(10));
  seg.add(MessageKind::Counter, 1, {0});
  std::vector<uint8_t> id(8);
  Lsn blob_lsn = static_cast<Lsn>(seg.used);
  store_u64_le(id.data(), static_cast<uint64_t>(blob_lsn));
  seg.add(MessageKind::BlobNode, 2, id);
  seg.write(*file, 0);
  ASSERT_TRUE(blob_io::write_blob(dir.path(), blob_lsn, MessageKind::BlobNode, body(5)));
  ASSERT_TRUE(blob_io::write_blob(dir.path(), 3000, MessageKind::BlobNode, body(5)));  // never completed

  auto s = read_snapshot_or_default(config);
  ASSERT_TRUE(s) << s.error().display();
  EXPECT_EQ(s->pt[2].base.ptr, DiskPtr::blob_at(blob_lsn, blob_lsn));
  EXPECT_TRUE(fs::exists(blob_io::blob_path(dir.path(), blob_lsn)));
  EXPECT_FALSE(fs::exists(blob_io::blob_path(dir.path(), 3000)));
}

}  // namespace
}  // namespace kelm::pagecache
