#include "common/durable_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace zudizid::common {
namespace {

namespace fs = std::filesystem;
using zudizid::testing::read_file;
using zudizid::testing::TempDir;

std::span<const std::uint8_t> bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

// Both temporary namings replace the target whole, leave no temporary behind
// and honour the requested permission bits.
TEST(DurableFile, ReplacesTargetAndLeavesOnlyIt) {
  struct Case {
    DurableWriteOptions::TempName temp_name;
    std::string suffix;
    mode_t mode;
  };
  const Case cases[] = {
      {DurableWriteOptions::TempName::Suffix, ".tmp", 0644},
      {DurableWriteOptions::TempName::Suffix, ".generating", 0644},
      {DurableWriteOptions::TempName::Unique, "", 0600},
  };
  for (const auto& c : cases) {
    TempDir dir;
    fs::path target = dir.path() / "conf";
    DurableWriteOptions options;
    options.temp_name = c.temp_name;
    options.temp_suffix = c.suffix;
    options.mode = c.mode;
    // A leftover temporary from a crash is truncated, not appended to.
    if (!c.suffix.empty()) zudizid::testing::write_file(dir.path() / ("conf" + c.suffix), "stale stale stale");
    ASSERT_TRUE(write_file_durably(target, bytes("first, longer content"), options)) << c.suffix;
    ASSERT_TRUE(write_file_durably(target, bytes("second"), options)) << c.suffix;
    EXPECT_EQ(read_file(target), "second");
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"conf"}) << c.suffix;
    struct stat st;
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077 & ~c.mode, 0u) << "no more permissive than asked";
  }
}

TEST(DurableFile, EmptyContentIsWritten) {
  TempDir dir;
  ASSERT_TRUE(write_file_durably(dir.path() / "f", bytes("x")));
  ASSERT_TRUE(write_file_durably(dir.path() / "f", {}));
  EXPECT_EQ(fs::file_size(dir.path() / "f"), 0u);
}

// Each failing step is named, carries the OS error and leaves the directory
// as it was (apart from the target when only the directory sync failed).
TEST(DurableFile, FailuresNameTheStepAndCleanUp) {
  TempDir dir;
  auto missing = write_file_durably(dir.path() / "no" / "such" / "f", bytes("x"));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().step, DurableWriteStep::CreateTemp);
  EXPECT_EQ(missing.error().error.kind(), IoErrorKind::NotFound);
  EXPECT_EQ(missing.error().temp, dir.path() / "no" / "such" / "f.tmp");

  // Renaming a file over a non-empty directory fails; the temporary goes.
  fs::create_directories(dir.path() / "d" / "inner");
  auto over_dir = write_file_durably(dir.path() / "d", bytes("x"));
  ASSERT_FALSE(over_dir);
  EXPECT_EQ(over_dir.error().step, DurableWriteStep::Rename);
  EXPECT_EQ(over_dir.error().error.kind(), IoErrorKind::IsADirectory);
  EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"d"});
}

TEST(DurableFile, SyncDirectory) {
  TempDir dir;
  EXPECT_TRUE(sync_directory(dir.path()));
  EXPECT_TRUE(sync_directory(""));  // the working directory
  auto gone = sync_directory(dir.path() / "missing");
  ASSERT_FALSE(gone);
  EXPECT_EQ(gone.error().display(), "No such file or directory (os error 2)");
  zudizid::testing::write_file(dir.path() / "file", "x");
  ASSERT_FALSE(sync_directory(dir.path() / "file"));
}

}  // namespace
}  // namespace zudizid::common
