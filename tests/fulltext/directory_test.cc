// Directories, watch callbacks and lock files. Labelled "stress": these tests
// start threads and processes and also run under ThreadSanitizer.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "common/log.h"
#include "common/json.h"
#include "fulltext/directory/managed_directory.h"
#include "fulltext/directory/mmap_directory.h"
#include "fulltext/directory/ram_directory.h"
#include "tests/support/bytes.h"
#include "tests/support/temp_dir.h"

namespace fendral {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using zudizid::testing::bytes_of;
using zudizid::testing::TempDir;

std::string read_all(const Directory& dir, const std::string& path) {
  auto slice = dir.open_read(path);
  EXPECT_TRUE(slice.has_value());
  auto bytes = slice->read_all().value();
  return std::string(bytes.as_bytes().begin(), bytes.as_bytes().end());
}

// ---- watch callbacks --------------------------------------------------------

TEST(WatchCallbackList, BroadcastRunsLiveCallbacksInOrder) {
  WatchCallbackList list;
  EXPECT_TRUE(list.broadcast().wait().has_value());  // nothing registered: completes at once

  std::mutex mu;
  std::vector<char> calls;
  auto record = [&](char c) {
    return [&, c] {
      std::lock_guard lock(mu);
      calls.push_back(c);
    };
  };
  auto a = std::make_unique<WatchHandle>(list.subscribe(record('A')));
  WatchHandle b = list.subscribe(record('B'));
  WatchHandle c = list.subscribe(record('C'));
  ASSERT_TRUE(list.broadcast().wait().has_value());
  EXPECT_EQ(calls, (std::vector<char>{'A', 'B', 'C'}));

  a.reset();  // A is dead: the next broadcast skips it and moves C into its place
  calls.clear();
  ASSERT_TRUE(list.broadcast().wait().has_value());
  EXPECT_EQ(calls, (std::vector<char>{'C', 'B'}));
  EXPECT_EQ(list.entries_for_test(), 2u);
}

TEST(WatchCallbackList, ThrowingCallbackFailsTheBroadcast) {
  WatchCallbackList list;
  std::atomic<bool> c_called{false};
  WatchHandle a = list.subscribe([] {});
  WatchHandle b = list.subscribe([] { throw std::runtime_error("boom"); });
  WatchHandle c = list.subscribe([&] { c_called = true; });
  auto r = list.broadcast().wait();
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().display(), "System error.'One of the callback panicked.'");
  EXPECT_FALSE(c_called);
  EXPECT_EQ(list.entries_for_test(), 3u);
  auto known = FutureResult<int>::from_error(FendralError::invalid_argument("x"));
  EXPECT_EQ(known.wait().error().kind(), FendralError::Kind::InvalidArgument);
}

// ---- RAM directory ----------------------------------------------------------

TEST(RamDirectory, WritesBecomeVisibleAtFlush) {
  RamDirectory dir;
  auto w = dir.open_write("a.bin");
  ASSERT_TRUE(w.has_value());
  EXPECT_EQ(read_all(dir, "a.bin"), "");  // exists, empty, before any flush
  ASSERT_TRUE((*w)->write_all(bytes_of("0123456789")).has_value());
  ASSERT_TRUE((*w)->flush().has_value());
  FileSlice first = dir.open_read("a.bin").value();
  ASSERT_TRUE((*w)->write_all(bytes_of("abcde")).has_value());
  ASSERT_TRUE((*w)->terminate_ref().has_value());
  EXPECT_EQ(read_all(dir, "a.bin"), "0123456789abcde");
  EXPECT_EQ(first.len(), 10u);  // an earlier slice keeps its content

  auto again = dir.open_write("a.bin");
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error().kind, OpenWriteError::Kind::FileAlreadyExists);
  EXPECT_EQ(read_all(dir, "a.bin"), "0123456789abcde");

  EXPECT_FALSE(dir.exists("missing").value());
  EXPECT_EQ(dir.delete_file("missing").error().kind, DeleteError::Kind::FileDoesNotExist);
  EXPECT_EQ(dir.open_read("missing").error().kind, OpenReadError::Kind::FileDoesNotExist);
  EXPECT_TRUE(dir.sync_directory().has_value());
  EXPECT_TRUE(dir.box_clone()->exists("a.bin").value());  // clones share the files
}

