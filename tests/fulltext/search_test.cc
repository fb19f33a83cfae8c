#include <gtest/gtest.h>

#include <cmath>

#include "fulltext/query/term_query.h"
#include "segment_search_fixture.h"

namespace fendral {
namespace {

using testing::SearchFixture;

query::TermQuery text_query(const SearchFixture& f, const char* word) {
  return query::TermQuery(schema::Term::from_field_text(f.body, word), schema::RecordOption::WithFreqs);
}

TEST(Bm25, EdgeCases) {
  // Every document holds the term: idf = ln(0.5 / 10.5 + 1) > 0.
  float idf = query::Bm25Weight::idf(10, 10);
  EXPECT_FLOAT_EQ(idf, std::log(0.5f / 10.5f + 1.0f));
  EXPECT_GT(idf, 0.0f);
  auto w = query::Bm25Weight::for_one_term(10, 10, 1.0f);
  EXPECT_EQ(w.weight(), 2.2f * idf);
  // Score at average length and tf 1: tf / (tf + 1.2) * weight.
  EXPECT_FLOAT_EQ(w.score(1, 1), 1.0f / (1.2f + 1.0f) * w.weight());
  // max_score bounds every document, short ones with a high tf included.
  for (uint8_t id : {0, 1, 40, 255}) {
    for (uint32_t tf : {1u, 100u, 1'000'000u}) EXPECT_LE(w.score(id, tf), w.max_score());
  }
  EXPECT_EQ(w.boost_by(2.0f).weight(), w.weight() * 2.0f);
  EXPECT_EQ(w.boost_by(1.0f).weight(), w.weight());
}

TEST(Search, TermQueryRanksByBm25AcrossSegments) {
  auto f = SearchFixture::create();
  auto a = f.write_segment({"apple banana", "banana cherry cherry", "apple apple apple"}, 0);
  auto b = f.write_segment({"apple banana cherry date elder fig grape", "date"}, 10);
  auto s = f.searcher({a, b});
  EXPECT_EQ(s->num_docs(), 5u);
  EXPECT_EQ(*s->total_num_docs(), 5u);
  EXPECT_EQ(*s->doc_freq(schema::Term::from_field_text(f.body, "apple")), 3u);
  EXPECT_EQ(*s->total_num_tokens(f.body), 16u);

  auto top = s->search(text_query(f, "apple"), 10);
  ASSERT_TRUE(top) << top.error().display();
  ASSERT_EQ(top->size(), 3u);
  // tf 3 beats tf 1; at tf 1 the two-word doc beats the seven-word doc.
  std::vector<uint64_t> ids;
  for (const auto& hit : *top) ids.push_back(f.stored_id(*s, hit.address));
  EXPECT_EQ(ids, (std::vector<uint64_t>{2, 0, 10}));
  EXPECT_GT((*top)[0].score, (*top)[1].score);
  EXPECT_GT((*top)[1].score, (*top)[2].score);

  auto top1 = s->search(text_query(f, "apple"), 1);
  ASSERT_TRUE(top1);
  ASSERT_EQ(top1->size(), 1u);
  EXPECT_EQ((*top1)[0], (*top)[0]);

  EXPECT_EQ(s->search(text_query(f, "missing"), 10)->size(), 0u);
  EXPECT_EQ(*s->count(text_query(f, "cherry")), 2u);
  query::TermQuery by_id(schema::Term::from_field_u64(f.id, 11), schema::RecordOption::Basic);
  auto hit = s->search(by_id, 10);
  ASSERT_TRUE(hit);
  ASSERT_EQ(hit->size(), 1u);
  EXPECT_EQ(hit->front().address, (core::DocAddress{1, 1}));
}

TEST(Search, DisabledScoringWeightMatchesAllDocsWithOneScore) {
  auto f = SearchFixture::create();
  auto seg = f.write_segment({"x y", "x", "x z"});
  auto s = f.searcher({seg});
  auto w = text_query(f, "x").weight(query::ScoringMode::disabled(f.index.schema()));
  ASSERT_TRUE(w);
  std::vector<uint32_t> docs;
  std::vector<float> scores;
  ASSERT_TRUE((*w)->for_each(*s->segment_readers()[0], [&](uint32_t d, float sc) {
    docs.push_back(d);
    scores.push_back(sc);
  }));
  EXPECT_EQ(docs, (std::vector<uint32_t>{0, 1, 2}));
  EXPECT_EQ(scores, (std::vector<float>{1.0f, 1.0f, 1.0f}));
}

TEST(Search, NotIndexedFieldHasNoWeight) {
  schema::SchemaBuilder b;
  b.add_field({"raw", schema::FieldType::u64(schema::NumericOptions{})});
  auto schema = b.build();
  query::TermQuery q(schema::Term::from_field_u64(0, 1), schema::RecordOption::Basic);
  auto w = q.weight(query::ScoringMode::disabled(schema));
  ASSERT_FALSE(w);
  EXPECT_EQ(w.error().kind(), FendralError::Kind::SchemaError);
  EXPECT_EQ(w.error().text(), "Field \"raw\" is not indexed.");
}

TEST(Search, DeletedDocumentsAreSkippedAndCounted) {
  auto f = SearchFixture::create();
  auto seg = f.write_segment({"k", "k", "k", "j"});
  BitSetBuilder alive(4);
  alive.insert(0);
  alive.insert(2);
  alive.insert(3);
  auto set = index::read_alive_bitset(OwnedBytes::from_vector(alive.serialize()), 4);
  ASSERT_TRUE(set);
  auto reader = index::SegmentReader::open(f.index, seg, std::move(*set));
  ASSERT_TRUE(reader);
  auto s = *core::Searcher::create(f.index.schema(), {*reader}, 0);
  EXPECT_EQ(s->num_docs(), 3u);
  auto top = s->search(text_query(f, "k"), 10);
  ASSERT_EQ(top->size(), 2u);
  EXPECT_EQ((*top)[0].address.doc_id, 0u);
  EXPECT_EQ((*top)[1].address.doc_id, 2u);
  EXPECT_EQ(*s->count(text_query(f, "k")), 2u);
}

TEST(Search, AliveBitSetMustCoverExactlyMaxDoc) {
  for (uint32_t bound : {3u, 5u, 130u}) {
    BitSetBuilder b(bound);
    auto set = index::read_alive_bitset(OwnedBytes::from_vector(b.serialize()), 4);
    ASSERT_FALSE(set) << bound;
    EXPECT_EQ(set.error().kind(), FendralError::Kind::DataCorruption);
  }
  // Shorter than its header, or words missing.
  for (std::vector<uint8_t> bytes : {std::vector<uint8_t>{4, 0}, std::vector<uint8_t>{130, 0, 0, 0, 0xFF}}) {
    auto set = index::read_alive_bitset(OwnedBytes::from_vector(bytes), bytes.size() > 2 ? 130 : 4);
    ASSERT_FALSE(set);
    EXPECT_EQ(set.error().kind(), FendralError::Kind::DataCorruption);
  }
}

}  // namespace
}  // namespace fendral
