// Indexes of "body" (text) and "id" (indexed u64) documents for the reader
// and fault tests, with helpers to add ranges of ids and to count them.
#pragma once

#include <gtest/gtest.h>

#include "fulltext/core/index_reader.h"
#include "fulltext/indexer/index_writer.h"
#include "fulltext/query/term_query.h"
#include "segment_search_fixture.h"

namespace fendral::testing {

inline index::FendralIndex create_index(std::unique_ptr<Directory> directory) {
  auto dir = ManagedDirectory::wrap(std::move(directory));
  EXPECT_TRUE(dir);
  index::IndexSettings settings;
  settings.docstore_compress_dedicated_thread = false;
  auto idx = index::FendralIndex::create(*dir, SearchFixture::make_schema(), settings);
  EXPECT_TRUE(idx) << idx.error().display();
  return std::move(*idx);
}

// Adds the documents with ids [from, to); false when one is refused.
inline bool add_ids(indexer::IndexWriter& w, uint64_t from, uint64_t to) {
  for (uint64_t id = from; id < to; ++id) {
    schema::CompactDoc d;
    EXPECT_TRUE(d.add_field_value(1, schema::OwnedValue(id)));
    EXPECT_TRUE(d.add_field_value(0, schema::OwnedValue("word w" + std::to_string(id % 7))));
    if (!w.add_document(std::move(d))) return false;
  }
  return true;
}

// How many of the ids [from, to) the searcher holds.
inline uint64_t count_ids(const core::Searcher& s, uint64_t from, uint64_t to) {
  uint64_t n = 0;
  for (uint64_t id = from; id < to; ++id) {
    query::TermQuery q(schema::Term::from_field_u64(1, id), schema::RecordOption::Basic);
    auto c = s.count(q);
    EXPECT_TRUE(c) << c.error().display();
    n += c ? *c : 0;
  }
  return n;
}

}  // namespace fendral::testing