TEST(RamDirectory, DroppedUnflushedWriterWarns) {
  zudizid::log::ScopedCapture capture(zudizid::log::Level::Warn);
  RamDirectory dir;
  {
    auto w = dir.open_write("lost.bin").value();
    ASSERT_TRUE(w->write_all(bytes_of("xyz")).has_value());
  }
  EXPECT_EQ(read_all(dir, "lost.bin"), "");
  auto records = capture.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].target, "fendral::directory::ram_directory");
  EXPECT_EQ(records[0].message.rfind("You forgot to flush \"lost.bin\" before its writer got Drop.", 0), 0u);
}

TEST(RamDirectory, MetaJsonWriteRunsCallbacks) {
  RamDirectory dir;
  std::atomic<int> calls{0};
  WatchHandle h = dir.watch([&] { ++calls; }).value();
  ASSERT_TRUE(dir.atomic_write("other.json", bytes_of("{}")).has_value());
  ASSERT_TRUE(dir.atomic_write("meta.json", bytes_of("{}")).has_value());
  for (int i = 0; i < 200 && calls.load() == 0; ++i) std::this_thread::sleep_for(5ms);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(dir.atomic_read("meta.json").value(), (std::vector<uint8_t>{'{', '}'}));
}

TEST(RamDirectory, LockFileIsTheLock) {
  RamDirectory dir;
  {
    auto lock = dir.acquire_lock(meta_lock());
    ASSERT_TRUE(lock.has_value());
    EXPECT_TRUE(dir.exists(".fendral-meta.lock").value());
    auto busy = dir.acquire_lock(index_writer_lock());
    EXPECT_TRUE(busy.has_value());  // a different lock file
    auto second = dir.acquire_lock(Lock{".fendral-meta.lock", false});
    ASSERT_FALSE(second.has_value());
    EXPECT_EQ(second.error().kind, LockError::Kind::LockBusy);
  }
  EXPECT_FALSE(dir.exists(".fendral-meta.lock").value());
}

// ---- memory-mapped directory ------------------------------------------------

TEST(MmapDirectory, OpenChecksThePath) {
  TempDir tmp;
  auto missing = MmapDirectory::open(tmp.path() / "nope");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind, OpenDirectoryError::Kind::DoesNotExist);
  std::ofstream(tmp.path() / "file") << "x";
  auto file = MmapDirectory::open(tmp.path() / "file");
  ASSERT_FALSE(file.has_value());
  EXPECT_EQ(file.error().kind, OpenDirectoryError::Kind::NotADirectory);
  auto dir = MmapDirectory::open(tmp.path());
  ASSERT_TRUE(dir.has_value());
  EXPECT_EQ(dir->debug(), "MmapDirectory(\"" + fs::canonical(tmp.path()).string() + "\")");
}

TEST(MmapDirectory, ReadsShareOneMapAndWritesAreExclusive) {
  TempDir tmp;
  MmapDirectory dir = MmapDirectory::open(tmp.path()).value();
  auto w = dir.open_write("seg.idx").value();
  ASSERT_TRUE(w->write_all(bytes_of("hello world")).has_value());
  ASSERT_TRUE(w->terminate_ref().has_value());
  w.reset();

  auto h1 = dir.get_file_handle("seg.idx").value();
  auto h2 = dir.get_file_handle("seg.idx").value();
  EXPECT_EQ(h1->read(0, 5).value().data(), h2->read(0, 5).value().data());  // same map
  FileSlice all = dir.open_read("seg.idx").value();
  EXPECT_EQ(all.len(), 11u);

  auto dup = dir.open_write("seg.idx");
  ASSERT_FALSE(dup.has_value());
  EXPECT_EQ(dup.error().kind, OpenWriteError::Kind::FileAlreadyExists);
  EXPECT_EQ(read_all(dir, "seg.idx"), "hello world");

  std::ofstream(tmp.path() / "empty");
  EXPECT_EQ(dir.get_file_handle("empty").value()->len(), 0u);

  auto missing = dir.get_file_handle("nope");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind, OpenReadError::Kind::FileDoesNotExist);
  EXPECT_EQ(missing.error().filepath, dir.root_path() + "/nope");  // full path
  auto atomic_missing = dir.atomic_read("nope");
  EXPECT_EQ(atomic_missing.error().filepath, "nope");  // relative path
  EXPECT_FALSE(dir.exists("nope").value());
  EXPECT_EQ(dir.delete_file("nope").error().kind, DeleteError::Kind::FileDoesNotExist);

  ASSERT_TRUE(dir.delete_file("seg.idx").has_value());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(h1->read(0, 5).value().data()), 5), "hello");
}

