#include <gtest/gtest.h>

#include "fulltext/directory/ram_directory.h"
#include "fulltext/fieldnorm/fieldnorms_writer.h"
#include "fulltext/index/inverted_index_reader.h"
#include "fulltext/indexer/segment_serializer.h"
#include "fulltext/postings/serialize_postings.h"

namespace fendral::indexer {
namespace {

index::FendralIndex make_index(schema::Schema schema) {
  auto dir = ManagedDirectory::wrap(std::make_unique<RamDirectory>());
  EXPECT_TRUE(dir);
  index::IndexSettings settings;
  settings.docstore_compress_dedicated_thread = false;
  auto idx = index::FendralIndex::create(*dir, std::move(schema), settings);
  EXPECT_TRUE(idx);
  return std::move(*idx);
}

std::vector<uint8_t> body(const index::FendralIndex& idx, const index::SegmentMeta& seg, index::SegmentComponent c) {
  auto slice = idx.directory().open_read(seg.relative_path(c));
  EXPECT_TRUE(slice);
  auto bytes = slice->read_all();
  return std::vector<uint8_t>(bytes->data(), bytes->data() + bytes->len());
}

TEST(CompositeTable, ThreeFieldsWithTheirOffsetDeltas) {
  std::vector<uint8_t> out;
  CompositeWrite w(std::make_unique<VecWriter>(&out));
  ASSERT_TRUE(w.for_field(4).write_all(std::vector<uint8_t>(10, 1)));
  ASSERT_TRUE(w.for_field(5).write_all(std::vector<uint8_t>(15, 2)));
  ASSERT_TRUE(w.for_field(9).write_all(std::vector<uint8_t>(15, 3)));
  ASSERT_TRUE(w.close());
  std::vector<uint8_t> table = {0x83, 0x80, 4, 0, 0, 0, 0x80, 0x8A, 5, 0, 0, 0, 0x80, 0x8F, 9, 0, 0, 0, 0x80};
  ASSERT_EQ(out.size(), 40 + table.size() + 4);
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + 40, out.end() - 4), table);
  EXPECT_EQ(out[out.size() - 4], table.size());
}

TEST(SegmentSerializer, SegmentWithoutIndexedFieldsHasEmptyComposites) {
  schema::SchemaBuilder b;
  b.add_field({"raw", schema::FieldType::str(schema::TextOptions{})});
  auto idx = make_index(b.build());
  auto seg = idx.new_segment_meta();
  auto s = SegmentSerializer::open(idx, seg);
  ASSERT_TRUE(s) << s.error().display();
  ASSERT_TRUE(fieldnorm::FieldNormsWriter(idx.schema()).serialize(*(*s)->take_field_norms()));
  EXPECT_FALSE((*s)->take_field_norms().has_value());
  ASSERT_TRUE(SegmentSerializer::close(std::move(*s)));
  for (auto c : {index::SegmentComponent::Terms, index::SegmentComponent::Postings,
                 index::SegmentComponent::Positions, index::SegmentComponent::FieldNorms}) {
    EXPECT_EQ(body(idx, seg, c), (std::vector<uint8_t>{0x80, 1, 0, 0, 0}));
  }
  EXPECT_EQ(body(idx, seg, index::SegmentComponent::Store).size(), 29u);
}

std::shared_ptr<const index::InvertedIndexReader> open_field(const index::FendralIndex& idx,
                                                             const index::SegmentMeta& seg, schema::Field f,
                                                             schema::RecordOption option) {
  auto file = [&](index::SegmentComponent c) {
    auto slice = idx.directory().open_read(seg.relative_path(c));
    EXPECT_TRUE(slice);
    auto comp = CompositeFile::open(*slice);
    EXPECT_TRUE(comp);
    auto sub = comp->open_read(f);
    EXPECT_TRUE(sub.has_value());
    return *sub;
  };
  auto r = index::InvertedIndexReader::open(file(index::SegmentComponent::Terms),
                                            file(index::SegmentComponent::Postings),
                                            file(index::SegmentComponent::Positions), option);
  EXPECT_TRUE(r) << r.error().display();
  return *r;
}

