// Deletes applied to a new segment by opstamp, and the delete file's body.
#include <gtest/gtest.h>

#include "fulltext/indexer/apply_deletes.h"
#include "fulltext/indexer/delete_queue.h"
#include "fulltext/query/term_query.h"
#include "segment_search_fixture.h"

namespace fendral::indexer {
namespace {

DeleteOperation delete_x(const schema::Schema& schema, uint64_t opstamp) {
  query::TermQuery q(schema::Term::from_field_text(0, "x"), schema::RecordOption::Basic);
  auto weight = q.specialized_weight(query::ScoringMode::disabled(schema));
  EXPECT_TRUE(weight);
  return {opstamp, std::shared_ptr<const query::Weight>(std::move(*weight))};
}

// Documents added at opstamps 10, 12 and 13, all holding "x"; a delete of
// "x" at 11 reaches only the first; the delete at 14 stays ahead.
TEST(ApplyDeletes, ReachesOnlyDocumentsAddedBefore) {
  auto f = testing::SearchFixture::create();
  auto w = SegmentWriter::create(20'000'000, f.index, f.index.new_segment_meta());
  ASSERT_TRUE(w);
  for (uint64_t opstamp : {10, 12, 13}) ASSERT_TRUE((*w)->add_document({opstamp, f.doc(opstamp, "x")}));
  auto meta = (*w)->segment().with_max_doc(3);
  auto opstamps = SegmentWriter::finalize(std::move(*w));
  ASSERT_TRUE(opstamps);
  EXPECT_EQ(*opstamps, (std::vector<uint64_t>{10, 12, 13}));

  DeleteQueue queue;
  DeleteCursor cursor = queue.cursor();
  queue.push(delete_x(f.index.schema(), 11));
  queue.push(delete_x(f.index.schema(), 14));
  auto alive = apply_deletes(f.index, meta, cursor, *opstamps);
  ASSERT_TRUE(alive) << alive.error().display();
  ASSERT_TRUE(alive->has_value());
  EXPECT_FALSE((*alive)->contains(0));
  EXPECT_TRUE((*alive)->contains(1));
  EXPECT_TRUE((*alive)->contains(2));
  EXPECT_EQ((*alive)->len(), 2u);
  ASSERT_NE(cursor.get(), nullptr);
  EXPECT_EQ(cursor.get()->opstamp, 14u);

  // Deletes that reach only younger documents give no bitset and are passed.
  DeleteQueue young;
  DeleteCursor young_cursor = young.cursor();
  young.push(delete_x(f.index.schema(), 5));
  auto none = apply_deletes(f.index, meta, young_cursor, *opstamps);
  ASSERT_TRUE(none);
  EXPECT_FALSE(none->has_value());
  EXPECT_EQ(young_cursor.get(), nullptr);
}

// 130 documents: u32 max_doc and three words (28 bytes); the bits past the
// last document are 0.
TEST(AliveBitSet, DeleteFileBody) {
  AliveBitSet alive(130);
  alive.remove(0);
  alive.remove(129);
  auto body = alive.serialize();
  ASSERT_EQ(body.size(), 28u);
  EXPECT_EQ(std::vector<uint8_t>(body.begin(), body.begin() + 4), (std::vector<uint8_t>{130, 0, 0, 0}));
  uint64_t last = 0;
  for (int i = 0; i < 8; ++i) last |= uint64_t{body[20 + i]} << (8 * i);
  EXPECT_EQ(last, 0b01u) << "bit 128 alive, 129 deleted, 130..191 clear";
  EXPECT_EQ(body[4], 0xFE);
  EXPECT_EQ(alive.len(), 128u);
}

}  // namespace
}  // namespace fendral::indexer
