// Tokenizers: character classes, long-token filter, Unicode lower-casing,
// the facet tokenizer, the registry, and en_stem against the Python
// Snowball stemmer.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "fulltext/tokenizer/token.h"
#include "fulltext/tokenizer/tokenizer_manager.h"
#include "tests/support/python.h"

namespace fendral::tokenizer {
namespace {

struct Tok {
  std::string text;
  uint64_t from, to, pos;
  bool operator==(const Tok&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Tok& t) {
  return os << "{" << t.text << " " << t.from << ".." << t.to << " @" << t.pos << "}";
}

std::vector<Tok> run(TextAnalyzer analyzer, std::string_view text) {
  std::vector<Tok> out;
  auto stream = analyzer.token_stream(text);
  stream->process([&](const Token& t) { out.push_back({t.text, t.offset_from, t.offset_to, t.position}); });
  return out;
}

std::vector<std::string> texts(TextAnalyzer analyzer, std::string_view text) {
  std::vector<std::string> out;
  for (auto& t : run(std::move(analyzer), text)) out.push_back(t.text);
  return out;
}

TextAnalyzer named(std::string_view name) { return TokenizerManager::default_manager().get(name).value(); }

TEST(Tokenizer, DefaultSplitsOnNonAlphanumerics) {
  EXPECT_EQ(run(named("default"), "Hello, wörld 42!"),
            (std::vector<Tok>{{"hello", 0, 5, 0}, {"wörld", 7, 13, 1}, {"42", 14, 16, 2}}));
  EXPECT_EQ(run(named("default"), "a-b"), (std::vector<Tok>{{"a", 0, 1, 0}, {"b", 2, 3, 1}}));
  EXPECT_TRUE(run(named("default"), "!!!").empty());
  EXPECT_TRUE(run(named("default"), "").empty());
  EXPECT_EQ(run(named("raw"), ""), (std::vector<Tok>{{"", 0, 0, 0}}));
  EXPECT_EQ(run(named("raw"), "Keep It"), (std::vector<Tok>{{"Keep It", 0, 7, 0}}));
}

TEST(Tokenizer, TableOfCases) {
  const std::string w39(39, 'a'), w40(40, 'a');
  std::string twenty_umlauts;
  for (int i = 0; i < 20; ++i) twenty_umlauts += "Ü";  // 40 bytes, 20 characters
  std::string dotted_i39 = std::string(37, 'x') + "\xC4\xB0";  // 39 bytes; lower-cased form is 40
  struct Case {
    std::string analyzer;
    std::string text;
    std::vector<std::string> tokens;
  } cases[] = {
      {"default", "Über MÄDCHEN straße", {"über", "mädchen", "straße"}},
      {"default", w39, {w39}},
      {"default", w40, {}},
      {"default", twenty_umlauts, {}},
      {"default", dotted_i39, {std::string(37, 'x') + "i\xCC\x87"}},
      {"default", "ÉCOLE", {"école"}},
      {"default", "\xC4\xB0", {"i\xCC\x87"}},                // U+0130 -> i + U+0307
      {"default", "ΣΑΣ", {"σασ"}},                           // no final-sigma rule
      {"default", "a\xC2\xA0" "b", {"a", "b"}},               // no-break space separates words
      {"default", "x²³ ½ Ⅻ", {"x²³", "½", "ⅻ"}},             // number categories are token characters
      {"whitespace", "a\xC2\xA0" "b", {"a\xC2\xA0" "b"}},     // but not for the whitespace tokenizer
      {"whitespace", "a\x0B" "b", {"a\x0B" "b"}},
      {"whitespace", "a\tb,c", {"a", "b,c"}},
      {"whitespace", "", {}},
      {"en_stem", "Running dogs were HAPPILY jumping", {"run", "dog", "were", "happili", "jump"}},
  };
  for (const auto& c : cases) EXPECT_EQ(texts(named(c.analyzer), c.text), c.tokens) << c.analyzer << " " << c.text;

  auto positions = run(named("default"), "x " + w40 + " y");
  ASSERT_EQ(positions.size(), 2u);
  EXPECT_EQ(positions[1].pos, 2u);  // the dropped word used position 1
}

TEST(Tokenizer, FacetTokensAreAncestors) {
  FacetTokenizer t;
  std::vector<std::string> got;
  std::vector<uint64_t> pos;
  std::string encoded("a\0b\0c", 5);
  auto stream = t.token_stream(encoded);
  while (stream->advance()) {
    got.push_back(stream->token().text);
    pos.push_back(stream->token().position);
  }
  EXPECT_EQ(got, (std::vector<std::string>{"", "a", std::string("a\0b", 3), encoded}));
  EXPECT_EQ(pos, (std::vector<uint64_t>(4, 0)));
  auto root = t.token_stream("");
  EXPECT_TRUE(root->advance());
  EXPECT_FALSE(root->advance());
}

TEST(TokenizerManager, LookupIsExactAndCopiesAreIndependent) {
  auto m = TokenizerManager::default_manager();
  EXPECT_FALSE(m.get("Default").has_value());
  EXPECT_FALSE(m.get("en-stem").has_value());
  auto a = m.get("en_stem").value();
  auto b = m.get("en_stem").value();
  auto sa = a.token_stream("cats sat");
  auto sb = b.token_stream("horses");
  ASSERT_TRUE(sa->advance());
  ASSERT_TRUE(sb->advance());
  EXPECT_EQ(sa->token().text, "cat");  // b's stream did not disturb a's token
  EXPECT_EQ(sb->token().text, "hors");
  TokenizerManager shared = m;
  shared.register_analyzer("mine", raw_analyzer());
  EXPECT_TRUE(m.get("mine").has_value());
}

// Deterministic English-like words: stems with common suffixes.
std::vector<std::string> word_list(size_t n) {
  static const char* stems[] = {"nation", "run", "happ", "connect", "generous", "relat", "condition", "hope",
                                "formal", "electr", "adjust", "depend", "sensib", "effect", "argu", "contro",
                                "cry", "fly", "sky", "gener", "commun", "arsen", "past", "agree", "feed"};
  static const char* suffixes[] = {"",     "s",     "es",   "ed",    "ing",  "ly",   "ness",  "ful",   "ation",
                                   "ional", "izer", "iveness", "ousness", "ement", "ity", "ible", "ies",
                                   "eed",  "eedly", "ative", "alize", "icate", "ance", "ence", "ism"};
  std::mt19937 rng(12345);
  std::vector<std::string> words;
  words.reserve(n);
  const char letters[] = "abcdefghijklmnopqrstuvwxyz";
  while (words.size() < n) {
    std::string w;
    if (rng() % 4 == 0) {
      size_t len = 2 + rng() % 9;
      for (size_t i = 0; i < len; ++i) w.push_back(letters[rng() % 26]);
    } else {
      w = stems[rng() % std::size(stems)];
      if (rng() % 3 == 0) w.push_back(letters[rng() % 26]);
    }
    w += suffixes[rng() % std::size(suffixes)];
    if (rng() % 7 == 0) w += suffixes[rng() % std::size(suffixes)];
    words.push_back(w);
  }
  return words;
}

TEST(Tokenizer, EnStemMatchesPythonSnowball) {
  auto words = word_list(10000);
  zudizid::testing::TempDir dir;
  std::string text;
  for (const auto& w : words) text += w + "\n";
  zudizid::testing::write_file(dir.path() / "words.txt", text);
  bool ok = false;
  std::istringstream in(zudizid::testing::run_python(
      "import sys, snowballstemmer\n"
      "s = snowballstemmer.stemmer('english')\n"
      "for l in open(sys.argv[1]): print(s.stemWord(l.strip()))\n",
      (dir.path() / "words.txt").string(), &ok));
  ASSERT_TRUE(ok);
  std::vector<std::string> expected;
  for (std::string line; std::getline(in, line);) expected.push_back(line);
  ASSERT_EQ(expected.size(), words.size());
  auto analyzer = named("en_stem");
  size_t mismatches = 0;
  for (size_t i = 0; i < words.size(); ++i) {
    auto got = texts(analyzer, words[i]);
    ASSERT_EQ(got.size(), 1u) << words[i];
    if (got[0] != expected[i] && ++mismatches <= 10) ADD_FAILURE() << words[i] << ": " << got[0] << " vs " << expected[i];
  }
  EXPECT_EQ(mismatches, 0u);
}

}  // namespace
}  // namespace fendral::tokenizer
