// The IO buffers and reservations: claiming, sealing, writing, waiting for
// durability, and stopping for good on the first write failure.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <random>
#include <thread>

#include "kv/pagecache/blob_io.h"
#include "kv/pagecache/iobuf.h"
#include "tests/kv/log_test_util.h"

namespace kelm::pagecache {
namespace {

using namespace std::chrono_literals;
using testing::fill_with;

std::vector<uint8_t> bytes(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
  return v;
}

class IoBufsTest : public ::testing::Test {
 protected:
  void open(uint64_t segment_size, bool temporary = false) {
    file = std::make_shared<testing::FaultyFile>(testing::open_db(dir.path()));
    config = testing::config_for(dir, segment_size, file);
    config.temporary = temporary;
    log = testing::start_log(config);
    ASSERT_TRUE(log);
  }
  void TearDown() override {
    if (log) log->shutdown();
  }
  Result<std::pair<Lsn, DiskPtr>> write(PageId pid, std::vector<uint8_t> body, LogKind kind = LogKind::Replace) {
    auto r = log->reserve(kind, pid, body.size(), fill_with(body));
    if (!r) return std::unexpected(r.error());
    // Live data, so the accountant never recycles its segment; accounted
    // before completion, while the segment is surely still Active.
    if (auto a = testing::account(*log, pid, r->lsn(), r->pointer(), r->log_size()); !a) return std::unexpected(a.error());
    return r->complete();
  }

