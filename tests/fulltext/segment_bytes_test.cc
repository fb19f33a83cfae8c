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

TEST(SegmentBytes, FixedCorpusGivesPinnedFiles) {
  auto f = testing::SearchFixture::create();
  auto w = IndexWriter::create_with_workers(f.index, 30'000'000, 1);
  ASSERT_TRUE(w);
  for (uint64_t i = 0; i < 3000; ++i) ASSERT_TRUE((*w)->add_document(f.doc(i, text_of(i))));
  ASSERT_TRUE((*w)->commit());
  auto meta = f.index.load_metas();
  ASSERT_TRUE(meta);
  ASSERT_EQ(meta->segments.size(), 1u);
  std::string hashes;
  for (auto component : index::kAllComponents) {
    if (component == index::SegmentComponent::Delete) continue;
    auto bytes = f.index.directory().atomic_read(meta->segments[0].relative_path(component));
    ASSERT_TRUE(bytes);
    hashes += fmt::format("{:016x} {}\n", fnv1a(*bytes), bytes->size());
  }
  EXPECT_EQ(hashes,
            "0d7f77be8992517e 67720\n"    // postings
            "69b74f91222976f2 29213\n"    // positions
            "e50d4eb1724b391d 146\n"      // fast fields
            "22c9021988858af1 3105\n"     // field norms
            "137206354d2b3c32 11651\n"    // terms
            "a595b2facf8f8a11 129338\n");  // store
}

}  // namespace
}  // namespace fendral::indexer
