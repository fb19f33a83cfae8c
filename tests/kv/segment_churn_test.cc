// Overwriting a small key set again and again on tiny segments: the log file
// stays bounded (segments are cleaned, freed and reused) and blob files of
// replaced page versions are removed.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>

#include "kv/config/config.h"
#include "kv/db.h"

namespace kelm {
namespace {

namespace fs = std::filesystem;

size_t count_files(const fs::path& dir) {
  size_t n = 0;
  for (const auto& e : fs::directory_iterator(dir)) n += e.is_regular_file();
  return n;
}

TEST(SegmentChurn, LogAndBlobsStayBounded) {
  const fs::path dir = fs::temp_directory_path() / ("kelm-churn-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  config::Config c;
  c.path(dir).segment_size(1024).flush_every_ms(2);
  size_t peak_db = 0, peak_blobs = 0;
  {
    auto db = c.open();
    ASSERT_TRUE(db) << db.error().display();
    for (int i = 0; i < 4000; ++i) {
      const std::string key = "key" + std::to_string(i % 8);
      // Alternate small values and values that push their leaf into a blob.
      std::string value(i % 3 == 0 ? 260 : 20, static_cast<char>('a' + i % 26));
      ASSERT_TRUE(db->insert(key, value)) << i;
      if (i % 40 == 0) {
        ASSERT_TRUE(db->flush());
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        peak_db = std::max<size_t>(peak_db, fs::file_size(dir / "db"));
        peak_blobs = std::max(peak_blobs, count_files(dir / "blobs"));
      }
    }
    ASSERT_TRUE(db->flush());
    for (int i = 0; i < 8; ++i) {
      auto v = db->get("key" + std::to_string(i));
      ASSERT_TRUE(v && *v) << i;
    }
  }
  // About 1.5 MiB of messages went through the log.
  EXPECT_LT(peak_db, 300u * 1024) << "segments are not reused";
  EXPECT_LT(peak_blobs, 200u) << "replaced blobs are not removed";
  auto db = c.open();
  ASSERT_TRUE(db) << db.error().display();
  for (int i = 0; i < 8; ++i) {
    auto v = db->get("key" + std::to_string(i));
    ASSERT_TRUE(v && *v) << i;
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kelm
