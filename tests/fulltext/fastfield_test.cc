#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fulltext/columnar/reader/columnar_reader.h"
#include "fulltext/fastfield/fast_fields_writer.h"

namespace fendral::fastfield {
namespace {

using namespace fendral::schema;
using columnar::Cardinality;
using columnar::ColumnarReader;
using columnar::ColumnType;

struct Fixture {
  Schema schema;
  Field title, tags, when, attrs, dotted, nums, label;

  Fixture() {
    SchemaBuilder b;
    TextOptions raw;
    raw.fast.with_tokenizer = "raw";
    title = b.add_field({"title", FieldType::str(raw)});
    TextOptions split;
    split.fast.with_tokenizer = "default";
    tags = b.add_field({"tags", FieldType::str(split)});
    DateOptions date;
    date.fast = true;
    date.precision = DateResolution::Seconds;
    when = b.add_field({"when", FieldType::date(date)});
    JsonObjectOptions json;
    json.fast.enabled = true;
    attrs = b.add_field({"attrs", FieldType::json_object(json)});
    json.expand_dots_enabled = true;
    dotted = b.add_field({"dotted", FieldType::json_object(json)});
    NumericOptions fast;
    fast.fast = true;
    nums = b.add_field({"nums", FieldType::u64(fast)});
    label = b.add_field({"label", FieldType::str(TextOptions{})});
    schema = b.build();
  }
};

ColumnarReader write(FastFieldsWriter& w, uint32_t num_docs, std::vector<uint8_t>& bytes) {
  VecWriter out(&bytes);
  EXPECT_TRUE(w.serialize(num_docs, out).has_value());
  return *ColumnarReader::open(FileSlice(OwnedBytes::copy_of(bytes)));
}

OwnedValue obj(std::string key, OwnedValue v) { return OwnedObject{{std::move(key), std::move(v)}}; }

TEST(FastFieldsWriter, RecordsFieldsByKind) {
  Fixture f;
  auto w = FastFieldsWriter::from_schema(f.schema, tokenizer::TokenizerManager::default_manager());
  ASSERT_TRUE(w.has_value());
  ASSERT_TRUE(w->add_doc_value(0, f.title, OwnedValue("Hello World")));
  ASSERT_TRUE(w->add_doc_value(0, f.tags, OwnedValue("red green")));
  ASSERT_TRUE(w->add_doc_value(0, f.when, OwnedValue(DateValue{1500000000})));
  ASSERT_TRUE(w->add_doc_value(1, f.when, OwnedValue(DateValue{-1500000000})));
  ASSERT_TRUE(w->add_doc_value(0, f.nums, OwnedValue(OwnedArray{uint64_t{1}, uint64_t{2}, uint64_t{3}})));
  ASSERT_TRUE(w->add_doc_value(0, f.label, OwnedValue("not fast")));
  ASSERT_TRUE(w->add_doc_value(0, f.attrs, obj("a", obj("b", uint64_t{1}))));
  ASSERT_TRUE(w->add_doc_value(0, f.attrs, obj("k", int64_t{5})));
  ASSERT_TRUE(w->add_doc_value(1, f.attrs, obj("k", OwnedValue("five"))));
  ASSERT_TRUE(w->add_doc_value(1, f.attrs, obj("a.b", uint64_t{2})));
  ASSERT_TRUE(w->add_doc_value(1, f.attrs, obj(std::string("z\0z", 3), uint64_t{2})));
  ASSERT_TRUE(w->add_doc_value(0, f.dotted, obj("a.b", uint64_t{1})));
  ASSERT_TRUE(w->add_doc_value(1, f.attrs, obj("fb", FacetValue{"/x"})));
  std::vector<uint8_t> bytes;
  ColumnarReader r = write(*w, 2, bytes);

  auto title = std::get<columnar::StrColumn>(*(*r.read_columns("title"))[0].open());
  EXPECT_EQ(title.dictionary->num_terms(), 1u);
  auto tags = std::get<columnar::StrColumn>(*(*r.read_columns("tags"))[0].open());
  EXPECT_EQ(tags.ords.index.cardinality(), Cardinality::Multivalued);
  auto when = std::get<columnar::Column<columnar::DateTime>>(*(*r.read_columns("when"))[0].open());
  EXPECT_EQ(when.values->get_val(0).nanos, 1000000000);
  EXPECT_EQ(when.values->get_val(1).nanos, -1000000000);
  auto nums = (*r.read_columns("nums"))[0];
  EXPECT_EQ(dynamic_column_index(*nums.open()).cardinality(), Cardinality::Multivalued);
  EXPECT_TRUE(r.read_columns("label")->empty());
  EXPECT_EQ(r.read_columns("attrs\x01" "a\x01" "b")->size(), 1u);
  EXPECT_EQ(r.read_columns("attrs\x01" "a.b")->size(), 1u);
  EXPECT_EQ(r.read_columns("dotted\x01" "a\x01" "b")->size(), 1u);
  auto k = *r.read_columns("attrs\x01k");
  ASSERT_EQ(k.size(), 2u);
  EXPECT_EQ(k[0].column_type(), ColumnType::I64);
  EXPECT_EQ(k[1].column_type(), ColumnType::Str);
  auto all = r.list_columns();
  for (const auto& c : *all) EXPECT_EQ(c.name.find('\0'), std::string::npos);
  EXPECT_TRUE(r.read_columns("attrs\x01" "fb")->empty());
}

TEST(FastFieldsWriter, JsonDepthBudget) {
  Fixture f;
  auto w = FastFieldsWriter::from_schema(f.schema, tokenizer::TokenizerManager::default_manager());
  // Value 19 levels below the top-level object: recorded; 20: left out.
  auto nested = [](int levels) {
    OwnedValue v = uint64_t{7};
    for (int i = 0; i < levels; ++i) v = obj("n", std::move(v));
    return obj("top", std::move(v));
  };
  ASSERT_TRUE(w->add_doc_value(0, f.attrs, nested(19)));
  ASSERT_TRUE(w->add_doc_value(1, f.dotted, nested(20)));
  std::vector<uint8_t> bytes;
  ColumnarReader r = write(*w, 2, bytes);
  auto cols = r.list_columns();
  std::vector<std::string> json;
  for (const auto& c : *cols) {
    if (c.name.find('\x01') != std::string::npos) json.push_back(c.name.substr(0, c.name.find('\x01')));
  }
  EXPECT_EQ(json, std::vector<std::string>{"attrs"});
}

TEST(FastFieldsWriter, MissingTokenizerIsAnError) {
  SchemaBuilder b;
  TextOptions o;
  o.fast.with_tokenizer = "nope";
  b.add_field({"t", FieldType::str(o)});
  auto w = FastFieldsWriter::from_schema(b.build(), tokenizer::TokenizerManager::default_manager());
  ASSERT_FALSE(w.has_value());
  EXPECT_EQ(w.error().display(), "An invalid argument was passed: 'Tokenizer \"nope\" not found'");
}

}  // namespace
}  // namespace fendral::fastfield
