// A child process runs ADD, UPDATE and DELETE statements on a database,
// reports each summary, and is killed with SIGKILL; after two reopens every
// reported change is there and the updated node keeps its old version.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "graph/close.h"
#include "graph/open.h"
#include "query/zql/executor/execute_statement.h"

namespace zudizid::query::zql::executor {
namespace {

const char* const kStatements[] = {
    "ADD (a:Person {name: 'Ann', age: 30})-[:KNOWS]->(b:Person {name: 'Bob', age: 40})",
    "ADD (c:Person {name: 'Cy', age: 50})",
    "UPDATE (n:Person {name: 'Ann'}) SET n.age = 31",
    "DELETE (n:Person {name: 'Cy'})",
};

// The child: a fresh process (this binary again), so no thread state of the
// parent is inherited. Reports one line per statement, then waits to be killed.
TEST(ZqlCrash, Child) {
  const char* dir = std::getenv("ZUDIZID_ZQL_CRASH_DIR");
  if (dir == nullptr) GTEST_SKIP() << "runs only as the crash test's child";
  auto g = graph::open_graph(dir, graph::Profile::Default);
  if (!g) ::_exit(2);
  for (const char* text : kStatements) {
    auto r = execute_statement(*g, text);
    if (!r) ::_exit(3);
    const std::string line = r->summary() + "\n";
    if (::write(3, line.data(), line.size()) != static_cast<ssize_t>(line.size())) ::_exit(4);
  }
  for (;;) ::pause();
}

std::filesystem::path temp_dir() {
  std::random_device rd;
  auto p = std::filesystem::temp_directory_path() /
           ("zudizid-zql-crash-" + std::to_string(::getpid()) + "-" + std::to_string(rd()));
  std::filesystem::create_directories(p);
  return p;
}

TEST(ZqlCrash, ReportedWritesSurviveSigkill) {
  const auto dir = temp_dir();
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  std::string env_dir = "ZUDIZID_ZQL_CRASH_DIR=" + (dir / "db").string();
  char arg0[] = "zql_executor_tests";
  char arg1[] = "--gtest_filter=ZqlCrash.Child";
  char* argv[] = {arg0, arg1, nullptr};
  char* envp[] = {env_dir.data(), nullptr};
  pid_t child = 0;
  ASSERT_EQ(::posix_spawn(&child, "/proc/self/exe", &actions, nullptr, argv, envp), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  std::string reported;
  char buf[512];
  int lines = 0;
  while (lines < 4) {
    ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    reported.append(buf, static_cast<size_t>(n));
    lines = static_cast<int>(std::count(reported.begin(), reported.end(), '\n'));
  }
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(fds[0]);
  ASSERT_EQ(lines, 4) << "child status " << status << ": " << reported;
  EXPECT_EQ(reported.substr(reported.rfind('\n', reported.size() - 2) + 1),
            "0 nodes created, 0 edges created, 1 nodes deleted, 0 edges deleted, 0 nodes updated, 0 edges updated\n");

  for (int reopen = 0; reopen < 2; ++reopen) {
    auto g = graph::open_graph(dir / "db", graph::Profile::Default);
    ASSERT_TRUE(g) << g.error().display();
    auto people = g->nodes_with_label("Person").collect();
    ASSERT_TRUE(people);
    ASSERT_EQ(people->size(), 2u) << "reopen " << reopen;
    EXPECT_EQ(*g->edge_count(), 1u);
    for (const Node& n : *people) {
      if (n.properties.at("name").as_string() != "Ann") continue;
      EXPECT_EQ(n.properties.at("age").as_int(), 31);
      auto current = g->storage()->get_current_version(n.id);
      ASSERT_TRUE(current);
      auto before = g->storage()->get_node_version(n.id, *current - 1);
      ASSERT_TRUE(before) << before.error().display();
      EXPECT_EQ(before->node_data.properties.at("age").as_int(), 30);
      EXPECT_TRUE(before->valid_to.has_value());
    }
    ASSERT_TRUE(graph::close_graph(*g));
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

}  // namespace
}  // namespace zudizid::query::zql::executor
