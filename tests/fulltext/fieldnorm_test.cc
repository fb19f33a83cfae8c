#include <gtest/gtest.h>

#include "fulltext/fieldnorm/fieldnorm_code.h"
#include "fulltext/fieldnorm/fieldnorm_reader.h"
#include "fulltext/fieldnorm/fieldnorms_writer.h"
#include "fulltext/schema/schema.h"

namespace fendral::fieldnorm {
namespace {

TEST(FieldNorm, LengthTableRows) {
  struct Row {
    uint8_t id;
    uint32_t length;
  } rows[] = {{0, 0},        {23, 23},       {24, 24},        {31, 31},          {32, 32},           {40, 40},
              {41, 42},      {47, 54},       {48, 56},        {100, 3096},       {128, 32792},       {200, 16777240},
              {254, 1879048216}, {255, 2013265944}};
  for (auto r : rows) {
    EXPECT_EQ(length_of_id(r.id), r.length) << int(r.id);
    EXPECT_EQ(id_of_length(r.length), r.id) << r.length;
  }
  for (uint32_t l = 0; l <= 40; ++l) EXPECT_EQ(id_of_length(l), l);
  EXPECT_EQ(id_of_length(41), 40);
  EXPECT_EQ(id_of_length(42), 41);
  EXPECT_EQ(id_of_length(4294967295u), 255);
  EXPECT_EQ(id_of_length(2013265943u), 254);
  EXPECT_EQ(FieldNormReader::constant(10, 42).fieldnorm(3), 42u);
}

schema::Schema text_and_plain_schema() {
  schema::SchemaBuilder b;
  schema::TextOptions with_norms;
  with_norms.indexing = schema::TextFieldIndexing{};
  b.add_field({"body", schema::FieldType::str(with_norms)});
  b.add_field({"raw", schema::FieldType::str(schema::TextOptions{})});  // not indexed
  return b.build();
}

TEST(FieldNorm, WriterPadsAndRoundTripsThroughTheCompositeFile) {
  FieldNormsWriter w(text_and_plain_schema());
  w.record(0, 0, 7);
  w.record(5, 0, 3096);
  w.record(5, 1, 9);  // field without norms: ignored
  EXPECT_THROW(w.record(3, 0, 1), ContractViolation);
  w.pad_to_doc_count(8);
  ASSERT_EQ(w.buffer(0)->size(), 8u);
  EXPECT_EQ(w.buffer(1), nullptr);

  std::vector<uint8_t> file;
  ASSERT_TRUE(w.serialize(CompositeWrite(std::make_unique<VecWriter>(&file))));
  auto readers = FieldNormReaders::open(FileSlice(OwnedBytes::from_vector(file)));
  ASSERT_TRUE(readers);
  auto body = readers->get_field(0);
  ASSERT_TRUE(body && body->has_value());
  EXPECT_EQ((*body)->num_docs(), 8u);
  std::vector<uint8_t> ids;
  for (uint32_t d = 0; d < 8; ++d) ids.push_back((*body)->fieldnorm_id(d));
  EXPECT_EQ(ids, (std::vector<uint8_t>{7, 0, 0, 0, 0, 100, 0, 0}));
  EXPECT_EQ((*body)->fieldnorm(5), 3096u);
  auto raw = readers->get_field(1);
  ASSERT_TRUE(raw);
  EXPECT_FALSE(raw->has_value());
}

TEST(FieldNorm, SchemaWithoutNormsWritesAnEmptyComposite) {
  schema::SchemaBuilder b;
  b.add_field({"raw", schema::FieldType::str(schema::TextOptions{})});
  FieldNormsWriter w(b.build());
  std::vector<uint8_t> file;
  ASSERT_TRUE(w.serialize(CompositeWrite(std::make_unique<VecWriter>(&file))));
  EXPECT_EQ(file, (std::vector<uint8_t>{0x80, 1, 0, 0, 0}));
  auto readers = FieldNormReaders::open(FileSlice(OwnedBytes::from_vector(file)));
  ASSERT_TRUE(readers);
  EXPECT_FALSE(readers->get_field(0)->has_value());
}

}  // namespace
}  // namespace fendral::fieldnorm
