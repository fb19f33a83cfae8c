#include <gtest/gtest.h>

#include "fulltext/query/term_query.h"
#include "segment_search_fixture.h"

namespace fendral::indexer {
namespace {

using testing::SearchFixture;

TEST(SegmentWriter, HashTableSlotsFromBudget) {
  struct Case {
    size_t budget;
    size_t slots;  // 0: refused
  } cases[] = {{24'578, 0},          {24'579, 1'024},      {49'154, 1'024},       {49'155, 2'048},
               {12'582'914, 262'144}, {12'582'915, 524'288}, {16'666'666, 524'288}, {1'000'000'000, 524'288}};
  for (const auto& c : cases) {
    auto slots = SegmentWriter::hash_table_capacity(c.budget);
    if (c.slots == 0) {
      ASSERT_FALSE(slots) << c.budget;
      EXPECT_EQ(slots.error().kind(), FendralError::Kind::InvalidArgument);
      EXPECT_EQ(slots.error().text(), "per thread memory budget (=24578) is too small. Raise the memory budget or "
                                      "lower the number of threads.");
    } else {
      ASSERT_TRUE(slots) << c.budget;
      EXPECT_EQ(*slots, c.slots) << c.budget;
    }
  }
}

// A wrong-typed value refuses its document alone; documents before and after
// it land in the segment.
TEST(SegmentWriter, WrongTypeRefusesOnlyThatDocument) {
  auto f = SearchFixture::create();
  auto w = SegmentWriter::create(20'000'000, f.index, f.index.new_segment_meta());
  ASSERT_TRUE(w);
  ASSERT_TRUE((*w)->add_document({1, f.doc(1, "first")}));
  schema::CompactDoc bad;
  ASSERT_TRUE(bad.add_field_value(f.body, schema::OwnedValue("bad")));
  ASSERT_TRUE(bad.add_field_value(f.id, schema::OwnedValue("not a number")));
  auto r = (*w)->add_document({2, bad});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), FendralError::Kind::SchemaError);
  EXPECT_EQ(r.error().text(), "Expected a U64 for field \"id\"");
  // A number in a text field is skipped without error.
  schema::CompactDoc num_in_text;
  ASSERT_TRUE(num_in_text.add_field_value(f.body, schema::OwnedValue(uint64_t{7})));
  ASSERT_TRUE((*w)->add_document({3, num_in_text}));
  ASSERT_TRUE((*w)->add_document({4, f.doc(4, "second first")}));
  EXPECT_EQ((*w)->max_doc(), 3u);
  auto meta = (*w)->segment().with_max_doc(3);
  auto ops = SegmentWriter::finalize(std::move(*w));
  ASSERT_TRUE(ops) << ops.error().display();
  EXPECT_EQ(*ops, (std::vector<uint64_t>{1, 3, 4}));

  auto s = f.searcher({meta});
  query::TermQuery q(schema::Term::from_field_text(f.body, "first"), schema::RecordOption::Basic);
  EXPECT_EQ(*s->count(q), 2u);
  query::TermQuery bad_q(schema::Term::from_field_text(f.body, "bad"), schema::RecordOption::Basic);
  EXPECT_EQ(*s->count(bad_q), 0u);
  EXPECT_EQ(f.stored_id(*s, {0, 2}), 4u);
}

// Two values of one text field: positions continue and the norm counts both.
TEST(SegmentWriter, RepeatedTextValuesShareOneNorm) {
  auto f = SearchFixture::create();
  auto w = SegmentWriter::create(20'000'000, f.index, f.index.new_segment_meta());
  ASSERT_TRUE(w);
  schema::CompactDoc d;
  ASSERT_TRUE(d.add_field_value(f.body, schema::OwnedValue("a b")));
  ASSERT_TRUE(d.add_field_value(f.body, schema::OwnedValue("c a")));
  ASSERT_TRUE((*w)->add_document({0, d}));
  auto meta = (*w)->segment().with_max_doc(1);
  ASSERT_TRUE(SegmentWriter::finalize(std::move(*w)));
  auto reader = index::SegmentReader::open(f.index, meta);
  ASSERT_TRUE(reader);
  auto norms = (*reader)->fieldnorm_reader(f.body);
  ASSERT_TRUE(norms && norms->has_value());
  EXPECT_EQ((*norms)->fieldnorm(0), 4u);
  auto inv = (*reader)->inverted_index(f.body);
  auto info = (*inv)->terms().get(std::span((const uint8_t*)"a", 1));
  ASSERT_TRUE(info && info->has_value());
  auto p = (*inv)->read_postings(**info, schema::RecordOption::WithFreqsAndPositions);
  ASSERT_TRUE(p);
  std::vector<uint32_t> positions;
  ASSERT_TRUE(p->positions(positions));
  ASSERT_EQ(positions.size(), 2u);
  EXPECT_EQ(positions[0], 0u);
  EXPECT_GT(positions[1], 2u);  // after "a b" and the gap between values
}

}  // namespace
}  // namespace fendral::indexer
