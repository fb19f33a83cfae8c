// Merges: the log merge policy's levels and the merger's output (documents
// renumbered in order with deleted ones dropped, postings, positions, norms,
// stored documents and fast fields carried over).
#include <gtest/gtest.h>

#include <map>

#include "fulltext/columnar/reader/columnar_reader.h"
#include "fulltext/core/index_reader.h"
#include "fulltext/directory/ram_directory.h"
#include "fulltext/indexer/index_writer.h"
#include "fulltext/indexer/merge_policy.h"
#include "fulltext/indexer/merger.h"
#include "fulltext/query/term_query.h"
#include "segment_search_fixture.h"

namespace fendral::indexer {
namespace {

index::SegmentMeta meta_of(const std::shared_ptr<index::SegmentMetaInventory>& inv, uint32_t max_doc,
                           uint32_t deleted = 0) {
  auto m = inv->new_segment_meta(index::SegmentId::generate_random(), max_doc);
  return deleted ? m.with_delete_meta(deleted, 1) : m;
}

// The proposals as lists of positions in the input.
std::vector<std::vector<size_t>> proposals(const MergePolicy& p, const std::vector<index::SegmentMeta>& metas) {
  std::vector<std::vector<size_t>> out;
  for (const auto& prop : p.merge_candidates(metas)) {
    out.emplace_back();
    for (const auto& id : prop.segment_ids) {
      for (size_t i = 0; i < metas.size(); ++i) {
        if (metas[i].id() == id) out.back().push_back(i);
      }
    }
  }
  return out;
}

TEST(LogMergePolicy, Levels) {
  auto inv = index::SegmentMetaInventory::create();
  LogMergePolicy policy;
  struct Case {
    const char* name;
    std::vector<std::pair<uint32_t, uint32_t>> segments;  // max_doc, deleted
    std::vector<std::vector<size_t>> expected;
  };
  std::vector<Case> cases = {
      {"empty", {}, {}},
      {"thirteen segments, only the small level",
       {{50000, 0}, {40000, 0}, {30000, 0}, {20000, 0}, {12000, 0}, {10000, 0}, {9000, 0},
        {8000, 0}, {7000, 0}, {6000, 0}, {5000, 0}, {4000, 0}, {3000, 0}},
       {{5, 6, 7, 8, 9, 10, 11, 12}}},
      {"tiny segments share the min layer", {{1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}, {6, 0}, {7, 0}, {8, 0}},
       {{7, 6, 5, 4, 3, 2, 1, 0}}},
      {"seven of one level", {{1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}, {6, 0}, {7, 0}}, {}},
      {"too large", {{10'000'001, 0}}, {}},
      // A sorts first by max_doc but keys the level by its 5000 live docs;
      // B joins it because a level's key never rises.
      {"sort by max_doc, level by live docs",
       {{60000, 0}, {100000, 95000}, {1, 0}, {1, 0}, {1, 0}, {1, 0}, {1, 0}, {1, 0}},
       {{1, 0, 2, 3, 4, 5, 6, 7}}},
  };
  for (const auto& c : cases) {
    std::vector<index::SegmentMeta> metas;
    for (auto [max_doc, deleted] : c.segments) metas.push_back(meta_of(inv, max_doc, deleted));
    EXPECT_EQ(proposals(policy, metas), c.expected) << c.name;
  }
  // Exactly 10,000,000 live docs can still be merged.
  std::vector<index::SegmentMeta> big(8, meta_of(inv, 10'000'000));
  for (auto& m : big) m = meta_of(inv, 10'000'000);
  EXPECT_EQ(policy.merge_candidates(big).size(), 1u);

  LogMergePolicy eager;
  eager.del_docs_ratio_before_merge = 0.5f;
  EXPECT_EQ(proposals(eager, {meta_of(inv, 10, 6)}), (std::vector<std::vector<size_t>>{{0}}));
  EXPECT_EQ(proposals(eager, {meta_of(inv, 10, 5)}), (std::vector<std::vector<size_t>>{}));
  EXPECT_EQ(policy.debug(),
            "LogMergePolicy { min_num_segments: 8, max_docs_before_merge: 10000000, min_layer_size: 10000, "
            "level_log_size: 0.75, del_docs_ratio_before_merge: 1 }");
}

// Text with positions, a u64 id (indexed, stored) and a fast u64 rank.
struct MergeFixture {
  index::FendralIndex index;

  static MergeFixture create() {
    auto b = testing::SearchFixture::schema_builder();
    schema::NumericOptions rank;
    rank.fast = true;
    b.add_field({"rank", schema::FieldType::u64(rank)});
    auto dir = ManagedDirectory::wrap(std::make_unique<RamDirectory>());
    index::IndexSettings settings;
    settings.docstore_compress_dedicated_thread = false;
    settings.docstore_blocksize = 64;  // many store blocks: whole stores are appended
    auto idx = index::FendralIndex::create(*dir, b.build(), settings);
    EXPECT_TRUE(idx) << idx.error().display();
    return MergeFixture{std::move(*idx)};
  }

