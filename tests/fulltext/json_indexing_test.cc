// JSON field indexing: the terms a value gives (path ids, type codes,
// images), text positions per path, refusal of values without a JSON term
// form, and JSON terms found by term queries after a segment is written.
#include <gtest/gtest.h>

#include <cmath>
#include <fmt/format.h>
#include <limits>
#include <set>

#include "fulltext/core/json_utils.h"
#include "fulltext/query/term_query.h"
#include "fulltext/tokenizer/tokenizer_manager.h"
#include "segment_search_fixture.h"

namespace fendral::core::json_utils {
namespace {

using schema::OwnedArray;
using schema::OwnedObject;
using schema::OwnedValue;

// Every term recorded in ctx as "path code:value": path segments joined by
// '/', the value as 16 hex digits or, for 's', the token text.
std::set<std::string> recorded_terms(const postings::IndexingContext& ctx) {
  auto ordered = ctx.path_to_unordered_id.ordered();
  std::vector<std::string> by_unordered(ordered.paths.size());
  for (size_t u = 0; u < by_unordered.size(); ++u) by_unordered[u] = ordered.paths[ordered.unordered_to_ordered[u]];
  std::set<std::string> out;
  for (auto [key, addr] : ctx.term_index.iter()) {
    uint32_t id = uint32_t{key[4]} << 24 | uint32_t{key[5]} << 16 | uint32_t{key[6]} << 8 | key[7];
    std::string path = by_unordered.at(id);
    for (char& c : path) c = c == '\x01' ? '/' : c;
    std::string value;
    if (key[8] == 's') {
      value.assign(key.begin() + 9, key.end());
    } else {
      for (size_t i = 9; i < key.size(); ++i) value += fmt::format("{:02x}", key[i]);
    }
    out.insert(fmt::format("{} {}:{}", path, static_cast<char>(key[8]), value));
  }
  return out;
}

struct Indexed {
  postings::IndexingContext ctx{1024};
  std::set<std::string> terms;
};

std::unique_ptr<Indexed> index_values(const std::vector<OwnedValue>& values, bool expand_dots) {
  schema::JsonObjectOptions o;
  o.indexing = schema::TextFieldIndexing{};
  o.indexing->record = schema::RecordOption::WithFreqsAndPositions;
  auto writer = postings::make_postings_writer({"j", schema::FieldType::json_object(o)});
  auto analyzer = tokenizer::TokenizerManager::default_manager().get("default");
  auto out = std::make_unique<Indexed>();
  postings::IndexingTerm term(0);
  JsonPathWriter path(expand_dots);
  IndexingPositionsPerPath positions;
  for (const auto& v : values) {
    path.clear();
    EXPECT_TRUE(index_json_value(0, v, *analyzer, term, path, *writer, out->ctx, positions));
    EXPECT_EQ(path.as_str(), "");
  }
  out->terms = recorded_terms(out->ctx);
  return out;
}

OwnedValue obj(std::string key, OwnedValue v) { return OwnedValue(OwnedObject{{std::move(key), std::move(v)}}); }

TEST(JsonIndexing, TermsOfValues) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* name;
    OwnedValue value;
    bool expand_dots;
    std::set<std::string> terms;
  } cases[] = {
      {"nested", obj("a", obj("b", int64_t{1})), false, {"a/b i:8000000000000001"}},
      {"dotted key, expanded", obj("a.b", uint64_t{1}), true, {"a/b i:8000000000000001"}},
      {"dotted key, kept", obj("a.b", int64_t{1}), false, {"a.b i:8000000000000001"}},
      {"array of mixed", obj("a", OwnedArray{int64_t{1}, "x"}), false, {"a i:8000000000000001", "a s:x"}},
      {"i64 max as u64", uint64_t{9'223'372'036'854'775'807u}, false, {" i:ffffffffffffffff"}},
      {"2^63 as u64", uint64_t{9'223'372'036'854'775'808u}, false, {" u:8000000000000000"}},
      {"negative", int64_t{-1}, false, {" i:7fffffffffffffff"}},
      {"fraction", 2.5, false, {" f:c004000000000000"}},
      {"integral float", 7.0, false, {" i:8000000000000007"}},
      {"negative zero", -0.0, false, {" i:8000000000000000"}},
      {"2^63 as float saturates", 9223372036854775808.0, false, {" i:ffffffffffffffff"}},
      {"2^64 as float saturates", 18446744073709551616.0, false, {" u:ffffffffffffffff"}},
      {"beyond u64", 1e20, false, {" f:c415af1d78b58c40"}},
      {"below i64", -1e19, false, {" f:3c1ea71b9f6ec2ff"}},
      {"nan", nan, false, {}},
      {"infinity", obj("a", -inf), false, {}},
      {"null", obj("a", OwnedValue()), false, {}},
      {"date truncated to seconds", obj("d", schema::DateValue{1'500'000'000}), false, {"d d:800000003b9aca00"}},
      {"bool", obj("o", true), false, {"o o:0000000000000001"}},
      {"key with NUL skipped with subtree",
       OwnedValue(OwnedObject{{std::string("a\0b", 3), obj("c", int64_t{1})}, {"c", int64_t{2}}}), false,
       {"c i:8000000000000002"}},
  };
  for (const auto& c : cases) {
    auto got = index_values({c.value}, c.expand_dots);
    EXPECT_EQ(got->terms, c.terms) << c.name;
    if (c.terms.empty()) EXPECT_EQ(got->ctx.path_to_unordered_id.len(), 0u) << c.name;
  }
}

TEST(JsonIndexing, PathIdsFollowFirstAppearance) {
  auto got = index_values({OwnedValue(OwnedObject{{"z", int64_t{1}}, {"a", int64_t{2}}}), obj("m", int64_t{3})},
                          false);
  auto& ids = got->ctx.path_to_unordered_id;
  EXPECT_EQ(ids.get_or_allocate_unordered_id("z"), 0u);
  EXPECT_EQ(ids.get_or_allocate_unordered_id("a"), 1u);
  EXPECT_EQ(ids.get_or_allocate_unordered_id("m"), 2u);
  EXPECT_EQ(ids.ordered().paths, (std::vector<std::string>{"a", "m", "z"}));
}

// A JSON field "attrs" (expand dots on) beside the fixture's body and id.
struct JsonFixture {
  testing::SearchFixture f;
  schema::Field attrs;

  static JsonFixture create() {
    auto b = testing::SearchFixture::schema_builder();
    schema::JsonObjectOptions o;
    o.stored = true;
    o.expand_dots_enabled = true;
    o.indexing = schema::TextFieldIndexing{};
    o.indexing->record = schema::RecordOption::WithFreqsAndPositions;
    b.add_field({"attrs", schema::FieldType::json_object(o)});
    auto dir = ManagedDirectory::wrap(std::make_unique<RamDirectory>());
    index::IndexSettings settings;
    settings.docstore_compress_dedicated_thread = false;
    auto idx = index::FendralIndex::create(*dir, b.build(), settings);
    EXPECT_TRUE(idx);
    return JsonFixture{testing::SearchFixture{std::move(*idx), 0, 1}, 2};
  }

  schema::CompactDoc doc(uint64_t id, OwnedValue attrs_value) const {
    schema::CompactDoc d;
    EXPECT_TRUE(d.add_field_value(f.id, OwnedValue(id)));
    EXPECT_TRUE(d.add_field_value(attrs, std::move(attrs_value)));
    return d;
  }

  schema::Term term(std::string_view path, std::string_view text) const {
    auto t = schema::append_json_value_to_term(schema::Term::from_field_json_path(attrs, path, true), text, true);
    EXPECT_TRUE(t) << text;
    return *t;
  }
  schema::Term text_term(std::string_view path, std::string_view token) const {
    auto t = schema::Term::from_field_json_path(attrs, path, true);
    t.append_type_and_value(schema::ValueType::Str, {reinterpret_cast<const uint8_t*>(token.data()), token.size()});
    return t;
  }
};

TEST(JsonIndexing, TermQueriesFindJsonTerms) {
  auto jf = JsonFixture::create();
  auto w = indexer::SegmentWriter::create(20'000'000, jf.f.index, jf.f.index.new_segment_meta());
  ASSERT_TRUE(w);
  OwnedValue docs[] = {
      OwnedValue(OwnedObject{{"color", "Dark red"}, {"size", obj("cm", int64_t{7})}}),
      OwnedValue(OwnedObject{{"color", OwnedArray{"red", "blue"}}, {"size.cm", 7.0}, {"ok", true}}),
      OwnedValue(OwnedObject{{"size", obj("cm", 2.5)}, {"when", schema::DateValue{86'400'000'000'000}}}),
  };
  for (uint64_t i = 0; i < 3; ++i) ASSERT_TRUE((*w)->add_document({i, jf.doc(i, docs[i])}));
  // A value with no JSON term form refuses its document; the writer goes on.
  auto refused = (*w)->add_document({3, jf.doc(3, obj("blob", schema::BytesValue{{1, 2}}))});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), FendralError::Kind::InvalidArgument);
  EXPECT_NE(refused.error().display().find("not implemented: Bytes support in dynamic fields is not yet implemented"),
            std::string::npos);
  EXPECT_EQ((*w)->max_doc(), 3u);
  auto meta = (*w)->segment().with_max_doc(3);
  ASSERT_TRUE(indexer::SegmentWriter::finalize(std::move(*w)));
  auto s = jf.f.searcher({meta});

  struct Case {
    schema::Term term;
    uint64_t hits;
  } cases[] = {
      {jf.text_term("color", "red"), 2},     {jf.text_term("color", "dark"), 1},
      {jf.text_term("color", "blue"), 1},    {jf.term("size.cm", "7"), 2},
      {jf.term("size.cm", "2.5"), 1},        {jf.term("ok", "true"), 1},
      {jf.term("when", "1970-01-02T00:00:00Z"), 1}, {jf.term("size", "7"), 0},
      {jf.text_term("size.cm", "7"), 0},
  };
  for (const auto& c : cases) {
    query::TermQuery q(c.term, schema::RecordOption::Basic);
    auto n = s->count(q);
    ASSERT_TRUE(n) << c.term.debug();
    EXPECT_EQ(*n, c.hits) << c.term.debug();
  }

  // Positions: two texts of one path continue after a gap; other paths
  // start again at 0.
  schema::CompactDoc extra = jf.doc(9, OwnedValue(OwnedObject{{"a", OwnedArray{"x", "y"}}, {"b", "z"}}));
  auto w2 = indexer::SegmentWriter::create(20'000'000, jf.f.index, jf.f.index.new_segment_meta());
  ASSERT_TRUE((*w2)->add_document({0, extra}));
  auto meta2 = (*w2)->segment().with_max_doc(1);
  ASSERT_TRUE(indexer::SegmentWriter::finalize(std::move(*w2)));
  auto reader = index::SegmentReader::open(jf.f.index, meta2);
  ASSERT_TRUE(reader);
  auto inv = (*reader)->inverted_index(jf.attrs);
  ASSERT_TRUE(inv);
  for (auto [path, token, position] : {std::tuple{"a", "x", 0u}, {"a", "y", 2u}, {"b", "z", 0u}}) {
    const schema::Term term = jf.text_term(path, token);
    auto info = (*inv)->terms().get(term.serialized_value_bytes());
    ASSERT_TRUE(info && info->has_value()) << path << token;
    auto p = (*inv)->read_postings(**info, schema::RecordOption::WithFreqsAndPositions);
    ASSERT_TRUE(p);
    std::vector<uint32_t> positions;
    ASSERT_TRUE(p->positions(positions));
    EXPECT_EQ(positions, std::vector<uint32_t>{position}) << path << token;
  }
}

}  // namespace
}  // namespace fendral::core::json_utils
