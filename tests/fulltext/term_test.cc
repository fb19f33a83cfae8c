// Schema lookups, term images, debug forms, JSON path terms and facets.
#include <gtest/gtest.h>

#include <cmath>

#include "fulltext/schema/facet.h"
#include "fulltext/schema/term.h"

namespace fendral::schema {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes key_bytes(const Term& t) {
  auto v = t.serialized_value_bytes();
  return Bytes(v.begin(), v.end());
}

TEST(Term, ImagesArePinnedAndSortLikeValues) {
  struct Case {
    Term term;
    Bytes image;
  } cases[] = {
      {Term::from_field_u64(0, 7), {0, 0, 0, 0, 0, 0, 0, 7}},
      {Term::from_field_bool(0, true), {0, 0, 0, 0, 0, 0, 0, 1}},
      {Term::from_field_i64(0, 0), {0x80, 0, 0, 0, 0, 0, 0, 0}},
      {Term::from_field_i64(0, -1), {0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {Term::from_field_date(0, 1000000000), {0x80, 0, 0, 0, 0x3B, 0x9A, 0xCA, 0x00}},
      {Term::from_field_f64(0, 0.0), {0x80, 0, 0, 0, 0, 0, 0, 0}},
      {Term::from_field_f64(0, -0.0), {0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {Term::from_field_f64(0, 1.0), {0xBF, 0xF0, 0, 0, 0, 0, 0, 0}},
      {Term::from_field_f64(0, -1.0), {0x40, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {Term::from_field_f64(0, 2.5), {0xC0, 0x04, 0, 0, 0, 0, 0, 0}},
      {Term::from_field_f64(0, INFINITY), {0xFF, 0xF0, 0, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) EXPECT_EQ(key_bytes(c.term), c.image) << c.term.debug();

  std::vector<int64_t> ints{INT64_MIN, -1, 0, 1, INT64_MAX};
  for (size_t i = 1; i < ints.size(); ++i) {
    EXPECT_LT(key_bytes(Term::from_field_i64(0, ints[i - 1])), key_bytes(Term::from_field_i64(0, ints[i])));
  }
  std::vector<double> floats{-INFINITY, -1.0, -0.0, 0.0, 1.0, 2.5, INFINITY};
  for (size_t i = 1; i < floats.size(); ++i) {
    EXPECT_LT(key_bytes(Term::from_field_f64(0, floats[i - 1])), key_bytes(Term::from_field_f64(0, floats[i])));
    EXPECT_EQ(u64_to_f64(f64_to_u64(floats[i])), floats[i]);
  }
  EXPECT_EQ(Term::from_field_f64(0, 1.0).as_u64_mapped().value(), 0xBFF0000000000000ull);
  auto bad = Term::from_field_text(3, "x").as_u64_mapped();
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().display(),
            "An invalid argument was passed: 'Expected term with u64, i64, f64 or date, but got "
            "Term(field=3, type=Str, \"x\")'");
  EXPECT_EQ(Term::from_field_text(0, "x").as_ip_addr().error().text(), "Expected ip address");
}

TEST(Term, DebugForms) {
  Ipv6 mapped{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 1};
  Ipv6 loopback{};
  loopback[15] = 1;
  Term json = Term::from_field_json_path(2, "a.b", false);
  json.append_type_and_value(ValueType::U64, Bytes{0, 0, 0, 0, 0, 0, 0, 7});
  struct Case {
    Term term;
    std::string debug;
  } cases[] = {
      {Term::from_field_text(1, "he\"y"), "Term(field=1, type=Str, \"he\\\"y\")"},
      {Term::from_field_i64(0, -5), "Term(field=0, type=I64, -5)"},
      {Term::from_field_f64(0, 2.0), "Term(field=0, type=F64, 2.0)"},
      {Term::from_field_f64(0, 1e16), "Term(field=0, type=F64, 1e16)"},
      {Term::from_field_f64(0, 0.00001), "Term(field=0, type=F64, 1e-5)"},
      {Term::from_field_f64(0, 0.1 + 0.2), "Term(field=0, type=F64, 0.30000000000000004)"},
      {Term::from_field_bool(0, false), "Term(field=0, type=Bool, false)"},
      {Term::from_field_date(0, 1500000000), "Term(field=0, type=Date, 1970-01-01T00:00:01.5Z)"},
      {Term::from_field_date(0, 0), "Term(field=0, type=Date, 1970-01-01T00:00:00Z)"},
      {Term::from_facet(0, std::string("a\0b", 3)), "Term(field=0, type=Facet, Facet(/a/b))"},
      {Term::from_field_bytes(0, Bytes{1, 2}), "Term(field=0, type=Bytes, [1, 2])"},
      {Term::from_field_ip_addr(0, mapped), "Term(field=0, type=IpAddr, ::ffff:127.0.0.1)"},
      {Term::from_field_ip_addr(0, loopback), "Term(field=0, type=IpAddr, ::1)"},
      {json, "Term(field=2, type=Json, path=a.b, type=U64, 7)"},
      {Term(0, Bytes{'u', 1, 2, 3}), "Term(field=0, type=U64, )"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.term.debug(), c.debug);
  EXPECT_THROW(Term(0, Bytes{'z'}).typ(), ContractViolation);
  // An empty term stops before its (absent) code byte is sliced off.
  EXPECT_THROW(Term().value_bytes(), ContractViolation);
  EXPECT_THROW(value_bytes_vec(TermBound<Term>{TermBound<Term>::Kind::Included, Term()}), ContractViolation);
}

TEST(Term, JsonValueBytes) {
  Term path_only(0, Bytes{'j', 'a', 'b'});
  EXPECT_EQ(path_only.value_bytes(), (Bytes{'a', 'b'}));
  Term empty_text = Term::from_field_json_path(0, "a", false);
  empty_text.append_type_and_value(ValueType::Str, {});
  EXPECT_TRUE(empty_text.value_bytes().empty());
  EXPECT_EQ(Term::from_field_json_path(0, "", false).serialized_term(), (Bytes{'j', 0}));
  EXPECT_EQ(Term::from_field_json_path(0, "a.b\\.c", false).serialized_term(),
            (Bytes{'j', 'a', 1, 'b', '.', 'c', 0}));
  EXPECT_EQ(Term::from_field_json_path(0, "a.b\\.c", true).serialized_term(),
            (Bytes{'j', 'a', 1, 'b', 1, 'c', 0}));
  TermBound<Term> unbounded;
  EXPECT_EQ(value_bytes_vec(unbounded).kind, TermBound<Bytes>::Kind::Unbounded);
  TermBound<Term> inc{TermBound<Term>::Kind::Included, Term::from_field_text(0, "x")};
  EXPECT_EQ(value_bytes_vec(inc).value, (Bytes{'x'}));
}

TEST(Term, TypedJsonValuesFromText) {
  Term path = Term::from_field_json_path(0, "k", false);
  struct Case {
    std::string text;
    std::optional<std::string> debug;  // of the nested value
  } cases[] = {
      {"42", "type=I64, 42"},
      {"+42", "type=I64, 42"},
      {"9223372036854775807", "type=I64, 9223372036854775807"},
      {"18446744073709551615", "type=U64, 18446744073709551615"},
      {"1e3", "type=I64, 1000"},
      {"1.5", "type=F64, 1.5"},
      {"-0.0", "type=I64, 0"},
      {"1e20", "type=F64, 1e20"},
      {"true", "type=Bool, true"},
      {"2024-01-02T03:04:05.678+01:00", "type=Date, 2024-01-02T02:04:05.678Z"},
      {"True", std::nullopt},
      {"yes", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    auto t = append_json_value_to_term(path, c.text, false);
    ASSERT_EQ(t.has_value(), c.debug.has_value()) << c.text;
    if (t) {
      EXPECT_EQ(t->debug(), "Term(field=0, type=Json, path=k, " + *c.debug + ")") << c.text;
    }
  }
  auto truncated = append_json_value_to_term(path, "2024-01-02T03:04:05.678+01:00", true);
  EXPECT_EQ(truncated->debug(), "Term(field=0, type=Json, path=k, type=Date, 2024-01-02T02:04:05Z)");
  auto before_epoch = append_json_value_to_term(path, "1969-12-31T23:59:59.5Z", true);
  EXPECT_EQ(before_epoch->debug(), "Term(field=0, type=Json, path=k, type=Date, 1970-01-01T00:00:00Z)");
  // A date whose UTC instant leaves the nanosecond range is not a date.
  EXPECT_FALSE(append_json_value_to_term(path, "9999-12-31T23:59:59-23:59", false).has_value());
  EXPECT_THROW(append_json_value_to_term(Term::from_field_text(0, "x"), "1", false), ContractViolation);
}

TEST(Facet, ParsesAndPrints) {
  EXPECT_EQ(Facet::from_text("/").value().encoded(), "");
  EXPECT_EQ(Facet::from_text("/a/b").value().encoded(), std::string("a\0b", 3));
  EXPECT_EQ(Facet::from_text("/a\\/b").value().encoded(), "a/b");
  EXPECT_EQ(Facet::from_text("a/b").error().display(), "Failed to parse the facet string: 'a/b'");
  EXPECT_EQ(Facet::from_text("").error().display(), "Failed to parse the facet string: ''");
  EXPECT_EQ(Facet::from_encoded("a/b").to_text(), "/a\\/b");
  EXPECT_EQ(Facet::from_encoded(std::string("a\0b", 3)).to_text(), "/a/b");
  EXPECT_EQ(Facet().to_text(), "/");
}

Schema schema_with(std::vector<std::pair<std::string, FieldType>> fields) {
  SchemaBuilder b;
  for (auto& [name, type] : fields) b.add_field(FieldEntry{name, type});
  return b.build();
}

TEST(Schema, FindFieldAndSplitPaths) {
  NumericOptions num{true, true, true, true, false};
  Schema s = schema_with({{"a", FieldType::u64(num)}, {"a.b", FieldType::u64(num)}, {"doc", FieldType::u64(num)},
                          {"x", FieldType::u64(num)}});
  struct Case {
    std::string path;
    std::optional<std::pair<Field, std::string>> expected;
  } cases[] = {
      {"a.b.c", std::pair<Field, std::string>{1, "c"}},
      {"a.x", std::pair<Field, std::string>{0, "x"}},
      {"a.b", std::pair<Field, std::string>{1, ""}},
      {"a\\.b.c", std::pair<Field, std::string>{1, "c"}},
      {"a\\.b", std::nullopt},
      {"", std::nullopt},
      {"x.", std::pair<Field, std::string>{3, ""}},
      {"doc.k\\.v", std::pair<Field, std::string>{2, "k\\.v"}},
  };
  for (const auto& c : cases) {
    auto got = s.find_field(c.path);
    ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.path;
    if (got) {
      EXPECT_EQ(got->first, c.expected->first) << c.path;
      EXPECT_EQ(std::string(got->second), c.expected->second) << c.path;
    }
  }
  using V = std::vector<std::string>;
  EXPECT_EQ(split_json_path(""), (V{""}));
  EXPECT_EQ(split_json_path("a."), (V{"a", ""}));
  EXPECT_EQ(split_json_path("a\\.b"), (V{"a.b"}));
  EXPECT_EQ(split_json_path("a.b\\\\c"), (V{"a", "b\\c"}));
  EXPECT_EQ(split_json_path("a\\"), (V{"a"}));

  SchemaBuilder dup;
  dup.add_field(FieldEntry{"title", FieldType::u64(num)});
  try {
    dup.add_field(FieldEntry{"title", FieldType::u64(num)});
    FAIL();
  } catch (const ContractViolation& e) {
    EXPECT_STREQ(e.what(), "Field already exists in schema title");
  }
}

TEST(Schema, ResolveColumnNameAndEquality) {
  JsonObjectOptions expand;
  expand.fast.enabled = true;
  expand.expand_dots_enabled = true;
  JsonObjectOptions plain = expand;
  plain.expand_dots_enabled = false;
  NumericOptions slow{true, true, false, true, false};
  Schema s = schema_with({{"attrs", FieldType::json_object(expand)}, {"plain", FieldType::json_object(plain)},
                          {"cat", FieldType::facet(FacetOptions{false})}, {"n", FieldType::u64(slow)}});
  EXPECT_EQ(resolve_column_name(s, "attrs.k.x\\.y").value(), std::string("attrs\x01k\x01x\x01y"));
  EXPECT_EQ(resolve_column_name(s, "plain.k.x\\.y").value(), std::string("plain\x01k\x01x.y"));
  EXPECT_EQ(resolve_column_name(s, "cat").value(), "cat");
  EXPECT_EQ(resolve_column_name(s, "nope").value(), std::nullopt);
  EXPECT_EQ(resolve_column_name(s, "cat.sub").value(), std::nullopt);
  auto slow_field = resolve_column_name(s, "n");
  ASSERT_FALSE(slow_field.has_value());
  EXPECT_EQ(slow_field.error().text(), "Field \"n\" is not configured as fast field");

  TextOptions t1;
  t1.indexing = TextFieldIndexing{RecordOption::WithFreqsAndPositions, true, "default"};
  TextOptions t2 = t1;
  t2.indexing->tokenizer = "raw";
  EXPECT_EQ(schema_with({{"a", FieldType::str(t1)}, {"b", FieldType::u64(slow)}}),
            schema_with({{"a", FieldType::str(t1)}, {"b", FieldType::u64(slow)}}));
  EXPECT_NE(schema_with({{"a", FieldType::str(t1)}, {"b", FieldType::u64(slow)}}),
            schema_with({{"b", FieldType::u64(slow)}, {"a", FieldType::str(t1)}}));
  EXPECT_NE(schema_with({{"a", FieldType::str(t1)}}), schema_with({{"a", FieldType::str(t2)}}));
}

}  // namespace
}  // namespace fendral::schema
