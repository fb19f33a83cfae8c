// A small index for search tests: "body" (text with frequencies and
// positions, stored) and "id" (indexed u64, stored), on a RAM directory.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fulltext/core/searcher.h"
#include "fulltext/directory/ram_directory.h"
#include "fulltext/index/segment_reader.h"
#include "fulltext/indexer/segment_writer.h"

namespace fendral::testing {

struct SearchFixture {
  index::FendralIndex index;
  schema::Field body;
  schema::Field id;

  static schema::Schema make_schema() { return schema_builder().build(); }

  // "body" and "id"; callers may add fields after them.
  static schema::SchemaBuilder schema_builder() {
    schema::SchemaBuilder b;
    schema::TextOptions text;
    text.indexing = schema::TextFieldIndexing{};
    text.indexing->record = schema::RecordOption::WithFreqsAndPositions;
    text.stored = true;
    b.add_field({"body", schema::FieldType::str(text)});
    schema::NumericOptions num;
    num.indexed = true;
    num.stored = true;
    b.add_field({"id", schema::FieldType::u64(num)});
    return b;
  }

  // `schema` starts with "body" and "id" (see schema_builder).
  static SearchFixture create(schema::Schema schema = make_schema()) {
    auto dir = ManagedDirectory::wrap(std::make_unique<RamDirectory>());
    EXPECT_TRUE(dir);
    index::IndexSettings settings;
    settings.docstore_compress_dedicated_thread = false;
    auto idx = index::FendralIndex::create(*dir, std::move(schema), settings);
    EXPECT_TRUE(idx);
    return SearchFixture{std::move(*idx), 0, 1};
  }

  schema::CompactDoc doc(uint64_t id_value, const std::string& text) const {
    schema::CompactDoc d;
    EXPECT_TRUE(d.add_field_value(id, schema::OwnedValue(id_value)));
    EXPECT_TRUE(d.add_field_value(body, schema::OwnedValue(text)));
    return d;
  }

  // Writes one segment of the given texts (ids 0, 1, ...); returns its meta.
  index::SegmentMeta write_segment(const std::vector<std::string>& texts, uint64_t first_id = 0) const {
    std::vector<schema::CompactDoc> docs;
    for (size_t i = 0; i < texts.size(); ++i) docs.push_back(doc(first_id + i, texts[i]));
    return write_docs(std::move(docs));
  }

  index::SegmentMeta write_docs(std::vector<schema::CompactDoc> docs) const {
    auto w = indexer::SegmentWriter::create(20'000'000, index, index.new_segment_meta());
    EXPECT_TRUE(w) << w.error().display();
    for (size_t i = 0; i < docs.size(); ++i) {
      EXPECT_TRUE((*w)->add_document({i, std::move(docs[i])}));
    }
    auto meta = (*w)->segment().with_max_doc((*w)->max_doc());
    auto ops = indexer::SegmentWriter::finalize(std::move(*w));
    EXPECT_TRUE(ops) << ops.error().display();
    return meta;
  }

  // `alive`, when given, holds one alive list per segment (empty: no deletes).
  std::shared_ptr<const core::Searcher> searcher(const std::vector<index::SegmentMeta>& metas,
                                                 const std::vector<std::vector<uint32_t>>& alive = {}) const {
    std::vector<std::shared_ptr<const index::SegmentReader>> readers;
    for (size_t i = 0; i < metas.size(); ++i) {
      const auto& m = metas[i];
      Result<std::shared_ptr<const index::SegmentReader>> r = fail(FendralError::invalid_argument("unset"));
      if (i < alive.size() && !alive[i].empty()) {
        BitSetBuilder bits(m.max_doc());
        for (uint32_t d : alive[i]) bits.insert(d);
        auto set = index::read_alive_bitset(OwnedBytes::from_vector(bits.serialize()), m.max_doc());
        EXPECT_TRUE(set);
        r = index::SegmentReader::open(index, m, std::move(*set));
      } else {
        r = index::SegmentReader::open(index, m);
      }
      EXPECT_TRUE(r) << r.error().display();
      readers.push_back(*r);
    }
    auto s = core::Searcher::create(index.schema(), std::move(readers), 0);
    EXPECT_TRUE(s);
    return *s;
  }

  uint64_t stored_id(const core::Searcher& s, core::DocAddress a) const {
    auto d = s.doc(a);
    EXPECT_TRUE(d) << d.error().display();
    auto values = d->field_values();
    for (const auto& [f, v] : *values) {
      if (f == id) return std::get<uint64_t>(v.v);
    }
    ADD_FAILURE() << "no id stored";
    return ~0ull;
  }
};

}  // namespace fendral::testing
