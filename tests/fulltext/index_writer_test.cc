// End to end: documents added through the index writer's workers, committed,
// searched, deleted by term, cleared, and read again after reopening.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "fulltext/core/index_reader.h"
#include "fulltext/directory/mmap_directory.h"
#include "fulltext/indexer/index_writer.h"
#include "fulltext/query/term_query.h"
#include "segment_search_fixture.h"
#include "tests/support/temp_dir.h"

namespace fendral::indexer {
namespace {

using testing::SearchFixture;

struct DiskIndex {
  zudizid::testing::TempDir dir{"fendral-writer"};

  index::FendralIndex create() {
    auto d = ManagedDirectory::wrap(std::make_unique<MmapDirectory>(*MmapDirectory::open(dir.path().string())));
    EXPECT_TRUE(d);
    auto idx = index::FendralIndex::create(*d, SearchFixture::make_schema(), index::IndexSettings{});
    EXPECT_TRUE(idx) << idx.error().display();
    return std::move(*idx);
  }
  index::FendralIndex reopen() {
    auto d = ManagedDirectory::wrap(std::make_unique<MmapDirectory>(*MmapDirectory::open(dir.path().string())));
    EXPECT_TRUE(d);
    auto idx = index::FendralIndex::open(*d);
    EXPECT_TRUE(idx) << idx.error().display();
    return std::move(*idx);
  }
};

schema::CompactDoc make_doc(uint64_t id, const std::string& text) {
  schema::CompactDoc d;
  EXPECT_TRUE(d.add_field_value(1, schema::OwnedValue(id)));
  EXPECT_TRUE(d.add_field_value(0, schema::OwnedValue(text)));
  return d;
}

// The ids of the live documents holding the word, read from the stored docs.
std::multiset<uint64_t> ids_with(const core::Searcher& s, const std::string& word) {
  query::TermQuery q(schema::Term::from_field_text(0, word), schema::RecordOption::WithFreqs);
  auto top = s.search(q, 100'000);
  EXPECT_TRUE(top) << top.error().display();
  std::multiset<uint64_t> out;
  for (const auto& hit : *top) {
    auto d = s.doc(hit.address);
    EXPECT_TRUE(d);
    auto values = d->field_values();
    for (const auto& [f, v] : *values) {
      if (f == 1) out.insert(std::get<uint64_t>(v.v));
    }
  }
  return out;
}

// The program's 50,000,000 bytes over min(cores, 3) workers.
TEST(IndexWriter, WorkersAndBudgets) {
  struct Case {
    unsigned cores;
    size_t workers;
    size_t budget;
  } cases[] = {{1, 1, 50'000'000}, {2, 2, 25'000'000}, {3, 3, 16'666'666}, {8, 3, 16'666'666}};
  auto f = SearchFixture::create();
  for (const auto& c : cases) {
    size_t workers = IndexWriter::default_worker_count(c.cores);
    EXPECT_EQ(workers, c.workers) << c.cores;
    auto w = IndexWriter::create_with_workers(f.index, 50'000'000, workers);
    ASSERT_TRUE(w) << w.error().display();
    EXPECT_EQ((*w)->worker_count(), c.workers);
    EXPECT_EQ((*w)->per_worker_budget(), c.budget) << c.cores;
  }
}

TEST(IndexWriter, AddCommitSearchDeleteReopen) {
  DiskIndex disk;
  auto index = disk.create();
  uint64_t last_commit = 0;
  {
    auto w = IndexWriter::create_with_workers(index, 30'000'000, 3);
    ASSERT_TRUE(w) << w.error().display();
    for (uint64_t i = 0; i < 300; ++i) {
      ASSERT_TRUE((*w)->add_document(make_doc(i, i % 3 == 0 ? "fizz common" : "buzz common")));
    }
    auto c1 = (*w)->commit();
    ASSERT_TRUE(c1) << c1.error().display();
    auto reader = core::IndexReader::open(index);
    ASSERT_TRUE(reader);
    auto s = (*reader)->searcher();
    EXPECT_EQ(s->num_docs(), 300u);
    EXPECT_EQ(ids_with(*s, "fizz").size(), 100u);
    EXPECT_EQ(s->opstamp(), *c1);

    ASSERT_TRUE((*w)->delete_term(schema::Term::from_field_text(0, "fizz")));
    ASSERT_TRUE((*w)->add_document(make_doc(1000, "fizz late")));
    auto c2 = (*w)->commit();
    ASSERT_TRUE(c2) << c2.error().display();
    EXPECT_GT(*c2, *c1);
    ASSERT_TRUE((*reader)->reload());
    s = (*reader)->searcher();
    EXPECT_EQ(ids_with(*s, "fizz"), (std::multiset<uint64_t>{1000}));
    EXPECT_EQ(ids_with(*s, "common").size(), 200u);
    EXPECT_EQ(s->num_docs(), 201u);
    last_commit = *c2;
  }
  auto reopened = disk.reopen();
  auto meta = reopened.load_metas();
  ASSERT_TRUE(meta);
  EXPECT_EQ(meta->opstamp, last_commit);
  for (size_t i = 1; i < meta->segments.size(); ++i) {
    EXPECT_GE(meta->segments[i - 1].max_doc(), meta->segments[i].max_doc());
  }
  auto reader = core::IndexReader::open(reopened);
  ASSERT_TRUE(reader);
  EXPECT_EQ((*reader)->searcher()->num_docs(), 201u);
  EXPECT_EQ(ids_with(*(*reader)->searcher(), "fizz"), (std::multiset<uint64_t>{1000}));

  // A second writer picks up the opstamps where the first left them.
  auto w = IndexWriter::create_with_workers(reopened, 30'000'000, 1);
  ASSERT_TRUE(w);
  ASSERT_TRUE((*w)->delete_term(schema::Term::from_field_text(0, "late")));
  auto c3 = (*w)->commit();
  ASSERT_TRUE(c3);
  EXPECT_GT(*c3, last_commit);
  ASSERT_TRUE((*reader)->reload());
  EXPECT_EQ((*reader)->searcher()->num_docs(), 200u);
}

// A delete reaches the documents added before it, never those added after,
// also inside one segment still being built.
TEST(IndexWriter, DeleteReachesOnlyOlderDocuments) {
  auto f = SearchFixture::create();
  auto w = IndexWriter::create_with_workers(f.index, 30'000'000, 1);
  ASSERT_TRUE(w);
  auto a = (*w)->add_document(make_doc(1, "x"));
  auto del = (*w)->delete_term(schema::Term::from_field_text(0, "x"));
  auto b = (*w)->add_document(make_doc(2, "x"));
  auto c = (*w)->add_document(make_doc(3, "x y"));
  ASSERT_TRUE(a && del && b && c);
  EXPECT_LT(*a, *del);
  EXPECT_LT(*del, *b);
  ASSERT_TRUE((*w)->commit());
  auto reader = core::IndexReader::open(f.index);
  ASSERT_TRUE(reader);
  EXPECT_EQ(ids_with(*(*reader)->searcher(), "x"), (std::multiset<uint64_t>{2, 3}));
}

TEST(IndexWriter, RefusalsAndClearKeepOpstampsIncreasing) {
  auto f = SearchFixture::create();
  auto w = IndexWriter::create_with_workers(f.index, 30'000'000, 2);
  ASSERT_TRUE(w);
  // A second writer on the same directory is refused.
  auto second = IndexWriter::create_with_workers(f.index, 30'000'000, 1);
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().kind(), FendralError::Kind::LockFailure);

  ASSERT_TRUE((*w)->add_document(make_doc(1, "keep")));
  schema::CompactDoc bad;
  ASSERT_TRUE(bad.add_field_value(1, schema::OwnedValue("text in u64")));
  auto refused = (*w)->add_document(bad);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().text(), "Expected a U64 for field \"id\"");
  auto c1 = (*w)->commit();
  ASSERT_TRUE(c1) << c1.error().display();