  static schema::CompactDoc doc(uint64_t id, const std::string& text) {
    schema::CompactDoc d;
    EXPECT_TRUE(d.add_field_value(0, schema::OwnedValue(text)));
    EXPECT_TRUE(d.add_field_value(1, schema::OwnedValue(id)));
    EXPECT_TRUE(d.add_field_value(2, schema::OwnedValue(id * 10)));
    return d;
  }
};

uint64_t stored_id(const core::Searcher& s, core::DocAddress a) {
  auto d = s.doc(a);
  EXPECT_TRUE(d) << d.error().display();
  auto values = d->field_values();
  EXPECT_TRUE(values);
  if (!values) return ~0ull;
  for (const auto& [f, v] : *values) {
    if (f == 1) return std::get<uint64_t>(v.v);
  }
  return ~0ull;
}

// Segment A (ids 0..2, 1 deleted) and B (ids 3, 4), then one with many
// store blocks and no deletes: merged docs are A0 A2 B0 B1 C..., terms whose
// documents are all deleted disappear, positions and ranks follow the docs.
TEST(IndexMerger, RenumbersDropsDeletedAndKeepsEverything) {
  auto f = MergeFixture::create();
  auto w = IndexWriter::create_with_workers(f.index, 30'000'000, 1);
  ASSERT_TRUE(w);
  (*w)->set_merge_policy(std::make_shared<NoMergePolicy>());
  ASSERT_TRUE((*w)->add_document(MergeFixture::doc(0, "alpha beta")));
  ASSERT_TRUE((*w)->add_document(MergeFixture::doc(1, "gone gamma")));
  ASSERT_TRUE((*w)->add_document(MergeFixture::doc(2, "beta beta alpha")));
  ASSERT_TRUE((*w)->commit());
  ASSERT_TRUE((*w)->add_document(MergeFixture::doc(3, "gamma alpha")));
  ASSERT_TRUE((*w)->add_document(MergeFixture::doc(4, "delta")));
  ASSERT_TRUE((*w)->commit());
  for (uint64_t i = 5; i < 40; ++i) ASSERT_TRUE((*w)->add_document(MergeFixture::doc(i, "padding text " + std::to_string(i))));
  ASSERT_TRUE((*w)->commit());
  ASSERT_TRUE((*w)->delete_term(schema::Term::from_field_text(0, "gone")));
  ASSERT_TRUE((*w)->commit());
  auto meta = f.index.load_metas();
  ASSERT_TRUE(meta);
  ASSERT_EQ(meta->segments.size(), 3u);
  // meta.json lists the largest first; merge in creation order.
  std::vector<index::SegmentMeta> sources;
  for (uint32_t n : {3u, 2u, 35u}) {
    for (const auto& m : meta->segments) {
      if (m.max_doc() == n) sources.push_back(m);
    }
  }
  ASSERT_EQ(sources.size(), 3u);
  auto merger = IndexMerger::open(f.index, sources);
  ASSERT_TRUE(merger) << merger.error().display();
  EXPECT_EQ(merger->max_doc(), 39u);
  auto target = f.index.new_segment_meta();
  auto serializer = SegmentSerializer::open(f.index, target);
  ASSERT_TRUE(serializer);
  auto max_doc = merger->write(std::move(*serializer));
  ASSERT_TRUE(max_doc) << max_doc.error().display();
  ASSERT_EQ(*max_doc, 39u);

  auto reader = index::SegmentReader::open(f.index, target.with_max_doc(*max_doc));
  ASSERT_TRUE(reader) << reader.error().display();
  auto s = core::Searcher::create(f.index.schema(), {*reader}, 0);
  ASSERT_TRUE(s);
  std::vector<uint64_t> ids;
  for (uint32_t d = 0; d < 39; ++d) ids.push_back(stored_id(**s, {0, d}));
  std::vector<uint64_t> expected = {0, 2, 3, 4};
  for (uint64_t i = 5; i < 40; ++i) expected.push_back(i);
  EXPECT_EQ(ids, expected);

  auto inv = (*reader)->inverted_index(0);
  ASSERT_TRUE(inv);
  auto gone = (*inv)->terms().get(schema::Term::from_field_text(0, "gone").serialized_value_bytes());
  ASSERT_TRUE(gone);
  EXPECT_FALSE(gone->has_value());
  // "beta": doc 0 (tf 1, pos 1) and new doc 1 (tf 2, positions 0 1).
  auto beta = (*inv)->terms().get(schema::Term::from_field_text(0, "beta").serialized_value_bytes());
  ASSERT_TRUE(beta && beta->has_value());
  EXPECT_EQ((*beta)->doc_freq, 2u);
  auto p = (*inv)->read_postings(**beta, schema::RecordOption::WithFreqsAndPositions);
  ASSERT_TRUE(p);
  std::map<uint32_t, std::vector<uint32_t>> got;
  for (uint32_t d = p->doc(); d != query::TERMINATED; d = p->advance()) ASSERT_TRUE(p->positions(got[d]));
  EXPECT_EQ(got, (std::map<uint32_t, std::vector<uint32_t>>{{0, {1}}, {1, {0, 1}}}));
  auto gamma = (*inv)->terms().get(schema::Term::from_field_text(0, "gamma").serialized_value_bytes());
  ASSERT_TRUE(gamma && gamma->has_value());
  EXPECT_EQ((*gamma)->doc_freq, 1u);
  // Tokens of the live docs only: 2 + 3 + 2 + 1 + 35 * 3.
  EXPECT_EQ((*inv)->total_num_tokens(), 8u + 105u);

  auto norms = (*reader)->fieldnorm_reader(0);
  ASSERT_TRUE(norms && norms->has_value());
  EXPECT_EQ((*norms)->fieldnorm(1), 3u);
  EXPECT_EQ((*norms)->fieldnorm(3), 1u);

  auto fast = f.index.directory().open_read(target.relative_path(index::SegmentComponent::FastFields));
  ASSERT_TRUE(fast);
  auto columnar = columnar::ColumnarReader::open(*fast);
  ASSERT_TRUE(columnar);
  EXPECT_EQ(columnar->num_rows(), 39u);
  auto handles = columnar->read_columns("rank");
  ASSERT_TRUE(handles && handles->size() == 1u);
  auto column = (*handles)[0].open_as_u64();
  ASSERT_TRUE(column);
  for (uint32_t d = 0; d < 39; ++d) {
    std::vector<uint64_t> v;
    column->values_for_doc(d, v);
    EXPECT_EQ(v, std::vector<uint64_t>{expected[d] * 10}) << d;
  }
}

// A writer dropped while a merge runs does not wait for the merge: the
// merger gives up at its next check, and only at a check.
TEST(IndexMerger, StopsWhenAskedAndOnlyThen) {
  auto f = MergeFixture::create();
  auto w = IndexWriter::create_with_workers(f.index, 30'000'000, 1);
  ASSERT_TRUE(w);
  (*w)->set_merge_policy(std::make_shared<NoMergePolicy>());
  for (uint64_t i = 0; i < 2; ++i) {
    ASSERT_TRUE((*w)->add_document(MergeFixture::doc(i, "text " + std::to_string(i))));
    ASSERT_TRUE((*w)->commit());
  }
  auto meta = f.index.load_metas();
  ASSERT_TRUE(meta);
  ASSERT_EQ(meta->segments.size(), 2u);
  for (bool stop : {true, false}) {
    std::atomic<bool> flag{stop};
    auto merger = IndexMerger::open(f.index, meta->segments);
    ASSERT_TRUE(merger);
    auto serializer = SegmentSerializer::open(f.index, f.index.new_segment_meta());
    ASSERT_TRUE(serializer);
    auto max_doc = merger->write(std::move(*serializer), &flag);
    if (stop) {
      ASSERT_FALSE(max_doc);
      EXPECT_EQ(max_doc.error().display(), FendralError::system_error("Segment updater killed").display());
    } else {
      ASSERT_TRUE(max_doc) << max_doc.error().display();
      EXPECT_EQ(*max_doc, 2u);
    }
  }
}

TEST(IndexMerger, SegmentsWithoutLiveDocumentsAreLeftOut) {
  auto f = MergeFixture::create();
  auto w = IndexWriter::create_with_workers(f.index, 30'000'000, 1);
  ASSERT_TRUE(w);
  (*w)->set_merge_policy(std::make_shared<NoMergePolicy>());
  ASSERT_TRUE((*w)->add_document(MergeFixture::doc(0, "only")));
  ASSERT_TRUE((*w)->commit());
  auto before = f.index.load_metas();
  ASSERT_TRUE(before);
  ASSERT_TRUE((*w)->delete_term(schema::Term::from_field_text(0, "only")));
  ASSERT_TRUE((*w)->commit());
  auto deleted = before->segments[0].with_delete_meta(1, 5);
  auto merger = IndexMerger::open(f.index, {deleted});
  ASSERT_TRUE(merger);
  EXPECT_EQ(merger->max_doc(), 0u);
}

}  // namespace
}  // namespace fendral::indexer
