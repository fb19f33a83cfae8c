// The dedicated compressor thread: errors surface at the next send or at
// finish, and a writer dropped early joins its thread instead of leaving it
// writing through a file that may be gone.
#include <gtest/gtest.h>

#include <atomic>

#include "store_fixture.h"

namespace fendral::store {
namespace {

// Accepts `budget` bytes, then fails every write; counts writes that arrive
// after the writer was released.
class FailingWriter final : public TerminatingWrite {
 public:
  FailingWriter(size_t budget, std::shared_ptr<std::atomic<int>> live) : budget_(budget), live_(std::move(live)) {
    ++*live_;
  }
  ~FailingWriter() override { --*live_; }
  IoResult<size_t> write(std::span<const uint8_t> bytes) override {
    if (written_ + bytes.size() > budget_) return io_fail(IoErrorKind::StorageFull, "disk full");
    written_ += bytes.size();
    return bytes.size();
  }
  IoResult<void> flush() override { return {}; }
  IoResult<void> terminate_ref() override { return {}; }

 private:
  size_t budget_;
  size_t written_ = 0;
  std::shared_ptr<std::atomic<int>> live_;
};

std::vector<uint8_t> big_doc(uint32_t i) { return std::vector<uint8_t>(200, static_cast<uint8_t>(i)); }

TEST(DocStoreThread, WriteErrorSurfacesAndTheThreadIsJoined) {
  auto live = std::make_shared<std::atomic<int>>(0);
  auto w = StoreWriter::create(std::make_unique<FailingWriter>(1000, live),
                               testing::store_settings(index::Compressor::None, true, 100));
  ASSERT_TRUE(w);
  Result<void> r;
  for (uint32_t i = 0; i < 200 && r; ++i) r = (*w)->store_bytes(big_doc(i));
  if (r) r = (*w)->finish();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), FendralError::Kind::IoError);
  EXPECT_EQ(std::get<IoError>(r.error().payload()).display(), "disk full");
  w->reset();
  EXPECT_EQ(live->load(), 0);  // the thread and its file writer are gone
}

// Records whether the file was terminated and whether it is still held.
class TrackingWriter final : public TerminatingWrite {
 public:
  TrackingWriter(std::shared_ptr<std::atomic<int>> live, std::shared_ptr<std::atomic<bool>> terminated)
      : live_(std::move(live)), terminated_(std::move(terminated)) {
    ++*live_;
  }
  ~TrackingWriter() override { --*live_; }
  IoResult<size_t> write(std::span<const uint8_t> bytes) override { return bytes.size(); }
  IoResult<void> flush() override { return {}; }
  IoResult<void> terminate_ref() override {
    *terminated_ = true;
    return {};
  }

 private:
  std::shared_ptr<std::atomic<int>> live_;
  std::shared_ptr<std::atomic<bool>> terminated_;
};

TEST(DocStoreThread, DroppedWriterJoinsItsThreadWithoutFinishing) {
  for (int round = 0; round < 20; ++round) {
    auto live = std::make_shared<std::atomic<int>>(0);
    auto terminated = std::make_shared<std::atomic<bool>>(false);
    {
      auto w = StoreWriter::create(std::make_unique<TrackingWriter>(live, terminated),
                                   testing::store_settings(index::Compressor::Lz4, true, 100));
      ASSERT_TRUE(w);
      for (uint32_t i = 0; i < 50; ++i) ASSERT_TRUE((*w)->store_bytes(big_doc(i)));
    }
    EXPECT_EQ(live->load(), 0);  // the thread ended and released the file
    EXPECT_FALSE(terminated->load());
  }
}

}  // namespace
}  // namespace fendral::store
