// local_name and literal_value over the term texts the reader yields.
#include <gtest/gtest.h>

#include <cmath>

#include "rdf_owl/importer/term_values.h"

namespace zudizid::rdf_owl::importer {
namespace {

TEST(LocalName, Forms) {
  const std::pair<const char*, const char*> cases[] = {
      {"rdf:type", "type"}, {"<http://www.w3.org/1999/02/22-rdf-syntax-ns#type>", "type"}, {"type", "type"},
      {"<a/b/>", ""},       {"<a#>", ""},   {"ex:", ""},        {":x", "x"},   {"<a/b#c/d>", "c/d"},
      {"  ex:Dog \t", "Dog"}, {"<plain>", "plain"}, {"ex:a:b", "a:b"},
  };
  for (const auto& [term, name] : cases) EXPECT_EQ(local_name(term), name) << term;
}

TEST(LiteralValue, PlainStringsStayStrings) {
  const std::pair<const char*, const char*> cases[] = {
      {"\"02134\"", "02134"}, {"\"nan\"", "nan"}, {"\"3.5\"", "3.5"}, {"\"true\"@en", "true"},
      {"\"a\\nb\\\"c\\\\\"", "a\nb\"c\\"}, {"\"\"", ""}, {"<http://x/y>", "<http://x/y>"}, {"ex:y", "ex:y"},
      {"_:b", "_:b"}, {"\"x\"^^<http://other/type>", "x"}, {"\"99999999999999999999\"^^xsd:integer",
                                                             "99999999999999999999"},
      {"\"abc\"^^xsd:int", "abc"}, {"\"1e3\"^^xsd:decimal", "1e3"}, {"\"yes\"^^xsd:boolean", "yes"},
      {"", ""},
  };
  for (const auto& [term, text] : cases) {
    PropertyValue v = literal_value(term);
    ASSERT_EQ(v.kind(), PropertyValue::Kind::String) << term;
    EXPECT_EQ(v.as_string(), text) << term;
  }
}

TEST(LiteralValue, DatatypesAndBareLiteralsConvert) {
  const std::string xsd = "<http://www.w3.org/2001/XMLSchema#";
  const struct {
    std::string term;
    PropertyValue value;
  } cases[] = {
      {"\"30\"^^xsd:int", PropertyValue::integer(30)},
      {"\"-7\"^^" + xsd + "integer>", PropertyValue::integer(-7)},
      {"\"+5\"^^" + xsd + "long>", PropertyValue::integer(5)},
      {"\"3.5\"^^" + xsd + "decimal>", PropertyValue::float64(3.5)},
      {"\"1e3\"^^" + xsd + "double>", PropertyValue::float64(1000)},
      {"\"-INF\"^^" + xsd + "float>", PropertyValue::float64(-INFINITY)},
      {"\"true\"^^xsd:boolean", PropertyValue::boolean(true)},
      {"\"0\"^^xsd:boolean", PropertyValue::boolean(false)},
      {"42", PropertyValue::integer(42)},
      {"-3.5", PropertyValue::float64(-3.5)},
      {".5", PropertyValue::float64(0.5)},
      {"1E-2", PropertyValue::float64(0.01)},
      {"9223372036854775808", PropertyValue::float64(9223372036854775808.0)},
      {"true", PropertyValue::boolean(true)},
      {"false", PropertyValue::boolean(false)},
  };
  for (const auto& c : cases) EXPECT_EQ(literal_value(c.term), c.value) << c.term;
  EXPECT_TRUE(std::isnan(literal_value("\"NaN\"^^xsd:double").as_float()));
}

}  // namespace
}  // namespace zudizid::rdf_owl::importer