// Indexes two documents through the postings writers and reads them back.
TEST(SegmentSerializer, PostingsWritersToInvertedIndexReader) {
  schema::SchemaBuilder b;
  schema::TextOptions text;
  text.indexing = schema::TextFieldIndexing{};
  text.indexing->record = schema::RecordOption::WithFreqsAndPositions;
  auto body_field = b.add_field({"body", schema::FieldType::str(text)});
  schema::JsonObjectOptions json;
  json.indexing = schema::TextFieldIndexing{};
  auto json_field = b.add_field({"attrs", schema::FieldType::json_object(json)});
  auto idx = make_index(b.build());
  auto seg = idx.new_segment_meta().with_max_doc(2);

  std::vector<std::unique_ptr<postings::PostingsWriter>> writers;
  for (const auto& e : idx.schema().fields()) writers.push_back(postings::make_postings_writer(e));
  postings::IndexingContext ctx(1 << 10);
  fieldnorm::FieldNormsWriter norms(idx.schema());
  auto analyzer = tokenizer::whitespace_analyzer();
  const char* texts[] = {"a b a", "b c"};
  for (uint32_t doc = 0; doc < 2; ++doc) {
    postings::IndexingTerm term(body_field);
    postings::IndexingPosition pos;
    auto stream = analyzer.token_stream(texts[doc]);
    ASSERT_TRUE(writers[body_field]->index_text(doc, *stream, term, ctx, pos));
    norms.record(doc, body_field, pos.num_tokens);
  }
  // JSON field: at path "k", the integer 1 and the text "one".
  uint32_t path = ctx.path_to_unordered_id.get_or_allocate_unordered_id("k");
  postings::IndexingTerm jterm(json_field);
  uint8_t header[] = {0, 0, 0, static_cast<uint8_t>(path), 'i'};
  jterm.append_bytes(header);
  jterm.append_bytes(std::vector<uint8_t>{0x80, 0, 0, 0, 0, 0, 0, 1});
  ASSERT_TRUE(writers[json_field]->subscribe(1, 0, jterm, ctx));
  postings::IndexingTerm stext(json_field);
  uint8_t sheader[] = {0, 0, 0, static_cast<uint8_t>(path), 's'};
  stext.append_bytes(sheader);
  postings::IndexingPosition jpos;
  auto stream = analyzer.token_stream("one");
  ASSERT_TRUE(writers[json_field]->index_text(1, *stream, stext, ctx, jpos));
  norms.pad_to_doc_count(2);

  auto s = SegmentSerializer::open(idx, seg);
  ASSERT_TRUE(s);
  std::vector<uint8_t> norm_bytes;
  ASSERT_TRUE(norms.serialize(CompositeWrite(std::make_unique<VecWriter>(&norm_bytes))));
  (*s)->take_field_norms();
  auto readers = fieldnorm::FieldNormReaders::open(FileSlice(OwnedBytes::from_vector(norm_bytes)));
  ASSERT_TRUE(readers);
  ASSERT_TRUE(postings::serialize_postings(ctx, idx.schema(), writers, *readers, (*s)->inverted_index()));
  ASSERT_TRUE(SegmentSerializer::close(std::move(*s)));

  auto inv = open_field(idx, seg, body_field, schema::RecordOption::WithFreqsAndPositions);
  EXPECT_EQ(inv->total_num_tokens(), 5u);
  EXPECT_EQ(inv->terms().num_terms(), 3u);
  auto a = inv->terms().get(std::span((const uint8_t*)"a", 1));
  ASSERT_TRUE(a && a->has_value());
  auto p = inv->read_postings(**a, schema::RecordOption::WithFreqsAndPositions);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->doc(), 0u);
  EXPECT_EQ(p->term_freq(), 2u);
  std::vector<uint32_t> positions;
  ASSERT_TRUE(p->positions(positions));
  EXPECT_EQ(positions, (std::vector<uint32_t>{0, 2}));
  EXPECT_EQ(p->advance(), postings::TERMINATED);

  auto jinv = open_field(idx, seg, json_field, schema::RecordOption::Basic);
  EXPECT_EQ(jinv->total_num_tokens(), 2u);
  // "k\0" + 'i' + value sorts before "k\0" + 's' + "one".
  std::vector<uint8_t> int_key = {'k', 0, 'i', 0x80, 0, 0, 0, 0, 0, 0, 1};
  std::vector<uint8_t> text_key = {'k', 0, 's', 'o', 'n', 'e'};
  auto ord_i = jinv->terms().term_ord(int_key);
  auto ord_s = jinv->terms().term_ord(text_key);
  ASSERT_TRUE(ord_i && ord_i->has_value() && ord_s && ord_s->has_value());
  EXPECT_EQ(**ord_i, 0u);
  EXPECT_EQ(**ord_s, 1u);
}

TEST(InvertedIndexReader, RefusesOtherDictionaryKinds) {
  for (uint32_t kind : {2u, 7u}) {
    std::vector<uint8_t> terms(40, 0);
    std::memcpy(terms.data() + 36, &kind, 4);
    auto r = index::InvertedIndexReader::open(FileSlice(OwnedBytes::from_vector(terms)),
                                              FileSlice(OwnedBytes::from_vector(std::vector<uint8_t>(8, 0))),
                                              FileSlice(), schema::RecordOption::Basic);
    ASSERT_FALSE(r);
    EXPECT_EQ(std::get<IoError>(r.error().payload()).display(),
              kind == 2 ? "Unsupported dictionary type, compiled Fendral with Fst, but got SSTable"
                        : "Unsupported dictionary type, found 7");
  }
  auto short_terms = index::InvertedIndexReader::open(FileSlice(OwnedBytes::from_vector({1, 0})), FileSlice(),
                                                      FileSlice(), schema::RecordOption::Basic);
  ASSERT_FALSE(short_terms);
  EXPECT_EQ(std::get<IoError>(short_terms.error().payload()).display(), "failed to fill whole buffer");
}

}  // namespace
}  // namespace fendral::indexer
