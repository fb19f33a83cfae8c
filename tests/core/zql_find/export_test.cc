// EXPORT writer: CSV and JSON texts, options, refusals and the file write.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "query/zql/executor/export/export_writer.h"
#include "tests/support/temp_dir.h"

namespace zudizid::query::zql::executor {
namespace {

using V = PropertyValue;
using Kind = ast::ExportFormat::Kind;

ast::ExportClause clause(Kind kind, std::vector<std::pair<std::string, V>> options = {}) {
  ast::ExportClause c;
  c.format.kind = kind;
  for (auto& [k, v] : options) c.options[k] = v;
  return c;
}

QueryResult sample() {
  QueryResult r;
  r.columns = {"n.name", "a,b", "n.x"};
  r.rows.push_back({{"n.name", V::string("Ann \"A\", x\ny")}, {"a,b", V::float64(2.0)}, {"n.x", V::list({V::integer(1), V::string("s")})}});
  r.rows.push_back({{"n.name", V::string("cr\ronly")}, {"a,b", V::float64(NAN)}});
  r.rows.push_back({{"n.name", V::string("1,5")}, {"n.x", V::null()}});
  return r;
}

TEST(ExportWriter, Csv) {
  struct Case {
    std::vector<std::pair<std::string, V>> options;
    std::string text;
  };
  const Case cases[] = {
      {{},
       "n.name,\"a,b\",n.x\n\"Ann \"\"A\"\", x\ny\",2,\"[1,\"\"s\"\"]\"\n\"cr\ronly\",NaN,\n\"1,5\",,\n"},
      {{{"separator", V::string(";")}, {"header", V::string("no")}},
       "n.name;a,b;n.x\n\"Ann \"\"A\"\", x\ny\";2;\"[1,\"\"s\"\"]\"\n\"cr\ronly\";NaN;\n1,5;;\n"},
      {{{"separator", V::integer(5)}, {"header", V::string("false")}},
       "\"Ann \"\"A\"\", x\ny\",2,\"[1,\"\"s\"\"]\"\n\"cr\ronly\",NaN,\n\"1,5\",,\n"},
  };
  for (const Case& c : cases) {
    auto out = render_export(sample(), clause(Kind::Csv, c.options));
    ASSERT_TRUE(out.has_value()) << out.error().display();
    EXPECT_EQ(out->format, "CSV");
    EXPECT_EQ(out->rows, 3u);
    EXPECT_EQ(out->content, c.text);
  }
  QueryResult empty{{"a"}, {}};
  EXPECT_EQ(render_export(empty, clause(Kind::Csv))->content, "a\n");
  EXPECT_EQ(render_export(empty, clause(Kind::Csv, {{"header", V::boolean(false)}}))->content, "");
}

TEST(ExportWriter, Json) {
  QueryResult r;
  r.columns = {"k\"", "v"};
  r.rows.push_back({{"k\"", V::string("a\\b\x01\x08\x0c\t\n\r\xc3\xa9")}, {"v", V::float64(INFINITY)}});
  r.rows.push_back({{"v", V::object({{"x", V::integer(-3)}, {"y", V::bytes({1, 2})}})}});
  const std::string o1 = R"({"k\"":"a\\b\u0001\u0008\u000c\t\n\ré","v":null})";
  const std::string o2 = R"({"k\"":null,"v":{"x":-3,"y":"<2 bytes>"}})";
  EXPECT_EQ(render_export(r, clause(Kind::Json))->content, "[" + o1 + "," + o2 + "]");
  EXPECT_EQ(render_export(r, clause(Kind::Json, {{"pretty", V::boolean(true)}}))->content,
            "[\n  " + o1 + ",\n  " + o2 + "\n]");
  EXPECT_EQ(render_export(r, clause(Kind::Json, {{"pretty", V::boolean(true)}, {"jsonl", V::string("yes")}}))->content,
            o1 + "\n" + o2);
  QueryResult empty{{"a"}, {}};
  EXPECT_EQ(render_export(empty, clause(Kind::Json))->content, "[]");
  EXPECT_EQ(render_export(empty, clause(Kind::Json, {{"pretty", V::boolean(true)}}))->content, "[\n]");
  EXPECT_EQ(render_export(empty, clause(Kind::Json, {{"jsonl", V::boolean(true)}}))->content, "");
}

TEST(ExportWriter, ArrowAndParquetAreRefused) {
  for (Kind k : {Kind::Arrow, Kind::Parquet}) {
    auto out = render_export(sample(), clause(k));
    ASSERT_FALSE(out.has_value());
    EXPECT_EQ(out.error().kind(), DbError::Kind::QueryExecution);
  }
}

TEST(ExportWriter, FileIsReplacedWholeOrLeftAlone) {
  zudizid::testing::TempDir dir;
  const auto path = dir.path() / "out.csv";
  {
    std::ofstream(path) << "old";
  }
  auto ok = render_export(sample(), clause(Kind::Csv, {{"path", V::string(path.string())}}));
  ASSERT_TRUE(ok.has_value()) << ok.error().display();
  std::stringstream got;
  got << std::ifstream(path).rdbuf();
  EXPECT_EQ(got.str(), ok->content);

  const auto missing = dir.path() / "no-such-dir" / "x.json";
  auto failed = render_export(sample(), clause(Kind::Json, {{"path", V::string(missing.string())}}));
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().display(), "Query execution error: Failed to write JSON export to '" + missing.string() +
                                          "': No such file or directory (os error 2)");
  size_t files = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++files;
  EXPECT_EQ(files, 1u) << "no temporary left behind";
}

}  // namespace
}  // namespace zudizid::query::zql::executor
