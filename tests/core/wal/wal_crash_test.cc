// A child process appends commits to the log and reports each acknowledged
// one; the parent kills it with SIGKILL at a random moment and reopens the
// log. Every acknowledged commit must be there, whole, and the open must
// succeed (a kill can leave only a torn tail, never damage in the middle).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "wal/wal.h"
#include "wal_test_util.h"

namespace zudizid::wal {
namespace {

std::vector<WalRecord> commit_batch(std::uint64_t tx) {
  Node n{common::Uuid::new_v4(), "Crash", {{"tx", PropertyValue::integer(static_cast<std::int64_t>(tx))},
                                           {"pad", PropertyValue::string(std::string(300 + tx % 700, 'x'))}},
         NodeKind::Individual};
  return {WalRecord(Begin{tx, tx}), WalRecord(InsertNode{tx, n}), WalRecord(Commit{tx, tx + 1})};
}

[[noreturn]] void child(const std::filesystem::path& path, int report_fd) {
  auto wal = Wal::open(path);
  if (!wal) _exit(2);
  for (std::uint64_t tx = 1;; ++tx) {
    if (!(*wal)->append_batch(commit_batch(tx))) _exit(3);
    if (::write(report_fd, &tx, sizeof tx) != sizeof tx) _exit(4);
  }
}

TEST(WalCrash, AcknowledgedCommitsSurviveSigkill) {
  std::mt19937 rng(std::random_device{}());
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    testing::TempDir dir;
    auto path = dir.path() / "zovov.wal";
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(fds[0]);
      child(path, fds[1]);
    }
    ::close(fds[1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 150));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "child ended early with status " << status;
    std::uint64_t acked = 0, tx = 0;
    while (::read(fds[0], &tx, sizeof tx) == sizeof tx) acked = tx;
    ::close(fds[0]);

    auto wal = Wal::open(path);
    ASSERT_TRUE(wal) << wal.error().display();
    auto records = (*wal)->read_all();
    ASSERT_TRUE(records);
    ASSERT_GE(records->size(), 3 * acked);
    for (std::uint64_t t = 1; t <= acked; ++t) {
      const auto* commit = (*records)[3 * t - 1].get_if<Commit>();
      ASSERT_NE(commit, nullptr) << "tx " << t;
      EXPECT_EQ(commit->tx_id, t);
    }
    EXPECT_EQ((*wal)->position(), std::filesystem::file_size(path));
  }
}

}  // namespace
}  // namespace zudizid::wal