  // A delete queued before the clear must not reach documents added after it.
  ASSERT_TRUE((*w)->add_document(make_doc(2, "gone")));
  ASSERT_TRUE((*w)->delete_term(schema::Term::from_field_text(0, "again")));
  uint64_t cleared = (*w)->delete_all_documents();
  EXPECT_GT(cleared, *c1);
  auto after = (*w)->add_document(make_doc(3, "again"));
  ASSERT_TRUE(after);
  EXPECT_GT(*after, cleared);
  auto c2 = (*w)->commit();
  ASSERT_TRUE(c2);
  EXPECT_GT(*c2, *c1);
  auto reader = core::IndexReader::open(f.index);
  auto s = (*reader)->searcher();
  EXPECT_EQ(ids_with(*s, "again"), (std::multiset<uint64_t>{3}));
  EXPECT_TRUE(ids_with(*s, "keep").empty());

  // Deleting by a field that is not indexed is an error, not a silent no-op.
  schema::SchemaBuilder b;
  b.add_field({"raw", schema::FieldType::u64(schema::NumericOptions{})});
  auto plain = index::FendralIndex::create(*ManagedDirectory::wrap(std::make_unique<RamDirectory>()), b.build(), {});
  ASSERT_TRUE(plain);
  auto pw = IndexWriter::create_with_workers(*plain, 30'000'000, 1);
  ASSERT_TRUE(pw);
  auto d = (*pw)->delete_term(schema::Term::from_field_u64(0, 1));
  ASSERT_FALSE(d);
  EXPECT_EQ(d.error().kind(), FendralError::Kind::SchemaError);
}

// Reloads racing with commits: each thread's view of the committed opstamp
// never goes back, and the last reload sees every committed document.
TEST(IndexWriter, ConcurrentReloadsNeverMoveBackwards) {
  auto f = SearchFixture::create();
  auto w = IndexWriter::create_with_workers(f.index, 30'000'000, 2);
  ASSERT_TRUE(w);
  ASSERT_TRUE((*w)->commit());
  auto reader = core::IndexReader::open(f.index);
  ASSERT_TRUE(reader);
  std::atomic<bool> done{false};
  std::atomic<int> backwards{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      uint64_t seen = 0;
      while (!done) {
        if (!(*reader)->reload()) continue;  // a meta.json replaced mid-read is retried
        uint64_t now = (*reader)->searcher()->opstamp();
        if (now < seen) ++backwards;
        seen = now;
      }
    });
  }
  for (uint64_t i = 0; i < 20; ++i) {
    ASSERT_TRUE((*w)->add_document(make_doc(i, "word")));
    ASSERT_TRUE((*w)->commit());
  }
  done = true;
  for (auto& t : threads) t.join();
  EXPECT_EQ(backwards, 0);
  ASSERT_TRUE((*reader)->reload());
  EXPECT_EQ((*reader)->searcher()->num_docs(), 20u);
}

