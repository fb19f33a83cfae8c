// The log at record level: frames of every record variant byte-equal to the
// ones Python's struct and json produce, and the scan of hand-made damaged
// files (torn tails are cut at open, damage in the middle fails the open).
#include "wal/wal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <limits>

#include "common/log.h"
#include "wal_test_util.h"

namespace zudizid::wal {
namespace {

using testing::read_file;
using testing::TempDir;

// Runs the Python generator once per test program.
const std::filesystem::path& cases_dir() {
  static TempDir dir;
  static bool made = [] {
    std::string cmd = std::string(PYTHON3_EXECUTABLE) + " " + WAL_CASES_SCRIPT + " " + dir.path().string();
    return std::system(cmd.c_str()) == 0;
  }();
  EXPECT_TRUE(made);
  return dir.path();
}

common::Uuid uuid(int n) {
  common::Uuid::Bytes b{};
  b[0] = 0xa0;
  b[14] = static_cast<std::uint8_t>(n >> 8);
  b[15] = static_cast<std::uint8_t>(n);
  return common::Uuid(b);
}

std::vector<WalRecord> example_records() {
  Node ann{uuid(1), "Person", {{"name", PropertyValue::string("Ann\xc3\xa9")}}, NodeKind::Individual};
  Node older{uuid(1), "Person", {{"age", PropertyValue::integer(41)}}, NodeKind::Class};
  Edge knows{uuid(1001), uuid(1), uuid(2), "KNOWS", {{"since", PropertyValue::float64(1.5)}}};
  return {
      WalRecord(Begin{7, 41}),
      WalRecord(InsertNode{7, ann}),
      WalRecord(UpdateNode{7, uuid(1), ann, older}),
      WalRecord(DeleteNode{7, uuid(1), ann}),
      WalRecord(InsertEdge{7, knows}),
      WalRecord(DeleteEdge{7, uuid(1001), knows}),
      WalRecord(Commit{7, std::numeric_limits<std::uint64_t>::max()}),
      WalRecord(Abort{7}),
      WalRecord(Checkpoint{9, {3, 4}}),
  };
}

TEST(Wal, FramesOfEveryVariantMatchPython) {
  TempDir dir;
  auto wal = Wal::open(dir.path() / "zovov.wal");
  ASSERT_TRUE(wal);
  auto records = example_records();
  auto at = (*wal)->append_batch(records);
  ASSERT_TRUE(at);
  EXPECT_EQ(*at, 0u);
  std::string expected = read_file(cases_dir() / "examples.wal");
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(read_file(dir.path() / "zovov.wal"), expected);
  EXPECT_EQ((*wal)->position(), expected.size());

  auto back = (*wal)->read_all();
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, records);
}

TEST(Wal, OpenScanTable) {
  const std::uint64_t f0 = 44, f1 = 45;  // frame sizes of Begin and Commit (sizes.txt)
  struct Case {
    const char* file;
    std::size_t records;
    std::uint64_t valid_end;
    std::string warning;  // of the scan; empty: none
  };
  const Case cases[] = {
      {"empty", 0, 0, ""},
      {"five_bytes", 0, 0, ""},
      {"two_then_length_past_end", 2, f0 + f1, "WAL record length (1000) exceeds file — torn tail, stopping scan"},
      {"length_all_ones", 1, f0, "WAL record length (18446744073709551615) exceeds file — torn tail, stopping scan"},
      {"zero_length_at_end", 1, f0, "WAL tail record undecodable"},
      {"trailing_space", 2, f0 + 4 + f1, ""},
      {"trailing_x_at_end", 1, f0, "WAL tail record undecodable"},
      {"torn_batch", 2, f0 + f1, "WAL record length (21) exceeds file — torn tail, stopping scan"},
      {"partial_length_word", 2, f0 + f1, ""},
      {"checkpoint", 1, 66, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    TempDir dir;
    auto path = dir.path() / "zovov.wal";
    std::filesystem::copy_file(cases_dir() / (std::string(c.file) + ".wal"), path);
    const std::uint64_t size = std::filesystem::file_size(path);

    log::ScopedCapture capture(log::Level::Warn);
    auto wal = Wal::open(path);
    ASSERT_TRUE(wal) << wal.error().display();
    EXPECT_EQ((*wal)->position(), c.valid_end);
    EXPECT_EQ(std::filesystem::file_size(path), c.valid_end);
    std::vector<std::string> warnings;
    for (const auto& r : capture.records()) warnings.push_back(r.message);
    std::vector<std::string> expected;
    if (!c.warning.empty()) expected.push_back(c.warning);
    if (c.valid_end < size)
      expected.push_back(fmt::format(
          "WAL has a torn tail ({} bytes past the last valid record) — truncating (crash during append)",
          size - c.valid_end));
    ASSERT_EQ(warnings.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(warnings[i].rfind(expected[i], 0), 0u) << warnings[i];

    auto all = (*wal)->read_all();
    ASSERT_TRUE(all);
    EXPECT_EQ(all->size(), c.records);
  }
}

TEST(Wal, DamageFollowedByWholeRecordsFailsTheOpen) {
  struct Case {
    const char* file;
    std::uint64_t bad_at;
    std::uint64_t next_at;
  };
  const std::uint64_t f0 = 44, f1 = 45;
  const Case cases[] = {
      {"garbage_frame_then_good", f0, f0 + 8 + 11},
      {"bad_length_then_good", f0, f0 + f1},
      {"zero_length_then_good", f0, f0 + 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    TempDir dir;
    auto path = dir.path() / "zovov.wal";
    std::filesystem::copy_file(cases_dir() / (std::string(c.file) + ".wal"), path);
    const std::string before = read_file(path);
    auto wal = Wal::open(path);
    ASSERT_FALSE(wal);
    EXPECT_EQ(wal.error().kind(), DbError::Kind::Io);
    const std::string text = wal.error().display();
    EXPECT_NE(text.find(fmt::format("corrupted at offset {} ", c.bad_at)), std::string::npos) << text;
    EXPECT_NE(text.find(fmt::format("whole records follow at offset {}", c.next_at)), std::string::npos) << text;
    EXPECT_EQ(read_file(path), before) << "a refused open must not cut the file";
  }
}

TEST(Wal, SerialisationFailureWritesNothing) {
  TempDir dir;
  auto wal = Wal::open(dir.path() / "zovov.wal");
  ASSERT_TRUE(wal);
  Node bad{uuid(1), "X", {{"v", PropertyValue::float64(std::numeric_limits<double>::quiet_NaN())}},
           NodeKind::Individual};
  std::vector<WalRecord> records{WalRecord(Begin{1, 1}), WalRecord(InsertNode{1, bad})};
  auto r = (*wal)->append_batch(records);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), DbError::Kind::Serialization);
  EXPECT_EQ((*wal)->position(), 0u);
  EXPECT_EQ(std::filesystem::file_size(dir.path() / "zovov.wal"), 0u);
}

TEST(Wal, InMemoryLogLivesInTheTemporaryDirectory) {
  auto a = in_memory_wal_path();
  auto b = in_memory_wal_path();
  EXPECT_NE(a, b);
  EXPECT_EQ(a.parent_path(), std::filesystem::temp_directory_path());
  const std::string name = a.filename().string();
  ASSERT_EQ(name.size(), 7 + 36 + 4);
  EXPECT_EQ(name.substr(0, 7), "zovov--");
  EXPECT_TRUE(common::Uuid::parse(name.substr(7, 36)).has_value());
  EXPECT_EQ(name.substr(43), ".wal");
}

}  // namespace
}  // namespace zudizid::wal
