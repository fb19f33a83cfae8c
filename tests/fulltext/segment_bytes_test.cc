// The bytes of a segment are a function of its documents: a fixed corpus
// written through the index writer (one worker, one commit) gives segment
// files whose hashes are pinned here. A change of the indexing path that
// moves any stored byte fails this test.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include "fulltext/indexer/index_writer.h"
#include "segment_search_fixture.h"

namespace fendral::indexer {
namespace {

uint64_t fnv1a(std::span<const uint8_t> bytes) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (uint8_t b : bytes) h = (h ^ b) * 0x100000001b3ull;
  return h;
}

// Hash and size of each file of the segment, one line each.
std::string file_hashes(const index::FendralIndex& index, const index::SegmentMeta& segment) {
  std::string hashes;
  for (auto component : index::kAllComponents) {
    if (component == index::SegmentComponent::Delete) continue;
    auto bytes = index.directory().atomic_read(segment.relative_path(component));
    if (!bytes) return "unreadable " + segment.relative_path(component);
    hashes += fmt::format("{:016x} {}\n", fnv1a(*bytes), bytes->size());
  }
  return hashes;
}

// Texts over a skewed vocabulary, with repeats inside documents.
std::string text_of(uint64_t i) {
  std::string t;
  uint64_t x = i * 2654435761u + 17;
  for (int k = 0; k < 5 + static_cast<int>(i % 11); ++k) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    uint64_t r = (x >> 33) % 1000;
    if (k) t += ' ';
    t += "w" + std::to_string(r * r / 1000);
  }
  return t;
}

// One worker, one commit. The first case fits one segment; in the second the
// worker cuts where the memory figure of its segment writer (term table,
// arena pages, norms, fast fields) meets the program's per-worker budget, so
// a change of the in-memory structures that moves the cut, and with it every
// byte of the segments, fails too. Hashes are of the largest segment.
TEST(SegmentBytes, FixedCorpusGivesPinnedFiles) {
  struct Case {
    size_t budget;
    uint64_t docs;
    std::vector<uint32_t> sizes;  // max_doc per segment, as meta.json lists them
    const char* hashes;           // postings, positions, fast fields, norms, terms, store
  };
  const Case cases[] = {
      {30'000'000, 3000, {3000},
       "0d7f77be8992517e 67720\n69b74f91222976f2 29213\ne50d4eb1724b391d 146\n"
       "22c9021988858af1 3105\n137206354d2b3c32 11651\na595b2facf8f8a11 129338\n"},
      {16'666'666, 40000, {30094, 9906},
       "f52e9dae009296c1 485057\n621d981199df4587 172455\naea24541275e5763 145\n"
       "840fffd251de9521 30199\na0e2384bfbac4df4 54490\ne981bc78dd089052 1289328\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.docs);
    auto f = testing::SearchFixture::create();
    auto w = IndexWriter::create_with_workers(f.index, c.budget, 1);
    ASSERT_TRUE(w);
    for (uint64_t i = 0; i < c.docs; ++i) ASSERT_TRUE((*w)->add_document(f.doc(i, text_of(i))));
    ASSERT_TRUE((*w)->commit());
    auto meta = f.index.load_metas();
    ASSERT_TRUE(meta);
    std::vector<uint32_t> sizes;
    for (const auto& m : meta->segments) sizes.push_back(m.max_doc());
    ASSERT_EQ(sizes, c.sizes);
    EXPECT_EQ(file_hashes(f.index, meta->segments[0]), c.hashes);
  }
}

}  // namespace
}  // namespace fendral::indexer
