// Reading single messages and blobs back from the log.
#include <gtest/gtest.h>

#include <fstream>

#include "common/log.h"
#include "kv/pagecache/blob_io.h"
#include "kv/pagecache/logger.h"
#include "tests/kv/log_test_util.h"

namespace kelm::pagecache {
namespace {

using testing::SegmentImage;

constexpr uint64_t S = 4096;

class LogRead_ : public ::testing::Test {
 protected:
  testing::TempDir dir;
  std::shared_ptr<testing::FaultyFile> file =
      std::make_shared<testing::FaultyFile>(testing::open_db(dir.path()));
  LogConfig config = testing::config_for(dir, S, file);
  SegmentImage seg{S, 2 * S};  // segment number 2, placed at offset S

  Result<LogRead> read_at_lsn(Lsn lsn) {
    seg.write(*file, S);
    return read_message(config, S + static_cast<LogOffset>(lsn - seg.lsn), 2);
  }
};

TEST_F(LogRead_, ZeroBytesReadAsCorrupted) {
  auto r = read_at_lsn(seg.lsn + 20);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->is(LogRead::Kind::Corrupted));
}

TEST_F(LogRead_, InlineMessageWithOneOrTwoReads) {
  Lsn small = seg.add(MessageKind::InlineNode, 7, {1, 2, 3});
  Lsn big = seg.add(MessageKind::InlineNode, 3000, std::vector<uint8_t>(120, 0x5A));  // 10-byte header
  seg.write(*file, S);

  file->reads = 0;
  auto a = read_message(config, S + static_cast<LogOffset>(small - seg.lsn), 2);
  ASSERT_TRUE(a);
  ASSERT_TRUE(a->is(LogRead::Kind::Inline));
  EXPECT_EQ(a->data, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(a->header.pid, 7u);
  EXPECT_EQ(a->length, 11u);
  EXPECT_EQ(file->reads, 1u);

  file->reads = 0;
  auto b = read_message(config, S + static_cast<LogOffset>(big - seg.lsn), 2);
  ASSERT_TRUE(b);
  ASSERT_TRUE(b->is(LogRead::Kind::Inline));
  EXPECT_EQ(b->data, std::vector<uint8_t>(120, 0x5A));
  EXPECT_EQ(b->length, 130u);
  EXPECT_EQ(file->reads, 2u);
}

TEST_F(LogRead_, LengthExactlyToSegmentEndIsReadOneMoreIsCorrupted) {
  // Message at the last position outside the red zone, body up to the end.
  const size_t at = S - 32;
  MessageHeader h{0, MessageKind::InlineNode, 2, 5, 0};
  const size_t hl = 8;
  h.len = S - at - hl;
  auto m = testing::message_bytes(MessageKind::InlineNode, 2, 5, std::vector<uint8_t>(h.len, 7));
  ASSERT_EQ(m.size(), S - at);
  seg.used = at;
  seg.add_raw(m);
  seg.write(*file, S);
  auto ok = read_message(config, S + at, 2);
  ASSERT_TRUE(ok);
  EXPECT_TRUE(ok->is(LogRead::Kind::Inline));

  m[5] += 1;  // len one byte more: no checksum needed to reject it
  seg.used = at;
  seg.add_raw(m);
  seg.write(*file, S);
  ASSERT_TRUE(file->set_len(3 * S));  // the window read does not meet the end of the file
  file->reads = 0;
  auto bad = read_message(config, S + at, 2);
  ASSERT_TRUE(bad);
  EXPECT_TRUE(bad->is(LogRead::Kind::Corrupted));
  EXPECT_EQ(file->reads, 1u);
}

TEST_F(LogRead_, RejectsOldSegmentNumberAndBadChecksum) {
  auto old = testing::message_bytes(MessageKind::InlineNode, 1, 5, {1, 2});
  Lsn a = seg.add_raw(old);
  auto flipped = testing::message_bytes(MessageKind::InlineNode, 2, 5, {1, 2});
  flipped.back() ^= 1;
  Lsn b = seg.add_raw(flipped);
  for (Lsn l : {a, b}) {
    auto r = read_at_lsn(l);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->is(LogRead::Kind::Corrupted)) << l;
  }
}

TEST_F(LogRead_, ControlMessages) {
  Lsn c = seg.add(MessageKind::Canceled, 9, {1, 2, 3, 4});  // 8-byte header + 4 = 12
  std::vector<uint8_t> lsn_body(8);
  store_u64_le(lsn_body.data(), 5000);
  Lsn m = seg.add(MessageKind::BatchManifest, kBatchManifestPid, lsn_body);
  seg.write(*file, S);
  auto canceled = read_at_lsn(c);
  ASSERT_TRUE(canceled);
  EXPECT_TRUE(canceled->is(LogRead::Kind::Canceled));
  EXPECT_EQ(canceled->length, 12u);
  auto manifest = read_at_lsn(m);
  ASSERT_TRUE(manifest);
  EXPECT_TRUE(manifest->is(LogRead::Kind::BatchManifest));
  EXPECT_EQ(manifest->batch_lsn, 5000);

  SegmentImage seven{S, 7 * S};
  seven.cap();
  seven.write(*file, 0);
  auto cap = read_message(config, 20, 7);
  ASSERT_TRUE(cap);
  EXPECT_TRUE(cap->is(LogRead::Kind::Cap));
  EXPECT_EQ(cap->segment_number, 7u);
}

TEST_F(LogRead_, PositionsTheLogNeverWritesAreRefused) {
  seg.write(*file, S);
  for (LogOffset lid : {S + 5, 2 * S - 31}) {
    auto r = read_message(config, lid, 2);
    ASSERT_FALSE(r) << lid;
    EXPECT_TRUE(r.error().is<Error::ReportableBug>());
  }
}

TEST_F(LogRead_, BodyCutByEndOfFileIsAnIoError) {
  Lsn l = seg.add(MessageKind::InlineNode, 5, std::vector<uint8_t>(300, 1));
  seg.write(*file, S, 20 + 200);
  auto r = read_message(config, S + static_cast<LogOffset>(l - seg.lsn), 2);
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().display().find("failed to fill whole buffer"), std::string::npos);
}

