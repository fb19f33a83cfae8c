// "metadata.bin" survives a process killed in the middle of saving it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "index/index_manager.h"
#include "index/metadata_file.h"
#include "tests/support/temp_dir.h"

namespace zudizid::index {
namespace {

TEST(MetadataCrash, KilledSaverLeavesAWholeList) {
  testing::TempDir dir;
  std::mt19937 rng(5);
  for (int round = 0; round < 25; ++round) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Saves ever longer lists, with long names so each write takes a while.
      IndexManager::MetadataMap map;
      for (int i = 0;; ++i) {
        std::string name = std::to_string(i) + std::string(4000, 'x');
        map[name] = IndexMetadata{name, "L", "p", IndexType::Hash, UtcTime{i, 0}, std::uint64_t(i)};
        if (!IndexManager::save_metadata(dir.path(), map)) _exit(3);
        if (i == 200) map.clear(), i = 0;
      }
    }
    usleep(1000 + rng() % 20000);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "saver failed on its own";

    auto bytes = read_whole_file(dir.path() / kMetadataFileName);
    ASSERT_TRUE(bytes.has_value());
    if (!*bytes) continue;  // killed before the first rename
    auto list = decode_metadata(**bytes);
    ASSERT_TRUE(list.has_value()) << "round " << round << ": " << list.error();
    for (const auto& m : *list) ASSERT_EQ(m.size, std::uint64_t(m.created_at.seconds));
  }
}

}  // namespace
}  // namespace zudizid::index