// Random adds, deletes by term, clears and commits on 1 to 3 workers with a
// policy that merges small levels at once; after every commit a reload must
// show exactly the reference: live count, per-word counts and stored ids.
// meta.json's opstamp increases strictly from commit to commit.
TEST(IndexWriter, ModelWithMerges) {
  const std::vector<std::string> words = {"ant", "bee", "cat", "dog", "eel"};
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    auto f = SearchFixture::create();
    size_t workers = 1 + seed % 3;
    auto w = IndexWriter::create_with_workers(f.index, 3 * 4'000'000, workers);
    ASSERT_TRUE(w);
    auto policy = std::make_shared<LogMergePolicy>();
    policy->min_num_segments = 2;
    policy->min_layer_size = 1;
    (*w)->set_merge_policy(policy);
    auto reader = core::IndexReader::open(f.index);
    ASSERT_TRUE(reader);
    std::multimap<std::string, uint64_t> model;  // word -> id of a live document
    uint64_t next_id = 0, last_commit = 0;
    for (int step = 0; step < 40; ++step) {
      int op = rng() % 20;
      if (op < 14) {
        int n = 1 + rng() % 30;
        for (int i = 0; i < n; ++i) {
          const auto& word = words[rng() % words.size()];
          ASSERT_TRUE((*w)->add_document(make_doc(next_id, word + " common")));
          model.emplace(word, next_id++);
        }
      } else if (op < 17) {
        const auto& word = words[rng() % words.size()];
        ASSERT_TRUE((*w)->delete_term(schema::Term::from_field_text(0, word)));
        model.erase(word);
      } else if (op < 18) {
        (*w)->delete_all_documents();
        model.clear();
      }
      if (op >= 14 || rng() % 3 == 0) {
        auto c = (*w)->commit();
        ASSERT_TRUE(c) << c.error().display();
        ASSERT_GT(*c, last_commit);
        last_commit = *c;
        if (rng() % 2) (*w)->wait_merging_threads();
        auto reloaded = (*reader)->reload();
        ASSERT_TRUE(reloaded) << reloaded.error().display();
        auto s = (*reader)->searcher();
        ASSERT_GE(s->opstamp(), *c);
        ASSERT_EQ(s->num_docs(), model.size());
        for (const auto& word : words) {
          std::multiset<uint64_t> expected;
          for (auto [it, end] = model.equal_range(word); it != end; ++it) expected.insert(it->second);
          ASSERT_EQ(ids_with(*s, word), expected) << word;
          auto count = s->count(query::TermQuery(schema::Term::from_field_text(0, word), schema::RecordOption::Basic));
          ASSERT_TRUE(count);
          ASSERT_EQ(*count, expected.size());
        }
        auto meta = f.index.load_metas();
        ASSERT_TRUE(meta);
        EXPECT_EQ(meta->opstamp, *c);
      }
    }
    // With every merge done, no level holds two segments any more.
    ASSERT_TRUE((*w)->commit());
    (*w)->wait_merging_threads();
    auto meta = f.index.load_metas();
    ASSERT_TRUE(meta);
    EXPECT_TRUE(policy->merge_candidates(meta->segments).empty());
  }
}

}  // namespace
}  // namespace fendral::indexer
