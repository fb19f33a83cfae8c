// The engine on the persistent log under concurrent writers, flushes, the
// periodic flusher and segment cleaning on tiny segments; everything written
// is there after reopening.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "kv/config/config.h"
#include "kv/db.h"

namespace kelm {
namespace {

namespace fs = std::filesystem;

TEST(LogEngineStress, ConcurrentWritersThenReopen) {
  const fs::path dir = fs::temp_directory_path() / ("kelm-engine-stress-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  config::Config c;
  c.path(dir).segment_size(2048).flush_every_ms(1).cache_capacity(32 * 1024);
  constexpr int kThreads = 6, kOps = 600;
  std::vector<std::map<std::string, std::string>> last(kThreads);
  {
    auto db = c.open();
    ASSERT_TRUE(db) << db.error().display();
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        std::mt19937 rng(t);
        for (int i = 0; i < kOps; ++i) {
          std::string key = "t" + std::to_string(t) + "-" + std::to_string(rng() % 30);
          std::string value(rng() % 4 == 0 ? 600 : 16, static_cast<char>('a' + i % 26));
          value += std::to_string(i);
          if (!db->insert(key, value)) ++failures;
          last[t][key] = value;
          if (rng() % 60 == 0 && !db->flush()) ++failures;
        }
      });
    }
    for (auto& th : threads) th.join();
    ASSERT_EQ(failures.load(), 0);
    ASSERT_TRUE(db->flush());
  }
  auto db = c.open();
  ASSERT_TRUE(db) << db.error().display();
  for (const auto& m : last)
    for (const auto& [k, v] : m) {
      auto got = db->get(k);
      ASSERT_TRUE(got && *got) << k;
      EXPECT_EQ((**got).view(), v) << k;
    }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kelm
