// The Turtle reader: constructs and their triples, refusals with their
// positions, and a differential run against rdflib on generated documents.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "common/json.h"
#include "common/float_text.h"
#include "rdf_owl/importer/term_values.h"
#include "rdf_owl/importer/turtle_reader.h"
#include "tests/support/python.h"

namespace zudizid::rdf_owl::importer {
namespace {

using Triples = std::vector<Triple>;
const std::string kType(kRdfType);
const std::string kFirst(kRdfFirst);
const std::string kRest(kRdfRest);
const std::string kNil(kRdfNil);

Triples read_ok(std::string_view text) {
  auto r = read_turtle(text);
  EXPECT_TRUE(r) << text << "\n" << (r ? "" : r.error().display());
  return r ? *r : Triples{};
}

TEST(TurtleReader, Constructs) {
  const struct {
    const char* text;
    Triples triples;
  } cases[] = {
      {"ex:Dog rdf:type owl:Class .", {{"ex:Dog", "rdf:type", "owl:Class"}}},
      {"ex:Dog a owl:Class .", {{"ex:Dog", kType, "owl:Class"}}},
      {"s:s p:p o:o1 , o:o2 ; q:q o:o3 .", {{"s:s", "p:p", "o:o1"}, {"s:s", "p:p", "o:o2"}, {"s:s", "q:q", "o:o3"}}},
      {"s:s p:p o:o ; ; q:q o:o2 ; .", {{"s:s", "p:p", "o:o"}, {"s:s", "q:q", "o:o2"}}},
      {"@prefix ex: <http://e/> . PREFIX x: <http://x/>\nex:a ex:b ex:c .", {{"ex:a", "ex:b", "ex:c"}}},
      {"@base <http://b/> . BASE <http://c/> <a> <b> <c> .", {{"<a>", "<b>", "<c>"}}},
      {":x :p \"30\"^^xsd:int ; :q \"chat\"@fr-CA . :y :p :z .",
       {{":x", ":p", "\"30\"^^xsd:int"}, {":x", ":q", "\"chat\"@fr-CA"}, {":y", ":p", ":z"}}},
      {"@prefix xsd: <http://www.w3.org/2001/XMLSchema#> . :x :p \"1\"^^xsd:int .",
       {{":x", ":p", "\"1\"^^<http://www.w3.org/2001/XMLSchema#int>"}}},
      {":x :p \"a # b\" . # a comment\n:x :q <a#b> .", {{":x", ":p", "\"a # b\""}, {":x", ":q", "<a#b>"}}},
      {":x :p 3.5 , 3 , -2 , 1e3 , .5 , true , false .",
       {{":x", ":p", "3.5"}, {":x", ":p", "3"}, {":x", ":p", "-2"}, {":x", ":p", "1e3"}, {":x", ":p", ".5"},
        {":x", ":p", "true"}, {":x", ":p", "false"}}},
      {":x :p 3.", {{":x", ":p", "3"}}},
      {":x :p \"a\\nb\\\"c\\u00e9\\\\\" .", {{":x", ":p", "\"a\\nb\\\"c\xC3\xA9\\\\\""}}},
      {":x :p \"\"\"two\nlines \"quoted\" \"\"\" .", {{":x", ":p", "\"two\\nlines \\\"quoted\\\" \""}}},
      {":x :p '''it's''' , 'single' .", {{":x", ":p", "\"it's\""}, {":x", ":p", "\"single\""}}},
      {":x :p \"\"\"a\"\"\"\" .", {{":x", ":p", "\"a\\\"\""}}},
      {"_:b1 :p _:b2 .", {{"_:b1", ":p", "_:b2"}}},
      {":x :p [ :q :r ; :s \"t\" ] .", {{":x", ":p", "_:#1"}, {"_:#1", ":q", ":r"}, {"_:#1", ":s", "\"t\""}}},
      {"[ :q :r ] :p :o .", {{"_:#1", ":q", ":r"}, {"_:#1", ":p", ":o"}}},
      {"[ :q :r ] .", {{"_:#1", ":q", ":r"}}},
      {"[] :p :o . :x :p [] .", {{"_:#1", ":p", ":o"}, {":x", ":p", "_:#2"}}},
      {":x :p ( :a 1 ) .",
       {{"_:#1", kFirst, ":a"}, {"_:#1", kRest, "_:#2"}, {"_:#2", kFirst, "1"}, {"_:#2", kRest, kNil},
        {":x", ":p", "_:#1"}}},
      {":x :p () .", {{":x", ":p", kNil}}},
      {"( :a ) :p :o .", {{"_:#1", kFirst, ":a"}, {"_:#1", kRest, kNil}, {"_:#1", ":p", ":o"}}},
      {":x :p ( [ :q ( ) ] ) .",
       {{"_:#1", ":q", kNil}, {"_:#2", kFirst, "_:#1"}, {"_:#2", kRest, kNil}, {":x", ":p", "_:#2"}}},
      {":a.b :p :c\\.d .", {{":a.b", ":p", ":c.d"}}},
      {"ex: ex:p ex:o.", {{"ex:", "ex:p", "ex:o"}}},
      {"", {}},
      {"# only a comment", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(read_ok(c.text), c.triples) << c.text;
}

TEST(TurtleReader, RefusesWhatIsNotTurtle) {
  const struct {
    const char* text;
    size_t line, column;
    const char* message;
  } cases[] = {
      {"hello world", 1, 1, "unexpected word 'hello'"},
      {":a :b :c", 1, 9, "text ends inside a statement"},
      {":a :b :c .\n:d :e", 2, 6, "text ends inside a statement"},
      {":a :b :c ;\n  :d .", 2, 6, "expected an object, found '.'"},
      {":a \"lit\" :c .", 1, 4, "expected a predicate, found 'lit'"},
      {"\"lit\" :b :c .", 1, 1, "expected a subject, found 'lit'"},
      {":a :b \"open", 1, 7, "string without its closing quote"},
      {":a :b \"x\ny\" .", 1, 9, "line break inside a short string"},
      {":a :b <x y> .", 1, 9, "character not allowed in an IRI: \" \""},
      {"@prefix ex <http://e/> .", 1, 9, "unexpected word 'ex'"},
      {"@prefix ex: <http://e/>", 1, 24, "expected '.' after a directive"},
      {":a :b :c ] .", 1, 10, "expected ',', ';' or '.', found ']'"},
      {":a :b [ :c :d .", 1, 15, "expected ',', ';' or ']', found '.'"},
      {":a :b \"x\"^^\"y\" .", 1, 12, "expected a datatype IRI after '^^'"},
      {":a :b \"\\q\" .", 1, 8, "unknown escape \\q in a string"},
      {"é :b :c .", 1, 1, "unexpected word 'é'"},
      {":a :b :c .\n\xC3\xA9 ?", 2, 1, "unexpected word '\xC3\xA9'"},
      {":a :b :c .\n  ?", 2, 3, "unexpected character \"?\""},
  };
  for (const auto& c : cases) {
    auto r = read_turtle(c.text);
    ASSERT_FALSE(r) << c.text;
    EXPECT_EQ(r.error().line, c.line) << c.text;
    EXPECT_EQ(r.error().column, c.column) << c.text;
    EXPECT_EQ(r.error().message, c.message) << c.text;
  }
  EXPECT_EQ(read_turtle("x").error().display(), "Turtle syntax error at line 1, column 1: unexpected word 'x'");
}

TEST(TurtleReader, DeepNestingNeedsNoRecursion) {
  std::string text = ":x :p ";
  for (int i = 0; i < 200000; ++i) text += "[ :q ";
  text += ":o";
  for (int i = 0; i < 200000; ++i) text += " ]";
  text += " .";
  auto r = read_turtle(text);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->size(), 200001u);
}

// ---- differential run against rdflib

// Generates a document from the constructs above; `prefixes` receives the
// declared prefixes so our prefixed names can be expanded for comparison.
std::string generate(std::mt19937& rng, std::vector<std::pair<std::string, std::string>>& prefixes) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  std::string doc;
  prefixes = {{"ex", "http://example.org/ns#"}, {"", "http://example.org/default/"},
              {"xsd", "http://www.w3.org/2001/XMLSchema#"}};
  doc += pick(2) ? "@prefix ex: <http://example.org/ns#> .\n" : "PREFIX ex: <http://example.org/ns#>\n";
  doc += "@prefix : <http://example.org/default/> .\n@prefix xsd: <http://www.w3.org/2001/XMLSchema#> .\n";
  if (pick(2)) doc += "@base <http://example.org/base/> .\n";
  auto iri = [&] {
    switch (pick(4)) {
      case 0: return fmt::format("ex:C{}", pick(20));
      case 1: return fmt::format(":n{}", pick(20));
      case 2: return fmt::format("<http://example.org/x/{}>", pick(20));
      default: return fmt::format("ex:a{}.b", pick(5));
    }
  };
  auto literal = [&]() -> std::string {
    static const char* kStrings[] = {"plain", "with \\\"quotes\\\"", "tab\\tand\\nnewline", "caf\\u00e9 #hash",
                                     "uni\xC3\xA9", "semi;colon, comma."};
    switch (pick(9)) {
      case 0: return fmt::format("\"{}\"", kStrings[pick(6)]);
      case 1: return fmt::format("\"{}\"@en", kStrings[pick(6)]);
      case 2: return fmt::format("\"{}\"^^xsd:integer", pick(1000) - 500);
      case 3: return fmt::format("\"{}.25\"^^<http://www.w3.org/2001/XMLSchema#decimal>", pick(100));
      case 4: return fmt::format("{}", pick(1000) - 500);
      case 5: return fmt::format("{}.5", pick(100));
      case 6: return fmt::format("{}e{}", pick(9) + 1, pick(5));
      case 7: return pick(2) ? "true" : "false";
      default: return "\"\"\"long \"q\" \nline\"\"\"";
    }
  };
  int open_lists = 0;
  std::function<std::string(int)> object = [&](int depth) -> std::string {
    const int k = pick(depth > 2 ? 3 : 6);
    if (k == 0) return iri();
    if (k == 1) return literal();
    if (k == 2) return fmt::format("_:b{}", pick(5));
    if (k == 3) return fmt::format("[ ex:p{} {} ]", pick(3), object(depth + 1));
    if (k == 4) {
      ++open_lists;
      std::string s = "(";
      for (int i = pick(4); i > 0; --i) s += " " + object(depth + 1);
      return s + " )";
    }
    return iri() + "";
  };
  for (int st = 0, n = 3 + pick(8); st < n; ++st) {
    doc += pick(6) == 0 ? "[ ex:p " + object(1) + " ]" : iri();
    for (int v = 0, nv = 1 + pick(3); v < nv; ++v) {
      doc += v ? " ;\n  " : " ";
      doc += pick(5) == 0 ? "a" : iri();
      for (int o = 0, no = 1 + pick(3); o < no; ++o) doc += (o ? " , " : " ") + object(0);
    }
    doc += pick(4) == 0 ? " ;\n.\n" : " .\n";
  }
  return doc;
}

// Our term text in the form the Python side prints.
std::string comparable(const std::string& term, const std::vector<std::pair<std::string, std::string>>& prefixes) {
  if (term.starts_with("_:")) return "_";
  if (term.starts_with("<")) {
    const std::string inner = term.substr(1, term.size() - 2);
    if (inner.starts_with("http:")) return "<" + inner + ">";
    return "<http://example.org/base/" + inner + ">";  // the generator uses relative IRIs only under @base
  }
  if (term.starts_with("\"")) {
    std::string value;
    size_t i = 1;
    for (; term[i] != '"'; ++i) {
      if (term[i] == '\\') {
        ++i;
        value += term[i] == 'n' ? '\n' : term[i] == 'r' ? '\r' : term[i];
      } else {
        value += term[i];
      }
    }
    std::string suffix = term.substr(i + 1);
    if (suffix.ends_with("#decimal>") || suffix.ends_with("#double>")) {
      value = common::float_debug(literal_value(term).as_float());
    }
    common::json::Value v = common::json::Value::array();
    v.push_back(common::json::Value(value));
    if (suffix.starts_with("@")) {
      v.push_back(common::json::Value(std::string()));
      v.push_back(common::json::Value(suffix.substr(1)));
    } else {
      v.push_back(common::json::Value(suffix.starts_with("^^") ? comparable(suffix.substr(2), prefixes) : std::string()));
      v.push_back(common::json::Value(std::string()));
    }
    return common::json::to_string(v);
  }
  const std::string xsd = "http://www.w3.org/2001/XMLSchema#";
  auto typed = [&](const std::string& type) {
    common::json::Value v = common::json::Value::array();
    // Both sides print decimals and doubles by value: rdflib rewrites their lexical forms.
    v.push_back(common::json::Value(type == "decimal" || type == "double"
                                        ? common::float_debug(literal_value(term).as_float())
                                        : term));
    v.push_back(common::json::Value("<" + xsd + type + ">"));
    v.push_back(common::json::Value(std::string()));
    return common::json::to_string(v);
  };
  if (term == "true" || term == "false") return typed("boolean");
  if (term.find_first_of("eE") != std::string::npos && (isdigit(term[0]) || term[0] == '-' || term[0] == '.')) {
    return typed("double");
  }
  if (term.find('.') != std::string::npos && (isdigit(term[0]) || term[0] == '-' || term[0] == '.')) {
    return typed("decimal");
  }
  if (isdigit(term[0]) || term[0] == '-' || term[0] == '+') return typed("integer");
  const auto colon = term.find(':');
  for (const auto& [p, ns] : prefixes) {
    if (term.substr(0, colon) == p) return "<" + ns + term.substr(colon + 1) + ">";
  }
  return "?" + term;
}

TEST(TurtleReader, AgreesWithRdflib) {
  std::mt19937 rng(20261211);
  const int kDocs = 200;
  std::string docs_json = "[";
  std::vector<Triples> ours;
  std::vector<std::vector<std::pair<std::string, std::string>>> doc_prefixes(kDocs);
  for (int d = 0; d < kDocs; ++d) {
    std::string doc = generate(rng, doc_prefixes[d]);
    ours.push_back(read_ok(doc));
    docs_json += (d ? "," : "") + common::json::to_string(common::json::Value(doc));
  }
  docs_json += "]";

  const char* kScript = R"PY(
import json, sys
import rdflib
docs = json.load(open(sys.argv[1]))
out = []
for doc in docs:
    g = rdflib.Graph()
    g.parse(data=doc, format="turtle")
    def term(t):
        if isinstance(t, rdflib.BNode):
            return "_"
        if isinstance(t, rdflib.Literal):
            lexical = str(t)
            if t.datatype is not None and str(t.datatype).endswith(("#decimal", "#double")):
                lexical = repr(float(t))
            return json.dumps([lexical, "<%s>" % t.datatype if t.datatype else "", t.language or ""],
                              ensure_ascii=False, separators=(",", ":"))
        return "<%s>" % t
    out.append(sorted("%s %s %s" % (term(s), term(p), term(o)) for s, p, o in g))
print(json.dumps(out))
)PY";
  zudizid::testing::TempDir dir;
  zudizid::testing::write_file(dir.path() / "docs.json", docs_json);
  bool ok = false;
  const std::string printed = zudizid::testing::run_python(kScript, (dir.path() / "docs.json").string(), &ok);
  ASSERT_TRUE(ok) << printed;
  auto parsed = common::json::parse(printed);
  ASSERT_TRUE(parsed);
  for (int d = 0; d < kDocs; ++d) {
    // rdflib's graph is a set: repeated statements count once.
    Triples unique;
    for (const Triple& t : ours[d]) {
      if (std::find(unique.begin(), unique.end(), t) == unique.end()) unique.push_back(t);
    }
    std::vector<std::string> mine;
    for (const Triple& t : unique) {
      mine.push_back(comparable(t.subject, doc_prefixes[d]) + " " + comparable(t.predicate, doc_prefixes[d]) + " " +
                     comparable(t.object, doc_prefixes[d]));
    }
    std::sort(mine.begin(), mine.end());
    std::vector<std::string> theirs;
    for (const auto& item : parsed->as_array()[d].as_array()) theirs.push_back(item.as_string());
    std::vector<std::string> only_mine, only_theirs;
    std::set_difference(mine.begin(), mine.end(), theirs.begin(), theirs.end(), std::back_inserter(only_mine));
    std::set_difference(theirs.begin(), theirs.end(), mine.begin(), mine.end(), std::back_inserter(only_theirs));
    ASSERT_EQ(only_mine, only_theirs) << "document " << d << " (left: ours only, right: rdflib only)";
  }
}

}  // namespace
}  // namespace zudizid::rdf_owl::importer