TEST(MmapDirectory, AtomicWriteReplacesWholeAndLeavesNoTemporary) {
  TempDir tmp;
  MmapDirectory dir = MmapDirectory::open(tmp.path()).value();
  ASSERT_TRUE(dir.atomic_write("meta.json", bytes_of("old")).has_value());
  ASSERT_TRUE(dir.atomic_write("meta.json", bytes_of("new content")).has_value());
  auto content = dir.atomic_read("meta.json").value();
  EXPECT_EQ(std::string(content.begin(), content.end()), "new content");
  for (const auto& entry : fs::directory_iterator(tmp.path())) {
    EXPECT_EQ(entry.path().filename().string().rfind(".tmp", 0), std::string::npos) << entry.path();
  }
  EXPECT_TRUE(dir.sync_directory().has_value());
}

TEST(MmapDirectory, WatcherReportsContentChangesButNotLineEndings) {
  EXPECT_EQ(meta_file_lines_crc(bytes_of("a\nb\n")), meta_file_lines_crc(bytes_of("a\r\nb")));
  EXPECT_NE(meta_file_lines_crc(bytes_of("a\nb\n")), meta_file_lines_crc(bytes_of("a\nc\n")));
  EXPECT_EQ(meta_file_lines_crc(bytes_of("")), 0u);

  TempDir tmp;
  MmapDirectory dir = MmapDirectory::open(tmp.path()).value();
  ASSERT_TRUE(dir.atomic_write("meta.json", bytes_of("{\n  \"opstamp\": 1\n}\n")).has_value());
  std::atomic<int> calls{0};
  WatchHandle h = dir.watch([&] { ++calls; }).value();
  auto wait_for = [&](int n) {
    auto deadline = std::chrono::steady_clock::now() + 1500ms;
    while (calls.load() < n && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
    return calls.load();
  };
  EXPECT_EQ(wait_for(1), 1);  // the first poll always broadcasts
  ASSERT_TRUE(dir.atomic_write("meta.json", bytes_of("{\r\n  \"opstamp\": 1\r\n}")).has_value());
  std::this_thread::sleep_for(1100ms);
  EXPECT_EQ(calls.load(), 1);  // only the line endings changed
  auto changed_at = std::chrono::steady_clock::now();
  ASSERT_TRUE(dir.atomic_write("meta.json", bytes_of("{\n  \"opstamp\": 2\n}\n")).has_value());
  EXPECT_EQ(wait_for(2), 2);
  EXPECT_LT(std::chrono::steady_clock::now() - changed_at, 1000ms);
}

TEST(MmapDirectory, WriterLockIsExclusiveInProcessAndAcrossProcesses) {
  TempDir tmp;
  MmapDirectory dir = MmapDirectory::open(tmp.path()).value();
  {
    auto first = dir.acquire_lock(index_writer_lock());
    ASSERT_TRUE(first.has_value());
    MmapDirectory other = MmapDirectory::open(tmp.path()).value();
    auto second = other.acquire_lock(index_writer_lock());
    ASSERT_FALSE(second.has_value());
    EXPECT_EQ(second.error().kind, LockError::Kind::LockBusy);
    EXPECT_EQ(FendralError::lock_failure(second.error(), std::nullopt).display(),
              "Failed to acquire Lockfile: LockBusy. None");

    // Another process running this same binary tries to take the lock.
    std::string filter = "--gtest_filter=MmapDirectory.DISABLED_ChildTriesWriterLock";
    char* argv[] = {const_cast<char*>("/proc/self/exe"), filter.data(),
                    const_cast<char*>("--gtest_also_run_disabled_tests"), nullptr};
    std::string env_dir = "FENDRAL_LOCK_DIR=" + tmp.path().string();
    char* envp[] = {env_dir.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv, envp), 0);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child did not see the lock busy";
  }
  EXPECT_TRUE(fs::exists(tmp.path() / ".fendral-writer.lock"));
  EXPECT_TRUE(dir.acquire_lock(index_writer_lock()).has_value());  // a leftover file blocks nobody
}

