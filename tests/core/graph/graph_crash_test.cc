// A child process commits transactions and reports each acknowledged commit;
// after SIGKILL at a random moment, every acknowledged commit is in the
// write-ahead log and readable by its scanner.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <set>
#include <thread>

#include "graph_fixture.h"

namespace zudizid::graph::testing {
namespace {

[[noreturn]] void run_child(const std::filesystem::path& dir, int report_fd) {
  Graph g = make_graph(dir);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int k = 0;; ++k) {
        auto tx = transaction::Transaction::begin(host(g));
        const uint64_t tx_id = tx->tx_id();
        (void)tx->add_node(node(t * 10000 + k % 10000, {{"k", PropertyValue::integer(k)}}));
        if (transaction::Transaction::commit(std::move(tx))) {
          // One write per acknowledged commit; 8 bytes fit in a pipe atomically.
          if (::write(report_fd, &tx_id, sizeof tx_id) != sizeof tx_id) ::_exit(3);
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  ::_exit(0);
}

// The child: a fresh process (exec of this test binary), so that no thread
// state of the parent is inherited.
TEST(Crash, Child) {
  const char* dir = std::getenv("ZUDIZID_CRASH_DIR");
  if (dir == nullptr) GTEST_SKIP() << "runs only as the crash test's child";
  run_child(dir, 3);
}

TEST(Crash, AcknowledgedCommitsSurviveSigkill) {
  std::mt19937 rng(std::random_device{}());
  for (int round = 0; round < 3; ++round) {
    TempDir dir;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, fds[0]);  // first: it may be fd 3
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::string env_dir = "ZUDIZID_CRASH_DIR=" + dir.path().string();
    char arg0[] = "graph_tests";
    char arg1[] = "--gtest_filter=Crash.Child";
    char* argv[] = {arg0, arg1, nullptr};
    char* envp[] = {env_dir.data(), nullptr};
    pid_t child = 0;
    ASSERT_EQ(::posix_spawn(&child, "/proc/self/exe", &actions, nullptr, argv, envp), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    // Kill at a random moment once commits are flowing.
    std::set<uint64_t> acknowledged;
    uint64_t tx_id;
    if (::read(fds[0], &tx_id, sizeof tx_id) == sizeof tx_id) acknowledged.insert(tx_id);
    std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 300));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    while (::read(fds[0], &tx_id, sizeof tx_id) == sizeof tx_id) acknowledged.insert(tx_id);
    ::close(fds[0]);

    int fd = ::open((dir.path() / "zovov.wal").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    auto scan = wal::Wal::scan(fd);
    ::close(fd);
    ASSERT_TRUE(scan) << scan.error().display();
    std::set<uint64_t> committed;
    for (const auto& r : scan->records) {
      if (const auto* c = r.get_if<wal::Commit>()) committed.insert(c->tx_id);
    }
    for (uint64_t id : acknowledged) EXPECT_TRUE(committed.contains(id)) << "tx " << id << " acknowledged, not logged";
    EXPECT_GT(acknowledged.size(), 0u) << "child status " << status << ", log records " << scan->records.size();
    // The log reopens (a torn tail is cut) with every logged commit.
    auto reopened = wal::Wal::open(dir.path() / "zovov.wal");
    ASSERT_TRUE(reopened) << reopened.error().display();
    EXPECT_GE((*reopened)->read_all()->size(), scan->records.size());
  }
}

}  // namespace
}  // namespace zudizid::graph::testing
