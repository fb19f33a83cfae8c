// meta.json: its written form (checked against Python's json.dumps), its
// reading rules, the schema's JSON form, segment ids and file names.
#include <gtest/gtest.h>

#include "fulltext/directory/ram_directory.h"
#include "fulltext/index/index.h"
#include "fulltext/index/index_meta.h"
#include "fulltext/schema/schema_json.h"
#include "tests/support/bytes.h"
#include "tests/support/python.h"

namespace fendral::index {
namespace {

using namespace fendral::schema;

using zudizid::testing::bytes_of;

Schema full_schema() {
  SchemaBuilder b;
  TextOptions text;
  text.indexing = TextFieldIndexing{RecordOption::WithFreqsAndPositions, true, "en_stem"};
  text.stored = true;
  b.add_field(FieldEntry{"content", FieldType::str(text)});
  TextOptions raw;
  raw.fast.with_tokenizer = "raw";
  raw.coerce = true;
  b.add_field(FieldEntry{"node_id", FieldType::str(raw)});
  b.add_field(FieldEntry{"count", FieldType::u64(NumericOptions{true, true, true, false, true})});
  b.add_field(FieldEntry{"delta", FieldType::i64(NumericOptions{false, false, false, true, false})});
  b.add_field(FieldEntry{"score", FieldType::f64(NumericOptions{true, false, true, true, false})});
  b.add_field(FieldEntry{"flag", FieldType::boolean(NumericOptions{true, true, false, false, false})});
  b.add_field(FieldEntry{"when", FieldType::date(DateOptions{true, true, true, true, DateResolution::Microseconds})});
  b.add_field(FieldEntry{"cat", FieldType::facet(FacetOptions{true})});
  b.add_field(FieldEntry{"blob", FieldType::bytes(BytesOptions{true, false, true, true})});
  JsonObjectOptions js;
  js.stored = true;
  js.fast.enabled = true;
  js.expand_dots_enabled = true;
  b.add_field(FieldEntry{"attrs", FieldType::json_object(js)});
  JsonObjectOptions js2;
  js2.indexing = TextFieldIndexing{RecordOption::WithFreqs, false, "default"};
  b.add_field(FieldEntry{"more", FieldType::json_object(js2)});
  b.add_field(FieldEntry{"ip", FieldType::ip_addr(IpAddrOptions{true, true, true, false})});
  return b.build();
}

std::string python_dumps(const std::string& text) {
  zudizid::testing::TempDir dir;
  zudizid::testing::write_file(dir.path() / "meta.json", text);
  bool ok = false;
  std::string out = zudizid::testing::run_python(
      "import json, sys\n"
      "sys.stdout.write(json.dumps(json.load(open(sys.argv[1])), indent=2) + '\\n')\n",
      (dir.path() / "meta.json").string(), &ok);
  EXPECT_TRUE(ok);
  return out;
}

TEST(IndexMeta, WrittenFormEqualsPythonIndentTwo) {
  auto inventory = SegmentMetaInventory::create();
  IndexMeta meta;
  meta.index_settings.docstore_compress_dedicated_thread = false;
  meta.index_settings.docstore_blocksize = 1 << 20;
  auto id = zudizid::common::Uuid::parse("0123456789abcdef0123456789abcdef").value();
  meta.segments.push_back(inventory->new_segment_meta(SegmentId(id), 12));
  meta.segments.push_back(inventory->new_segment_meta(SegmentId::generate_random(), 7).with_delete_meta(2, 99));
  meta.schema = full_schema();
  meta.opstamp = 18446744073709551615ull;
  meta.payload = "tab\there \"quoted\" \\ \x01";
  std::string text = meta_json_text(meta);
  EXPECT_EQ(text, python_dumps(text));
  EXPECT_NE(text.find("\"segment_id\": \"01234567-89ab-cdef-0123-456789abcdef\""), std::string::npos);

  // Empty lists, absent payload, default settings.
  IndexMeta empty;
  empty.schema = SchemaBuilder().build();
  std::string small = meta_json_text(empty);
  EXPECT_EQ(small, python_dumps(small));
  EXPECT_EQ(small,
            "{\n  \"index_settings\": {\n    \"docstore_compression\": \"lz4\",\n    \"docstore_blocksize\": 16384\n"
            "  },\n  \"segments\": [],\n  \"schema\": [],\n  \"opstamp\": 0\n}\n");
}

TEST(IndexMeta, RoundTripsThroughTheDirectory) {
  RamDirectory dir;
  auto inventory = SegmentMetaInventory::create();
  IndexMeta meta;
  meta.schema = full_schema();
  meta.segments.push_back(inventory->new_segment_meta(SegmentId::generate_random(), 3));
  meta.opstamp = 42;
  ASSERT_TRUE(save_metas(meta, dir).has_value());
  auto loaded = load_metas(dir, inventory);
  ASSERT_TRUE(loaded.has_value()) << loaded.error().display();
  EXPECT_EQ(loaded->schema, meta.schema);
  EXPECT_EQ(loaded->opstamp, 42u);
  EXPECT_FALSE(loaded->payload.has_value());
  ASSERT_EQ(loaded->segments.size(), 1u);
  EXPECT_EQ(loaded->segments[0].id(), meta.segments[0].id());
  EXPECT_EQ(inventory->all().size(), 2u);  // the saved meta's and the loaded one's
  meta.segments.clear();
  loaded->segments.clear();
  EXPECT_EQ(inventory->all().size(), 0u);
  EXPECT_TRUE(check_schema(full_schema(), loaded->schema).has_value());
  EXPECT_EQ(check_schema(SchemaBuilder().build(), loaded->schema).error().display(),
            "Schema error: 'An index exists but the schema does not match.'");
}

Result<IndexMeta> load_text(const std::string& text) {
  RamDirectory dir;
  EXPECT_TRUE(dir.atomic_write("meta.json", bytes_of(text)).has_value());
  return load_metas(dir, SegmentMetaInventory::create());
}

std::string error_of(const std::string& text) {
  auto r = load_text(text);
  return r ? std::string("<ok>") : r.error().display();
}

TEST(IndexMeta, ReadingRules) {
  const std::string tail = R"("schema":[],"opstamp":3})";
  auto ok = load_text(R"({"segments":[],"unknown":{"x":[1]},)" + tail);
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(ok->index_settings, IndexSettings{});
  auto null_payload = load_text(R"({"segments":[],"payload":null,)" + tail);
  EXPECT_FALSE(null_payload->payload.has_value());
  auto seg = load_text(R"({"segments":[{"segment_id":"{0123456789ABCDEF0123456789ABCDEF}","max_doc":4294967295,)"
                       R"("deletes":{"opstamp":9,"num_deleted_docs":1}}],)" + tail);
  ASSERT_TRUE(seg.has_value()) << seg.error().display();
  EXPECT_EQ(seg->segments[0].id().uuid_string(), "0123456789abcdef0123456789abcdef");
  EXPECT_EQ(seg->segments[0].delete_opstamp(), 9u);
  auto urn = load_text(R"({"segments":[{"segment_id":"urn:uuid:01234567-89ab-cdef-0123-456789abcdef","max_doc":1}],)" + tail);
  ASSERT_TRUE(urn.has_value());
  EXPECT_EQ(urn->segments[0].id(), seg->segments[0].id());

  struct Case {
    std::string text;
    std::string needle;
  } cases[] = {
      {R"({"index_settings":{"docstore_compression":"zstd"},"segments":[],)" + tail,
       "unsupported variant `zstd`, please enable Fendral's `zstd-compression` feature"},
      {R"({"index_settings":{"docstore_compression":"brotli"},"segments":[],)" + tail,
       "unknown variant `brotli`, expected `none` or `lz4`"},
      {R"({"segments":[],"opstamp":1,"opstamp":2,"schema":[]})", "duplicate field `opstamp`"},
      {R"({"segments":[],"schema":[]})", "missing field `opstamp`"},
      {R"({"segments":[{"segment_id":"0123456789abcdef0123456789abcdef","max_doc":4294967296}],)" + tail,
       "invalid value: integer `4294967296`, expected u32"},
      {R"({"segments":[{"segment_id":"0123456789abcdef0123456789abcdef","max_doc":-1}],)" + tail,
       "invalid value: integer `-1`, expected u32"},
      {R"({"segments":[{"segment_id":"nope","max_doc":1}],)" + tail, "Meta file cannot be deserialized. Error("},
      {R"({"segments":[{"segment_id":"0123456789abcdef0123456789abcdef","max_doc":1,"deletes":{"opstamp":1}}],)" + tail,
       "missing field `num_deleted_docs`"},
      {R"({"segments":[],)" + tail + " x", "trailing characters"},
      {R"({"segments":{},)" + tail, "invalid type: map, expected a sequence"},
      {R"({"segments":[1],)" + tail, "invalid type: integer `1`, expected struct InnerSegmentMeta"},
  };
  for (const auto& c : cases) {
    std::string e = error_of(c.text);
    EXPECT_NE(e.find(c.needle), std::string::npos) << e;
    EXPECT_EQ(e.rfind("Data corrupted: 'Data corruption (in file `\"meta.json\"`): Meta file cannot be deserialized. "
                      "Error(",
                      0),
              0u)
        << e;
    EXPECT_NE(e.find(". Content: \""), std::string::npos) << e;
  }
  EXPECT_EQ(error_of("\xff{}"),
            "Data corrupted: 'Data corruption (in file `\"meta.json\"`): Meta file does not contain valid utf8 file..'");
  RamDirectory empty;
  auto missing = load_metas(empty, SegmentMetaInventory::create());
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().display(), "Failed to open file for read: 'FileDoesNotExist(\"meta.json\")'");
}

Result<Schema> schema_from(const std::string& text) {
  json_de::De de(text);
  auto s = read_schema(de);
  if (!s) return fail(FendralError::schema_error(s.error().to_string()));
  return *s;
}

std::string schema_text(const Schema& s) {
  std::string out;
  zudizid::common::json::Writer w(out);
  write_schema(w, s);
  return out;
}

TEST(SchemaJson, OptionsReadingRules) {
  auto u64 = schema_from(R"([{"name":"n","type":"u64","options":{"indexed":true,"stored":false}}])");
  ASSERT_TRUE(u64.has_value());
  auto o = *u64->get_field_entry(0).field_type.numeric_options();
  EXPECT_TRUE(o.fieldnorms);
  EXPECT_FALSE(o.fast);
  EXPECT_EQ(schema_text(*u64),
            R"([{"name":"n","type":"u64","options":{"indexed":true,"fieldnorms":true,"fast":false,"stored":false}}])");
  EXPECT_EQ(*schema_from(R"([{"name":"n","type":"u64","options":{"indexed":true,"fieldnorms":null,"stored":false}}])"),
            *u64);
  auto text = schema_from(R"([{"type":"text","options":{},"name":"t","comment":1}])");
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(schema_text(*text), R"([{"name":"t","type":"text","options":{"stored":false,"fast":false}}])");
  auto tok = schema_from(R"([{"name":"t","type":"text","options":{"indexing":{"tokenizer":"raw"},"fast":{"with_tokenizer":"x"}}}])");
  ASSERT_TRUE(tok.has_value());
  const auto* ix = tok->get_field_entry(0).field_type.text_indexing();
  EXPECT_EQ(ix->record, RecordOption::Basic);
  EXPECT_TRUE(ix->fieldnorms);
  EXPECT_EQ(std::get<TextOptions>(tok->get_field_entry(0).field_type.options()).fast.with_tokenizer, "x");
  auto arr = schema_from(R"([{"name":"n","type":"i64","options":[true,null,true,true]}])");
  ASSERT_TRUE(arr.has_value());
  auto date = schema_from(R"([{"name":"d","type":"date","options":{"indexed":true,"fieldnorms":false,"stored":true}}])");
  EXPECT_EQ(std::get<DateOptions>(date->get_field_entry(0).field_type.options()).precision, DateResolution::Seconds);
  auto json_entry = schema_from(R"([{"name":"j","type":"json_object","options":{"stored":true,"fast":false}}])");
  ASSERT_TRUE(json_entry.has_value());
  EXPECT_NE(schema_text(*json_entry).find(R"("indexing":null)"), std::string::npos);
  EXPECT_EQ(*schema_from(schema_text(*json_entry)), *json_entry);
  EXPECT_EQ(*schema_from(schema_text(full_schema())), full_schema());

  struct Case {
    std::string text;
    std::string needle;
  } cases[] = {
      {R"([{"name":"b","type":"bytes","options":{"indexed":true,"stored":true}}])", "missing field `fast`"},
      {R"([{"name":"d","type":"date","options":{"indexed":true,"stored":true}}])", "missing field `fieldnorms`"},
      {R"([{"name":"i","type":"ip_addr","options":{"stored":true}}])", "missing field `fast`"},
      {R"([{"name":"t","type":"text","options":{"fast":null}}])",
       "data did not match any variant of untagged enum FastFieldTextOptions"},
      {R"([{"name":"t","type":"text","options":{"fast":{}}}])",
       "data did not match any variant of untagged enum FastFieldTextOptions"},
      {R"([{"name":"d","type":"date","options":{"indexed":true,"fieldnorms":true,"stored":true,"precision":"minutes"}}])",
       "unknown variant `minutes`, expected one of `seconds`, `milliseconds`, `microseconds`, `nanoseconds`"},
      {R"([{"name":"s","type":"string","options":{}}])", "unknown variant `string`, expected one of `text`"},
      {R"([{"name":"n","type":"u64","options":[true]}])", "invalid length 1, expected struct NumericOptionsDeser with 5 elements"},
      {R"([{"name":"n","type":"u64","options":{"indexed":1,"stored":true}}])", "invalid type: integer `1`, expected a boolean"},
      {R"([{"name":"n","type":"u64","options":{"indexed":true,"indexed":true,"stored":true}}])", "duplicate field `indexed`"},
      {R"([{"type":"u64","options":{}}])", "missing field `name`"},
      {R"([{"name":"a","type":"facet","options":{"stored":true}},{"name":"a","type":"facet","options":{"stored":true}}])",
       "Field already exists in schema a"},
      // The list itself.
      {R"({"name":"a"})", "invalid type: map, expected a sequence"},
      {R"([)", "EOF while parsing a list"},
      {R"([{"name":"a","type":"facet","options":{"stored":true}} {}])", "expected `,` or `]`"},
      {R"([{"name":"a","type":"facet","options":{"stored":true}},])", "trailing comma"},
  };
  for (const auto& c : cases) {
    auto r = schema_from(c.text);
    ASSERT_FALSE(r.has_value()) << c.text;
    EXPECT_NE(r.error().text().find(c.needle), std::string::npos) << r.error().text();
  }
}

TEST(FendralIndex, CreateThenOpen) {
  auto managed = ManagedDirectory::wrap(std::make_unique<RamDirectory>()).value();
  auto created = FendralIndex::create(managed, full_schema(), IndexSettings{});
  ASSERT_TRUE(created.has_value()) << created.error().display();
  SegmentMeta fresh = created->new_segment_meta();
  EXPECT_EQ(fresh.max_doc(), 0u);
  EXPECT_EQ(created->inventory()->all().size(), 1u);
  EXPECT_EQ(FendralIndex::create(managed, full_schema(), IndexSettings{}).error().display(), "Index already exists");
  auto opened = FendralIndex::open(managed);
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(opened->schema(), full_schema());
  EXPECT_EQ(opened->load_metas().value().opstamp, 0u);
  EXPECT_TRUE(opened->tokenizers().get("en_stem").has_value());
  EXPECT_EQ(expect_schema(std::nullopt).error().display(),
            "Missing required index builder argument when open/create index: 'schema'");
}

TEST(SegmentMeta, FileNamesAndForms) {
  auto inventory = SegmentMetaInventory::create();
  auto id = SegmentId(zudizid::common::Uuid::parse("a1b2c3d4e5f60718293a4b5c6d7e8f90").value());
  SegmentMeta meta = inventory->new_segment_meta(id, 0).with_max_doc(10);
  EXPECT_EQ(meta.max_doc(), 10u);
  EXPECT_EQ(id.debug(), "Seg(\"a1b2c3d4\")");
  EXPECT_EQ(id.stored_form(), "a1b2c3d4-e5f6-0718-293a-4b5c6d7e8f90");
  std::set<std::string> files = meta.list_files();
  std::string stem = "a1b2c3d4e5f60718293a4b5c6d7e8f90";
  EXPECT_EQ(files, (std::set<std::string>{stem + ".idx", stem + ".pos", stem + ".fast", stem + ".fieldnorm",
                                          stem + ".term", stem + ".store", stem + ".0.del"}));
  EXPECT_EQ(meta.with_delete_meta(3, 17).relative_path(SegmentComponent::Delete), stem + ".17.del");
  EXPECT_THROW(meta.with_max_doc(3), ContractViolation);
  DeleteMeta dm{1, 2};
  EXPECT_EQ(dm.debug(), "DeleteMeta { num_deleted_docs: 1, opstamp: 2 }");
}

}  // namespace
}  // namespace fendral::index
