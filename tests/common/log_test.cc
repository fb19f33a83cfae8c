#include "common/log.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <thread>

#include "common/thread_name.h"

namespace zudizid {
namespace {

TEST(Log, DiscardsWithoutSinkAndFormatsLazily) {
  int formatted = 0;
  auto expensive = [&] {
    ++formatted;
    return 1;
  };
  ZLOG(Error, "zudizid::test", "value {}", expensive());
  EXPECT_EQ(formatted, 0);
}

TEST(Log, CaptureRespectsLevel) {
  log::ScopedCapture capture(log::Level::Debug);
  ZLOG(Debug, "zudizid::wal", "kept {}", 1);
  ZLOG(Trace, "zudizid::wal", "dropped {}", 2);
  auto records = capture.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, log::Level::Debug);
  EXPECT_EQ(records[0].target, "zudizid::wal");
  EXPECT_EQ(records[0].message, "kept 1");
}

TEST(ThreadName, TruncatesToFifteenBytes) {
  std::string got;
  std::thread t([&] {
    common::set_current_thread_name("fendral::indexer::segment_updater");
    char buf[32] = {};
    pthread_getname_np(pthread_self(), buf, sizeof buf);
    got = buf;
  });
  t.join();
  EXPECT_EQ(got, "fendral::indexe");
}

}  // namespace
}  // namespace zudizid
