// The engine on the persistent log: pages read back from the log after
// being paged out, reopening, and temporary databases.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "kv/config/config.h"
#include "kv/db.h"
#include "kv/pagecache/snapshot.h"

namespace kelm {
namespace {

namespace fs = std::filesystem;

std::string value_of(int i) { return std::string(static_cast<size_t>(i % 7 == 0 ? 700 : 40), 'v') + std::to_string(i); }

TEST(LogEngine, PagedOutPagesAndReopenReadFromTheLog) {
  const fs::path dir = fs::temp_directory_path() / ("kelm-log-engine-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  config::Config c;
  c.path(dir).segment_size(4096).flush_every_ms(std::nullopt).cache_capacity(4096);
  {
    auto db = c.open();
    ASSERT_TRUE(db) << db.error().display();
    for (int i = 0; i < 600; ++i) ASSERT_TRUE(db->insert("key" + std::to_string(i), value_of(i))) << i;
    ASSERT_TRUE(db->flush());
    for (int i = 0; i < 600; ++i) {  // a tiny cache: most pages come back from the log
      auto v = db->get("key" + std::to_string(i));
      ASSERT_TRUE(v && *v) << i;
      ASSERT_EQ((**v).view(), value_of(i));
    }
  }
  EXPECT_TRUE(fs::exists(dir / "db"));
  for (int round = 0; round < 2; ++round) {
    auto db = c.open();
    ASSERT_TRUE(db) << db.error().display();
    size_t n = 0;
    auto it = db->iter();
    while (auto kv = it.next()) {
      ASSERT_TRUE(*kv);
      ++n;
    }
    EXPECT_EQ(n, 600u);
  }
  fs::remove_all(dir);
}

TEST(LogEngine, TemporaryDatabaseWorksAndGoesAway) {
  fs::path path;
  {
    config::Config c;  // the directory goes with the last holder of the configuration
    c.temporary(true).flush_every_ms(5);
    auto db = c.open();
    ASSERT_TRUE(db) << db.error().display();
    path = db->context().config.get_path();
    ASSERT_TRUE(fs::exists(path / "db"));
    for (int i = 0; i < 300; ++i) ASSERT_TRUE(db->insert("k" + std::to_string(i), value_of(i)));
    ASSERT_TRUE(db->flush());
    auto v = db->get("k7");
    ASSERT_TRUE(v && *v);
    EXPECT_EQ((**v).view(), value_of(7));
  }
  EXPECT_FALSE(fs::exists(path));
}

}  // namespace
}  // namespace kelm
