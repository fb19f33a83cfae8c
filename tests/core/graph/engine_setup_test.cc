// Profiles and their engine settings, the first-run banner, the in-memory
// log file's place and its removal.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "graph/banner.h"
#include "graph/in_memory_wal.h"
#include "graph/profile.h"
#include "wal/wal.h"

namespace zudizid::graph {
namespace {

namespace fs = std::filesystem;

struct ProfileCase {
  const char* name;
  Profile profile;
  std::uint64_t flush_ms;
  std::optional<std::uint64_t> cache;
};

TEST(EngineProfiles, SettingsAndEngineOpenPerProfile) {
  const ProfileCase cases[] = {
      {"default", Profile::Default, 1000, std::nullopt},
      {"mobile", Profile::Mobile, 3000, 16777216},
      {"server", Profile::Server, 500, 268435456},
  };
  const std::uint64_t engine_default_cache = kelm::config::Config()->cache_capacity;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(parse_profile(c.name), c.profile);
    EXPECT_EQ(profile_name(c.profile), c.name);
    for (bool temporary : {false, true}) {
      fs::path dir = fs::path(::testing::TempDir()) / ("engine_profile_" + std::string(c.name));
      fs::remove_all(dir);
      kelm::config::Config cfg = temporary ? temporary_config(c.profile) : directory_config(dir, c.profile);
      EXPECT_EQ(cfg->flush_every_ms, c.flush_ms);
      EXPECT_EQ(cfg->cache_capacity, c.cache.value_or(engine_default_cache));
      EXPECT_FALSE(cfg->use_compression);
      EXPECT_EQ(cfg->temporary, temporary);
      if (!temporary) {
        EXPECT_EQ(cfg->path, dir);
      }
      // Every profile, server included, must actually open.
      auto db = cfg.open();
      ASSERT_TRUE(db.has_value()) << db.error().display();
      fs::remove_all(dir);
    }
  }
  for (const char* bad : {"", "Default", "SERVER", "fast"}) EXPECT_FALSE(parse_profile(bad)) << bad;
}

// Runs the banner printer with ZUDIZID_FIRST_RUN set to `value` (nullptr:
// unset) and returns what it wrote.
std::string banner_output(const char* value) {
  if (value) setenv("ZUDIZID_FIRST_RUN", value, 1);
  else unsetenv("ZUDIZID_FIRST_RUN");
  std::FILE* f = std::tmpfile();
  maybe_print_first_run_banner(f);
  std::rewind(f);
  std::string out;
  char buf[512];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
  std::fclose(f);
  unsetenv("ZUDIZID_FIRST_RUN");
  return out;
}

TEST(EngineBanner, PrintedOnlyForAValidUnicodeValue) {
  const std::string expected =
      "\n\n    Welcome to ZudizID! 🌵\n\n"
      "         |\\__/,|   (`\\\n"
      "       _.|o o  |_   ) )\n"
      "    -(((---(((--------\n\n"
      "    Your graph database with:\n"
      "    ✓ ACID Transactions\n"
      "    ✓ MVCC Time-Travel\n"
      "    ✓ Deadlock Detection\n"
      "    ✓ WAL Durability\n\n\n"
      "            \n";
  EXPECT_EQ(banner_output(""), expected);
  EXPECT_EQ(banner_output("1"), expected);
  EXPECT_EQ(banner_output(nullptr), "");
  EXPECT_EQ(banner_output("\xff\xfe"), "");
}

TEST(EngineBanner, StdoutCapture) {
  setenv("ZUDIZID_FIRST_RUN", "yes", 1);
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(maybe_print_first_run_banner());
  std::string out = ::testing::internal::GetCapturedStdout();
  unsetenv("ZUDIZID_FIRST_RUN");
  EXPECT_EQ(out, first_run_banner());
  EXPECT_NE(out.find("    ✓ WAL Durability\n"), std::string::npos);
}

TEST(EngineInMemoryWal, CreatedUnderTmpdirAndRemovedWithLastHolder) {
  fs::path tmp = fs::path(::testing::TempDir()) / "engine_tmpdir";
  fs::create_directories(tmp);
  const char* old = std::getenv("TMPDIR");
  std::string saved = old ? old : "";
  setenv("TMPDIR", tmp.c_str(), 1);
  fs::path a = wal::in_memory_wal_path();
  fs::path b = wal::in_memory_wal_path();
  if (old) setenv("TMPDIR", saved.c_str(), 1);
  else unsetenv("TMPDIR");

  EXPECT_EQ(a.parent_path(), tmp);
  EXPECT_NE(a, b);
  const std::string name = a.filename().string();
  EXPECT_TRUE(name.starts_with("zovov--") && name.ends_with(".wal") && name.size() == 7 + 36 + 4) << name;

  auto wal = wal::Wal::open(a);
  ASSERT_TRUE(wal.has_value());
  auto owner = std::make_shared<TemporaryWalFile>(a);
  auto second = owner;
  EXPECT_TRUE(fs::exists(a));
  owner.reset();
  EXPECT_TRUE(fs::exists(a)) << "removed while a holder remains";
  second.reset();
  EXPECT_FALSE(fs::exists(a));
  fs::remove_all(tmp);
}

}  // namespace
}  // namespace zudizid::graph
