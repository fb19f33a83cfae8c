// The index reader: searcher generations, warmers and their garbage
// collection, failed reloads, and reloads racing commits.
#include <gtest/gtest.h>
#include <pthread.h>

#include <thread>

#include "fulltext/directory/mmap_directory.h"
#include "fulltext/directory/ram_directory.h"
#include "reader_fixture.h"
#include "tests/support/temp_dir.h"

namespace fendral::core {
namespace {

using testing::add_ids;
using testing::count_ids;
using testing::create_index;

std::string thread_name() {
  char name[16] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return name;
}

// Records what it is called with; fails the warmings it is told to.
struct RecordingWarmer final : Warmer {
  std::mutex mu;
  std::vector<uint64_t> warmed;
  std::vector<std::string> threads;
  std::vector<std::vector<uint64_t>> collections;  // live ids of each garbage_collect
  int fail_next = 0;

  Result<void> warm(const Searcher& s) override {
    std::lock_guard lock(mu);
    warmed.push_back(s.generation()->generation_id);
    threads.push_back(thread_name());
    if (fail_next > 0 && fail_next-- > 0) return fail(FendralError::system_error("warming refused"));
    return {};
  }
  void garbage_collect(const std::vector<std::shared_ptr<const SearcherGeneration>>& live) override {
    std::lock_guard lock(mu);
    std::vector<uint64_t> ids;
    for (const auto& g : live) ids.push_back(g->generation_id);
    std::sort(ids.begin(), ids.end());
    collections.push_back(ids);
  }
  size_t collections_seen() {
    std::lock_guard lock(mu);
    return collections.size();
  }
};

TEST(IndexReader, GenerationsAndFailedReloads) {
  auto index = create_index(std::make_unique<RamDirectory>());
  auto warmer = std::make_shared<RecordingWarmer>();
  IndexReaderOptions options;
  options.warmers = {warmer};
  options.reload_on_meta_change = false;  // generation ids drawn by this test alone
  auto reader = IndexReader::open(index, options);
  ASSERT_TRUE(reader);
  auto first = (*reader)->searcher();
  EXPECT_TRUE(first->segment_readers().empty());
  EXPECT_EQ(first->generation()->generation_id, 0u);
  EXPECT_TRUE(first->generation()->segments.empty());

  auto w = indexer::IndexWriter::create_with_workers(index, 20'000'000, 1);
  ASSERT_TRUE(add_ids(**w, 0, 10));
  ASSERT_TRUE((*w)->commit());
  ASSERT_TRUE((*reader)->reload());
  auto second = (*reader)->searcher();
  EXPECT_EQ(second->generation()->generation_id, 1u);
  ASSERT_EQ(second->segment_readers().size(), 1u);
  const auto& seg = second->segment_readers()[0];
  EXPECT_EQ(second->generation()->segments.at(seg->segment_id()), std::nullopt);

  // A failing warmer fails the reload after the id is drawn; the id is not
  // handed out again and the current searcher stays.
  warmer->fail_next = 1;
  auto refused = (*reader)->reload();
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().display(), FendralError::system_error("warming refused").display());
  EXPECT_EQ((*reader)->searcher(), second);
  ASSERT_TRUE((*reader)->reload());
  EXPECT_EQ((*reader)->searcher()->generation()->generation_id, 3u);
  EXPECT_EQ(warmer->warmed, (std::vector<uint64_t>{0, 1, 2, 3}));

