// The file layer of the log: append, failed appends, reopen. Payloads are
// opaque here; a stand-in decoder accepts any "{...}" text.
#include "wal/wal_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "wal/frame.h"
#include "wal_test_util.h"

namespace zudizid::wal {
namespace {

using testing::read_file;
using testing::TempDir;

struct Collect {
  std::vector<std::string> payloads;
  FrameDecoder decoder() {
    return [this](std::string_view p, bool keep) -> std::expected<void, std::string> {
      if (p.size() < 2 || p.front() != '{' || p.back() != '}') return std::unexpected(std::string("not an object"));
      if (keep) payloads.emplace_back(p);
      return {};
    };
  }
};

std::string frames(const std::vector<std::string>& payloads) {
  std::string out;
  for (const auto& p : payloads) append_frame(out, p);
  return out;
}

std::unique_ptr<WalFile> open_ok(const std::filesystem::path& p, Collect& c) {
  auto f = WalFile::open(p, c.decoder());
  EXPECT_TRUE(f.has_value());
  return f ? std::move(*f) : nullptr;
}

TEST(WalFile, AppendReturnsBatchStartAndAdvancesPosition) {
  TempDir dir;
  Collect c;
  auto f = open_ok(dir.path() / "zovov.wal", c);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->append("", 0), 0u);  // empty: nothing written
  std::string a = frames({"{\"a\":1}", "{\"b\":2}", "{\"c\":3}"});
  EXPECT_EQ(f->append(a, 3), 0u);
  std::string b = frames({"{\"d\":4}"});
  EXPECT_EQ(f->append(b, 1), a.size());
  EXPECT_EQ(f->position(), a.size() + b.size());
  EXPECT_EQ(f->append("", 0), a.size() + b.size());
  EXPECT_EQ(read_file(dir.path() / "zovov.wal"), a + b);

  auto scanned = f->scan(c.decoder());
  ASSERT_TRUE(scanned);
  EXPECT_EQ(scanned->frames, 4u);
  EXPECT_EQ(c.payloads.back(), "{\"d\":4}");
}

TEST(WalFile, FailedPartialAppendIsCutBackSoLaterAppendsSurviveReopen) {
  TempDir dir;
  auto path = dir.path() / "zovov.wal";
  Collect c;
  auto f = open_ok(path, c);
  ASSERT_TRUE(f);
  std::string first = frames({"{\"first\":1}"});
  ASSERT_TRUE(f->append(first, 1));

  // Let the next batch write only a few bytes before the file-size limit
  // stops it: a partial write followed by an error.
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = first.size() + 5;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
  std::string failed = frames({"{\"failed\":\"xxxxxxxxxxxxxxxxxxxxxxxx\"}"});
  auto r = f->append(failed, 1);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().os_code(), EFBIG);
  EXPECT_EQ(f->position(), first.size());
  EXPECT_EQ(std::filesystem::file_size(path), first.size());

  std::string later = frames({"{\"later\":2}"});
  auto at = f->append(later, 1);
  ASSERT_TRUE(at);
  EXPECT_EQ(*at, first.size());
  f.reset();

  log::ScopedCapture capture(log::Level::Warn);
  Collect reopened;
  auto g = open_ok(path, reopened);
  ASSERT_TRUE(g);
  EXPECT_EQ(reopened.payloads, (std::vector<std::string>{"{\"first\":1}", "{\"later\":2}"}));
  EXPECT_TRUE(capture.records().empty()) << capture.records().front().message;
}

TEST(WalFile, ConcurrentAppendsNeverInterleaveFrames) {
  TempDir dir;
  auto path = dir.path() / "zovov.wal";
  Collect c;
  auto f = open_ok(path, c);
  ASSERT_TRUE(f);
  constexpr int kThreads = 4, kBatches = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kBatches; ++i) {
        std::string p = "{\"t\":" + std::to_string(t) + ",\"i\":" + std::to_string(i) + "}";
        ASSERT_TRUE(f->append(frames({p, p}), 2));
      }
    });
  }
  for (auto& t : threads) t.join();
  f.reset();
  Collect all;
  auto g = open_ok(path, all);
  ASSERT_EQ(all.payloads.size(), 2u * kThreads * kBatches);
  for (std::size_t i = 0; i < all.payloads.size(); i += 2) EXPECT_EQ(all.payloads[i], all.payloads[i + 1]);
}

}  // namespace
}  // namespace zudizid::wal
