// Crash harness: a child process writes random point writes and batches on
// the persistent log and reports every op before it starts and every flush
// that returned; the parent kills it with SIGKILL at a random moment,
// reopens, and checks that the database equals the state after some prefix
// of the ops that includes every flushed one (so batches are whole or
// absent). The test binary re-executes itself as the child.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kv/config/config.h"
#include "kv/db.h"

extern char** environ;

namespace kelm {
namespace {

using Model = std::map<std::string, std::string>;

std::string value_for(int round, int op, const std::string& key, size_t len) {
  std::string v = std::to_string(round) + "-" + std::to_string(op) + "-" + key + "-";
  v.resize(std::max(v.size(), len), 'x');
  return v;
}

struct Write {
  std::string key;
  std::optional<size_t> len;  // none: remove
};
struct Op {
  int index;
  std::vector<Write> writes;
};

config::Config crash_config(const std::string& dir, std::optional<uint64_t> flush_ms) {
  config::Config c;
  c.path(dir).segment_size(4096).flush_every_ms(flush_ms).cache_capacity(64 * 1024);
  return c;
}

void apply(Model& m, int round, const Op& op) {
  for (const auto& w : op.writes) {
    if (w.len)
      m[w.key] = value_for(round, op.index, w.key, *w.len);
    else
      m.erase(w.key);
  }
}

// ---- the child ---------------------------------------------------------------

void say(int fd, const std::string& line) {
  std::string l = line + "\n";
  (void)!::write(fd, l.data(), l.size());
}

TEST(CrashChild, Writer) {
  const char* dir = std::getenv("KELM_CRASH_DIR");
  if (!dir) GTEST_SKIP() << "only run by the crash harness";
  const int fd = std::atoi(std::getenv("KELM_CRASH_FD"));
  const int round = std::atoi(std::getenv("KELM_CRASH_ROUND"));
  std::mt19937 rng(round * 7919 + 1);
  auto db = crash_config(dir, rng() % 2 ? std::optional<uint64_t>(5) : std::nullopt).open();
  if (!db) {
    say(fd, "E open " + db.error().display());
    std::_Exit(3);
  }
  say(fd, "R");
  for (int i = 1;; ++i) {
    Op op{i, {}};
    const bool batch = rng() % 4 == 0;
    const int n = batch ? 2 + rng() % 5 : 1;
    for (int w = 0; w < n; ++w) {
      std::string key = "k" + std::to_string(rng() % 40);
      if (rng() % 6 == 0)
        op.writes.push_back({key, std::nullopt});
      else
        op.writes.push_back({key, rng() % 8 == 0 ? 1500 + rng() % 800 : rng() % 120});  // some go to blobs
    }
    std::ostringstream line;
    line << "O " << i << " " << (batch ? "B" : "P");
    for (const auto& w : op.writes) line << " " << w.key << " " << (w.len ? static_cast<long>(*w.len) : -1L);
    say(fd, line.str());
    Result<void> r;
    if (batch) {
      Batch b;
      for (const auto& w : op.writes) {
        if (w.len)
          b.insert(w.key, value_for(round, i, w.key, *w.len));
        else
          b.remove(w.key);
      }
      r = db->apply_batch(std::move(b));
    } else if (op.writes[0].len) {
      auto x = db->insert(op.writes[0].key, value_for(round, i, op.writes[0].key, *op.writes[0].len));
      if (!x) r = std::unexpected(x.error());
    } else {
      auto x = db->remove(op.writes[0].key);
      if (!x) r = std::unexpected(x.error());
    }
    if (!r) {
      say(fd, "E op " + r.error().display());
      std::_Exit(4);
    }
    if (rng() % 5 == 0) {
      auto f = db->flush();
      if (!f) {
        say(fd, "E flush " + f.error().display());
        std::_Exit(5);
      }
      say(fd, "F " + std::to_string(i));
    }
  }
}

// ---- the parent --------------------------------------------------------------

struct ChildRun {
  std::vector<Op> ops;
  int flushed = 0;
  std::string error;
};

ChildRun run_and_kill(const std::string& dir, int round, int kill_after_ms) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  std::vector<std::string> env_store;
  for (char** e = environ; *e; ++e) env_store.emplace_back(*e);
  env_store.push_back("KELM_CRASH_DIR=" + dir);
  env_store.push_back("KELM_CRASH_FD=" + std::to_string(fds[1]));
  env_store.push_back("KELM_CRASH_ROUND=" + std::to_string(round));
  std::vector<char*> envp;
  for (auto& s : env_store) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string exe = "/proc/self/exe", filter = "--gtest_filter=CrashChild.Writer";
  char* argv[] = {exe.data(), filter.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  int rc = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  ChildRun out;
  if (rc != 0) {
    out.error = "spawn failed";
    ::close(fds[0]);
    return out;
  }
  // Wait for "R", then let it run for a while.
  FILE* in = fdopen(fds[0], "r");
  char buf[16384];
  bool ready = false;
  if (fgets(buf, sizeof buf, in) && buf[0] == 'R') ready = true;
  if (ready) std::this_thread::sleep_for(std::chrono::milliseconds(kill_after_ms));
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!ready) out.error = std::string("child did not start: ") + buf;
  while (fgets(buf, sizeof buf, in)) {
    std::istringstream line(buf);
    char tag;
    line >> tag;
    if (tag == 'O') {
      Op op;
      std::string kind;
      line >> op.index >> kind;
      std::string key;
      long len;
      while (line >> key >> len) op.writes.push_back({key, len < 0 ? std::nullopt : std::optional<size_t>(len)});
      if (!line.eof() && op.writes.empty()) break;  // a line cut by the kill
      out.ops.push_back(std::move(op));
    } else if (tag == 'F') {
      line >> out.flushed;
    } else if (tag == 'E') {
      out.error = buf;
    }
  }
  fclose(in);
  return out;
}

Model read_all(const Db& db) {
  Model m;
  auto it = db.iter();
  while (auto kv = it.next()) {
    EXPECT_TRUE(*kv) << kv->error().display();
    if (!*kv) break;
    m[std::string((*kv)->first.view())] = std::string((*kv)->second.view());
  }
  return m;
}

TEST(CrashRecovery, EveryFlushedWriteSurvivesAndBatchesAreWhole) {
  const std::string dir =
      (std::filesystem::temp_directory_path() / ("kelm-crash-" + std::to_string(::getpid()))).string();
  std::filesystem::remove_all(dir);
  const int rounds = std::getenv("KELM_CRASH_ROUNDS") ? std::atoi(std::getenv("KELM_CRASH_ROUNDS")) : 120;
  std::mt19937 rng(12345);
  Model base;
  int total_ops = 0, total_flushed = 0;
  for (int round = 1; round <= rounds; ++round) {
    ChildRun run = run_and_kill(dir, round, 1 + rng() % 40);
    ASSERT_TRUE(run.error.empty()) << "round " << round << ": " << run.error;
    auto db = crash_config(dir, std::nullopt).open();
    ASSERT_TRUE(db) << "round " << round << ": " << db.error().display();
    const Model got = read_all(*db);

    Model state = base;
    std::optional<int> match;
    if (run.flushed == 0 && state == got) match = 0;
    for (const auto& op : run.ops) {
      apply(state, round, op);
      if (op.index >= run.flushed && state == got) match = op.index;
    }
    ASSERT_TRUE(match) << "round " << round << ": recovered state is no prefix of the ops that includes every "
                       << "flushed one (" << run.ops.size() << " ops, flushed through " << run.flushed << ")";
    total_ops += static_cast<int>(run.ops.size());
    total_flushed += run.flushed;
    base = got;
  }
  std::filesystem::remove_all(dir);
  RecordProperty("ops", total_ops);
  EXPECT_GT(total_flushed, 0);
}

}  // namespace
}  // namespace kelm