  // A missing segment file fails the reload before any id is drawn.
  ASSERT_TRUE(add_ids(**w, 10, 20));
  ASSERT_TRUE((*w)->commit());
  auto meta = index.load_metas();
  ASSERT_TRUE(meta);
  const index::SegmentMeta* fresh = nullptr;
  for (const auto& m : meta->segments) {
    if (m.id() != seg->segment_id()) fresh = &m;
  }
  ASSERT_NE(fresh, nullptr);
  ASSERT_TRUE(index.directory().delete_file(fresh->relative_path(index::SegmentComponent::Postings)));
  EXPECT_FALSE((*reader)->reload());
  EXPECT_EQ((*reader)->searcher()->generation()->generation_id, 3u);
  EXPECT_EQ(count_ids(*(*reader)->searcher(), 0, 20), 10u);
  w->reset();
}

TEST(IndexReader, WithoutWarmersNoThreadStarts) {
  auto index = create_index(std::make_unique<RamDirectory>());
  auto reader = IndexReader::open(index);
  ASSERT_TRUE(reader);
  ASSERT_TRUE((*reader)->reload());
  EXPECT_FALSE((*reader)->warming().gc_thread_started());
  EXPECT_TRUE((*reader)->warming().warmed_generation_ids().empty());

  // A warmer whose owner dropped it is forgotten and starts nothing either.
  IndexReaderOptions options;
  {
    auto gone = std::make_shared<RecordingWarmer>();
    options.warmers = {gone};
  }
  auto reader2 = IndexReader::open(index, options);
  ASSERT_TRUE(reader2);
  EXPECT_FALSE((*reader2)->warming().gc_thread_started());
}

// By default a commit reaches the reader through the meta.json watch.
TEST(IndexReader, ReloadsWhenMetaChanges) {
  auto index = create_index(std::make_unique<RamDirectory>());
  auto reader = IndexReader::open(index);
  ASSERT_TRUE(reader);
  auto w = indexer::IndexWriter::create_with_workers(index, 20'000'000, 1);
  ASSERT_TRUE(add_ids(**w, 0, 5));
  ASSERT_TRUE((*w)->commit());
  for (int i = 0; i < 100 && (*reader)->searcher()->num_docs() < 5; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ((*reader)->searcher()->num_docs(), 5u);
  w->reset();
}

TEST(IndexReader, WarmingThreads) {
  auto index = create_index(std::make_unique<RamDirectory>());
  struct Case {
    size_t threads;
    size_t warmers;
    bool on_caller;
  } cases[] = {{0, 2, true}, {1, 3, true}, {4, 1, true}, {2, 3, false}, {3, 2, false}};
  const std::string caller = thread_name();
  for (const auto& c : cases) {
    std::vector<std::shared_ptr<RecordingWarmer>> warmers;
    IndexReaderOptions options;
    options.num_warming_threads = c.threads;
    for (size_t i = 0; i < c.warmers; ++i) {
      warmers.push_back(std::make_shared<RecordingWarmer>());
      options.warmers.push_back(warmers.back());
    }
    auto reader = IndexReader::open(index, options);
    ASSERT_TRUE(reader);
    size_t pool = std::min(c.threads, c.warmers);
    for (const auto& w : warmers) {
      ASSERT_EQ(w->threads.size(), 1u);
      if (c.on_caller) {
        EXPECT_EQ(w->threads[0], caller) << c.threads << "/" << c.warmers;
      } else {
        bool named = false;
        for (size_t i = 0; i < pool; ++i) named |= w->threads[0] == "fendral-warm-" + std::to_string(i);
        EXPECT_TRUE(named) << w->threads[0];
      }
    }
    EXPECT_TRUE((*reader)->warming().gc_thread_started());
    EXPECT_EQ((*reader)->warming().warmed_generation_ids(), std::set<uint64_t>{0});
  }
}

// Generations handed to the warmers are collected once released, and only
// then.
TEST(IndexReader, GarbageCollectionAfterRelease) {
  auto index = create_index(std::make_unique<RamDirectory>());
  auto warmer = std::make_shared<RecordingWarmer>();
  IndexReaderOptions options;
  options.warmers = {warmer};
  options.reload_on_meta_change = false;
  auto reader = IndexReader::open(index, options);
  ASSERT_TRUE(reader);
  auto held = (*reader)->searcher();
  ASSERT_TRUE((*reader)->reload());  // generation 1; 0 stays held
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  EXPECT_EQ(warmer->collections_seen(), 0u) << "every warmed generation is alive";

  held.reset();  // generation 0 is released
  EXPECT_EQ((*reader)->generations().live_count(), 1u);
  for (int i = 0; i < 50 && warmer->collections_seen() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_EQ(warmer->collections_seen(), 1u);
  EXPECT_EQ(warmer->collections[0], std::vector<uint64_t>{1});
  EXPECT_EQ((*reader)->warming().warmed_generation_ids(), std::set<uint64_t>{1});
}

// Reloads from several threads (and the directory's meta.json watch) while
// commits go on: a thread never sees the searcher's commit go backwards, and
// a reload begun after a commit was acknowledged sees that commit.
TEST(IndexReaderStress, ReloadsDuringCommitsNeverGoBackwards) {
  zudizid::testing::TempDir tmp("fendral-reload");
  auto mmap = MmapDirectory::open(tmp.path().string());
  ASSERT_TRUE(mmap);
  auto index = create_index(std::make_unique<MmapDirectory>(std::move(*mmap)));
  auto reader = IndexReader::open(index);
  ASSERT_TRUE(reader);
  auto w = indexer::IndexWriter::create_with_workers(index, 30'000'000, 2);
  ASSERT_TRUE(w);

  constexpr int kCommits = 15;
  constexpr uint64_t kPerCommit = 20;
  std::atomic<uint64_t> acknowledged{0};
  std::atomic<bool> done{false};
  std::atomic<uint64_t> reloads{0};
  std::vector<std::thread> reloaders;
  for (int t = 0; t < 3; ++t) {
    reloaders.emplace_back([&] {
      uint64_t seen_opstamp = 0;
      uint64_t seen_docs = 0;
      while (!done.load()) {
        uint64_t ack = acknowledged.load();
        auto ok = (*reader)->reload();
        ASSERT_TRUE(ok) << ok.error().display();
        auto s = (*reader)->searcher();
        ASSERT_GE(s->opstamp(), seen_opstamp);
        ASSERT_GE(s->opstamp(), ack);
        ASSERT_GE(s->num_docs(), seen_docs);
        seen_opstamp = s->opstamp();
        seen_docs = s->num_docs();
        reloads.fetch_add(1);
      }
    });
  }
  for (int c = 0; c < kCommits; ++c) {
    ASSERT_TRUE(add_ids(**w, c * kPerCommit, (c + 1) * kPerCommit));
    auto op = (*w)->commit();
    ASSERT_TRUE(op) << op.error().display();
    acknowledged.store(*op);
  }
  done = true;
  for (auto& t : reloaders) t.join();
  EXPECT_GT(reloads.load(), 0u);
  ASSERT_TRUE((*reader)->reload());
  auto s = (*reader)->searcher();
  EXPECT_EQ(s->opstamp(), acknowledged.load());
  EXPECT_EQ(s->num_docs(), kCommits * kPerCommit);
  w->reset();
}

}  // namespace
}  // namespace fendral::core