// Run only as the child of the test above: succeeds when the lock is busy.
TEST(MmapDirectory, DISABLED_ChildTriesWriterLock) {
  const char* path = std::getenv("FENDRAL_LOCK_DIR");
  ASSERT_NE(path, nullptr);
  auto dir = MmapDirectory::open(path);
  ASSERT_TRUE(dir.has_value());
  auto r = dir->acquire_lock(index_writer_lock());
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, LockError::Kind::LockBusy);
}

TEST(MmapDirectory, BlockingMetaLockWaitsForTheHolder) {
  TempDir tmp;
  MmapDirectory dir = MmapDirectory::open(tmp.path()).value();
  auto held = std::make_unique<DirectoryLock>(dir.acquire_lock(meta_lock()).value());
  std::atomic<bool> acquired{false};
  std::thread waiter([&] {
    auto lock = dir.acquire_lock(meta_lock());
    acquired = lock.has_value();
  });
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(acquired.load());
  held.reset();
  waiter.join();
  EXPECT_TRUE(acquired.load());
}

// A segment's files are registered with one write of the list; opening them
// afterwards leaves the list alone.
TEST(ManagedDirectory, BatchRegistrationWritesTheListOnce) {
  TempDir tmp;
  MmapDirectory raw = MmapDirectory::open(tmp.path()).value();
  auto managed = ManagedDirectory::wrap(raw.box_clone()).value();
  const std::string paths[] = {"a.idx", "b.pos", ".hidden"};
  ASSERT_TRUE(managed.register_managed_paths(paths).has_value());
  EXPECT_EQ(managed.managed_paths(), (std::set<std::string>{"a.idx", "b.pos"}));
  ASSERT_TRUE(raw.atomic_write(".managed.json", bytes_of("[]")).has_value());
  auto w = managed.open_write("a.idx");
  ASSERT_TRUE(w.has_value());
  ASSERT_TRUE((*w)->terminate_ref().has_value());
  EXPECT_EQ(read_all(raw, ".managed.json"), "[]");
  ASSERT_TRUE(managed.open_write("c.term").has_value());  // a new path is saved with the rest
  EXPECT_EQ(managed.managed_paths().size(), 3u);
  EXPECT_NE(read_all(raw, ".managed.json"), "[]");
}

TEST(ManagedDirectory, ConcurrentWritersAllEndUpInTheList) {
  TempDir tmp;
  MmapDirectory raw = MmapDirectory::open(tmp.path()).value();
  auto managed = ManagedDirectory::wrap(raw.box_clone()).value();
  constexpr int kThreads = 8, kFiles = 20;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::unique_ptr<Directory> dir = managed.box_clone();
      for (int i = 0; i < kFiles; ++i) {
        std::string name = "t" + std::to_string(t) + "_" + std::to_string(i) + ".idx";
        auto w = dir->open_write(name);
        if (!w || !(*w)->write_all(bytes_of(name)).has_value() || !(*w)->terminate_ref().has_value()) {
          ++failures;
          continue;
        }
        auto body = dir->open_read(name);
        if (!body || body->len() != name.size()) ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  auto saved = raw.atomic_read(".managed.json").value();
  auto list = zudizid::common::json::parse(std::string_view(reinterpret_cast<const char*>(saved.data()), saved.size()));
  ASSERT_TRUE(list.has_value());
  EXPECT_EQ(list->as_array().size(), static_cast<size_t>(kThreads * kFiles));
}

}  // namespace
}  // namespace fendral