TEST_F(LogRead_, BlobMessages) {
  std::vector<uint8_t> id(8);
  store_u64_le(id.data(), 8212);
  Lsn l = seg.add(MessageKind::BlobNode, 5, id);
  ASSERT_EQ(l, 8212);
  ASSERT_TRUE(blob_io::write_blob(dir.path(), 8212, MessageKind::BlobNode, std::vector<uint8_t>{9, 8, 7}));
  auto ok = read_at_lsn(l);
  ASSERT_TRUE(ok);
  ASSERT_TRUE(ok->is(LogRead::Kind::Blob));
  EXPECT_EQ(ok->data, (std::vector<uint8_t>{9, 8, 7}));
  EXPECT_EQ(ok->blob_id, 8212);

  // One flipped data byte.
  {
    std::fstream f(blob_io::blob_path(dir.path(), 8212), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(6);
    f.put(0x11);
  }
  auto corrupt = read_at_lsn(l);
  ASSERT_FALSE(corrupt);
  EXPECT_EQ(corrupt.error(), Error::corruption(DiskPtr::blob_at(0, 8212)));

  // Only the checksum bytes.
  std::filesystem::resize_file(blob_io::blob_path(dir.path(), 8212), 4);
  zudizid::log::ScopedCapture cap(zudizid::log::Level::Debug);
  auto short_blob = read_at_lsn(l);
  ASSERT_FALSE(short_blob);
  EXPECT_TRUE(short_blob.error().is<Error::Io>());
  bool logged = false;
  for (const auto& rec : cap.records())
    logged |= rec.message.starts_with("failed to read the initial CRC bytes in the blob at");
  EXPECT_TRUE(logged);

  std::filesystem::remove(blob_io::blob_path(dir.path(), 8212));
  auto dangling = read_at_lsn(l);
  ASSERT_TRUE(dangling);
  EXPECT_TRUE(dangling->is(LogRead::Kind::DanglingBlob));
  EXPECT_EQ(dangling->blob_id, 8212);
}

TEST(BlobIo, WriteIsExclusiveAndGcKeepsOlderAndUnparsable) {
  testing::TempDir dir;
  ASSERT_TRUE(blob_io::write_blob(dir.path(), 10000, MessageKind::BlobNode, std::vector<uint8_t>{1}));
  EXPECT_FALSE(blob_io::write_blob(dir.path(), 10000, MessageKind::BlobNode, std::vector<uint8_t>{2}));
  for (const char* name : {"9999", "12345", "garbage"}) std::ofstream(dir.path() / "blobs" / name) << "x";
  zudizid::log::ScopedCapture cap(zudizid::log::Level::Warn);
  ASSERT_TRUE(blob_io::gc_blobs(dir.path(), 10000));
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "blobs" / "9999"));
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "blobs" / "garbage"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "blobs" / "10000"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "blobs" / "12345"));
  bool warned = false;
  for (const auto& r : cap.records()) warned |= r.message.starts_with("blobs directory contains unparsable path");
  EXPECT_TRUE(warned);
}

}  // namespace
}  // namespace kelm::pagecache