  testing::TempDir dir;
  std::shared_ptr<testing::FaultyFile> file;
  LogConfig config;
  std::shared_ptr<IoBufs> log;
};

TEST_F(IoBufsTest, CompletedMessagesReadBackAfterFlush) {
  open(4096);
  auto a = write(5, bytes(30, 1));
  ASSERT_TRUE(a);
  EXPECT_EQ(a->first, 20);  // right after the segment header
  EXPECT_EQ(a->second, DiskPtr::inline_at(20));
  EXPECT_EQ(log->highest_reserved_lsn(), 20 + 8 + 30 - 1);
  auto flushed = log->flush();
  ASSERT_TRUE(flushed);
  EXPECT_GT(*flushed, 0u);
  EXPECT_GE(log->stable_lsn(), log->highest_reserved_lsn());
  EXPECT_EQ(log->flush(), 0u) << "nothing new to flush";
  auto read = read_message(config, 20, 0);
  ASSERT_TRUE(read);
  ASSERT_TRUE(read->is(LogRead::Kind::Inline));
  EXPECT_EQ(read->data, bytes(30, 1));
  EXPECT_EQ(read->header.kind, MessageKind::InlineNode);
}

TEST_F(IoBufsTest, ManyMessagesAcrossSegmentsAreRecoveredInOrder) {
  open(256);
  std::mt19937 rng(7);
  std::vector<std::pair<Lsn, std::vector<uint8_t>>> written;
  for (int i = 0; i < 300; ++i) {
    auto body = bytes(rng() % 13, static_cast<uint8_t>(i));  // 12 bytes is the largest inline body
    auto r = write(2 + i, body);
    ASSERT_TRUE(r) << r.error().display();
    written.emplace_back(r->first, body);
    if (i % 37 == 0) ASSERT_TRUE(log->roll());
  }
  ASSERT_TRUE(log->flush());
  auto items = testing::scan_log(config);
  ASSERT_EQ(items.size(), written.size());
  for (size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(items[i].lsn, written[i].first);
    EXPECT_EQ(items[i].pid, 2 + i);
  }
  // Every abandoned segment tail holds a Cap or zeros, so nothing reads as a message there.
  EXPECT_GT(log->accountant().tip(), 256u * 10);
}

TEST_F(IoBufsTest, RollSealsOnlyWhatHoldsData) {
  open(4096);
  EXPECT_EQ(log->roll(), 20u) << "a fresh segment holds its header";
  ASSERT_TRUE(log->flush());
  EXPECT_EQ(log->roll(), 0u) << "empty buffer";
  ASSERT_TRUE(write(3, bytes(10, 0)));
  auto before = log->current();
  EXPECT_EQ(log->roll(), 18u);
  auto after = log->current();
  EXPECT_EQ(after->log_offset, before->log_offset + 18);
  EXPECT_EQ(after->lsn, before->lsn + 18);
}

TEST_F(IoBufsTest, SealedBufferIsWrittenOnlyAfterItsLastWriterLeaves) {
  open(4096);
  auto held = log->reserve(LogKind::Replace, 7, 10, fill_with(bytes(10, 3)));
  ASSERT_TRUE(held);
  auto flusher = std::async(std::launch::async, [&] { return log->flush(); });
  EXPECT_EQ(flusher.wait_for(100ms), std::future_status::timeout);
  std::vector<uint8_t> on_disk(18, 0xAB);
  (void)read_up_to_at(*file, on_disk.data(), on_disk.size(), 20);
  EXPECT_NE(on_disk, std::vector<uint8_t>(held->slot().begin(), held->slot().end()));
  ASSERT_TRUE(held->complete());
  ASSERT_TRUE(flusher.get());
  auto read = read_message(config, 20, 0);
  ASSERT_TRUE(read);
  EXPECT_TRUE(read->is(LogRead::Kind::Inline));
}

TEST_F(IoBufsTest, WriterLimitMakesTheNextClaimWait) {
  open(16384);
  std::vector<IoReservation> held;
  for (int i = 0; i < 127; ++i) {
    auto r = log->reserve(LogKind::Replace, 9, 1, fill_with({1}));
    ASSERT_TRUE(r);
    held.push_back(std::move(*r));
  }
  auto extra = std::async(std::launch::async, [&] { return write(9, {2}).has_value(); });
  EXPECT_EQ(extra.wait_for(50ms), std::future_status::timeout);
  ASSERT_TRUE(held.back().complete());
  EXPECT_TRUE(extra.get());
  for (size_t i = 0; i + 1 < held.size(); ++i) ASSERT_TRUE(held[i].complete());
}

TEST_F(IoBufsTest, FinishingAndCancelling) {
  open(4096);
  auto r = log->reserve(LogKind::Replace, 4, 5, fill_with(bytes(5, 9)));
  ASSERT_TRUE(r);
  ASSERT_TRUE(r->complete());
  EXPECT_FALSE(r->complete()) << "finished twice";
  EXPECT_FALSE(r->abort());

  // Dropped unfinished: becomes Canceled with its body intact.
  Lsn dropped_at;
  {
    auto d = log->reserve(LogKind::Replace, 4, 5, fill_with(bytes(5, 9)));
    ASSERT_TRUE(d);
    dropped_at = d->lsn();
  }
  // A blob written for an aborted reservation is removed.
  auto big = log->reserve(LogKind::Replace, 4, 2000, fill_with(bytes(2000, 1)));
  ASSERT_TRUE(big);
  ASSERT_TRUE(big->pointer().is_blob());
  const Lsn blob_id = big->pointer().blob;
  ASSERT_TRUE(std::filesystem::exists(blob_io::blob_path(dir.path(), blob_id)));
  ASSERT_TRUE(big->abort());
  EXPECT_FALSE(std::filesystem::exists(blob_io::blob_path(dir.path(), blob_id)));
  // A blob rewrite keeps the file it points to.
  ASSERT_TRUE(blob_io::write_blob(dir.path(), 77, MessageKind::BlobNode, std::vector<uint8_t>{1}));
  auto moved = log->reserve(LogKind::Replace, 4, 0, fill_with({}), 77);
  ASSERT_TRUE(moved);
  ASSERT_TRUE(moved->abort());
  EXPECT_TRUE(std::filesystem::exists(blob_io::blob_path(dir.path(), 77)));

  ASSERT_TRUE(log->flush());
  auto read = read_message(config, static_cast<LogOffset>(dropped_at), 0);
  ASSERT_TRUE(read);
  EXPECT_TRUE(read->is(LogRead::Kind::Canceled));
  EXPECT_EQ(read->length, 13u);
}

TEST_F(IoBufsTest, ShortWritesAreContinued) {
  open(4096);
  file->max_write = 7;
  ASSERT_TRUE(write(3, bytes(100, 5)));
  ASSERT_TRUE(log->flush());
  auto read = read_message(config, 20, 0);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->data, bytes(100, 5));
}

TEST_F(IoBufsTest, WriteAndSyncFailuresStopTheLogForGood) {
  for (int err : {EIO, ENOSPC}) {
    for (bool in_sync : {false, true}) {
      SCOPED_TRACE(::testing::Message() << err << (in_sync ? " in fdatasync" : " in pwrite"));
      open(4096);
      ASSERT_TRUE(write(3, bytes(10, 1)));
      (in_sync ? file->sync_errno : file->write_errno) = err;
      auto flushed = log->flush();
      ASSERT_FALSE(flushed);
      const std::string text = flushed.error().display();
      EXPECT_NE(text.find("code: " + std::to_string(err) + ","), std::string::npos) << text;
      file->write_errno = 0;
      file->sync_errno = 0;
      // Every later call returns the same error, even with the disk healthy again.
      auto again = log->reserve(LogKind::Replace, 3, 1, fill_with({1}));
      ASSERT_FALSE(again);
      EXPECT_EQ(again.error().display(), text);
      EXPECT_EQ(log->flush().error().display(), text);
      EXPECT_EQ(log->roll().has_value() ? std::string() : log->roll().error().display(), std::string())
          << "roll of a sealed-or-empty buffer has nothing to hand on";
      const size_t syncs = file->syncs;
      log->shutdown();  // no file work after a failure
      EXPECT_EQ(file->syncs.load(), syncs);
      log.reset();
    }
  }
}

TEST_F(IoBufsTest, TemporaryLogNeverSyncs) {
  open(256, /*temporary=*/true);
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(write(2, bytes(12, 1)));
  ASSERT_TRUE(log->flush());
  log->shutdown();
  EXPECT_EQ(file->syncs.load(), 0u);
}

TEST_F(IoBufsTest, DurableLogSyncsEveryWrite) {
  open(4096);
  ASSERT_TRUE(write(2, bytes(12, 1)));
  const size_t before = file->syncs;
  ASSERT_TRUE(log->flush());
  EXPECT_GT(file->syncs.load(), before);
}

// A flush that seals the buffer it waits for costs one write and one sync,
// each time, and leaves the bytes readable; a flush with nothing new costs
// neither.
TEST_F(IoBufsTest, FlushOfAnOpenBufferIsOneWriteAndOneSync) {
  open(4096);
  for (int round = 0; round < 5; ++round) {
    auto w = write(2, bytes(40, static_cast<uint8_t>(round)));
    ASSERT_TRUE(w);
    const size_t writes = file->writes, syncs = file->syncs;
    ASSERT_TRUE(log->flush());
    EXPECT_EQ(file->writes.load(), writes + 1) << "round " << round;
    EXPECT_EQ(file->syncs.load(), syncs + 1) << "round " << round;
    EXPECT_GE(log->stable_lsn(), log->highest_reserved_lsn());
    auto back = read_message(config, w->second.offset, 0);
    ASSERT_TRUE(back && back->is(LogRead::Kind::Inline)) << "round " << round;
    EXPECT_EQ(back->data, bytes(40, static_cast<uint8_t>(round)));
  }
  const size_t writes = file->writes, syncs = file->syncs;
  ASSERT_TRUE(log->flush());
  EXPECT_EQ(file->writes.load(), writes);
  EXPECT_EQ(file->syncs.load(), syncs);
}

}  // namespace
}  // namespace kelm::pagecache
