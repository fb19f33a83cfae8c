// Boolean and phrase queries against a brute-force matcher over random
// segments, plus the tables of the combinators and the phrase cases.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <random>
#include <set>

#include "fulltext/query/boolean_query.h"
#include "fulltext/query/intersection.h"
#include "fulltext/query/phrase_query.h"
#include "fulltext/query/query_parser.h"
#include "fulltext/query/term_query.h"
#include "fulltext/query/union_scorer.h"
#include "segment_search_fixture.h"

namespace fendral::query {
namespace {

using testing::SearchFixture;

// A scorer over a fixed list of docs, each scoring 1.0, with a given size hint.
class ListScorer final : public Scorer {
 public:
  ListScorer(std::vector<uint32_t> docs, uint32_t hint = 0) : docs_(std::move(docs)), hint_(hint) {}
  uint32_t advance() override { return ++i_ < docs_.size() ? docs_[i_] : TERMINATED; }
  uint32_t doc() const override { return i_ < docs_.size() ? docs_[i_] : TERMINATED; }
  uint32_t size_hint() const override { return hint_; }
  float score() override { return 1.0f; }

 private:
  std::vector<uint32_t> docs_;
  uint32_t hint_;
  size_t i_ = 0;
};

std::unique_ptr<Scorer> list(std::vector<uint32_t> docs, uint32_t hint = 0) {
  return std::make_unique<ListScorer>(std::move(docs), hint);
}

std::vector<uint32_t> drain(Scorer& s) {
  std::vector<uint32_t> out;
  for (uint32_t d = s.doc(); d != TERMINATED; d = s.advance()) out.push_back(d);
  return out;
}

TEST(Combinators, SizeHints) {
  struct Case {
    std::vector<uint32_t> hints;
    uint32_t num_docs;
    uint32_t expected;
  };
  const Case intersections[] = {
      {{100, 100}, 1000, 12},  // 100 * 0.1 * 1.2
      {{500, 200}, 1000, 120},
      {{1000, 1000, 1000}, 1000, 1000},  // the smallest size caps 1320
      {{100, 100}, 0, 0},
  };
  for (const auto& c : intersections) {
    std::vector<std::unique_ptr<Scorer>> members;
    for (uint32_t h : c.hints) members.push_back(list({1, 2, 3}, h));
    Intersection x(std::move(members), c.num_docs);
    EXPECT_EQ(x.size_hint(), c.expected) << c.hints.size() << " members of " << c.num_docs;
  }
  for (auto [num_docs, expected] : {std::pair{1000u, 154u}, std::pair{0u, 0u}}) {
    // Members reach beyond the first window, so both still count.
    std::vector<std::unique_ptr<Scorer>> members;
    members.push_back(list({1, 9000}, 100));
    members.push_back(list({2, 9001}, 100));
    BufferedUnionScorer u(std::move(members), ScoreCombiner::Summing, num_docs);
    EXPECT_EQ(u.size_hint(), expected);
  }
}

TEST(Combinators, UnionsIntersectionsExclusion) {
  std::vector<std::unique_ptr<Scorer>> a;
  a.push_back(list({1, 5, 9, 5000, 9000}));
  a.push_back(list({2, 5, 4100, 9000}));
  BufferedUnionScorer u(std::move(a), ScoreCombiner::Summing, 10000);
  std::vector<uint32_t> got;
  std::vector<float> scores;
  for (uint32_t d = u.doc(); d != TERMINATED; d = u.advance()) {
    got.push_back(d);
    scores.push_back(u.score());
  }
  EXPECT_EQ(got, (std::vector<uint32_t>{1, 2, 5, 9, 4100, 5000, 9000}));
  EXPECT_EQ(scores, (std::vector<float>{1, 1, 2, 1, 1, 1, 2}));

  std::vector<std::unique_ptr<Scorer>> b;
  b.push_back(list({1, 5, 9, 5000, 9000}));
  b.push_back(list({2, 5, 4100, 9000}));
  BufferedUnionScorer seeker(std::move(b), ScoreCombiner::Unit, 10000);
  EXPECT_EQ(seeker.seek(6), 9u);
  EXPECT_EQ(seeker.seek(4200), 5000u);
  EXPECT_EQ(seeker.advance(), 9000u);

  std::vector<std::unique_ptr<Scorer>> h;
  h.push_back(list({1, 2, 3, 7}));
  h.push_back(list({2, 3, 7}));
  h.push_back(list({3, 4, 7}));
  HeapUnionScorer two_of_three(std::move(h), 2, ScoreCombiner::Summing);
  EXPECT_EQ(drain(two_of_three), (std::vector<uint32_t>{2, 3, 7}));

  std::vector<std::unique_ptr<Scorer>> x;
  x.push_back(list({1, 2, 3, 7, 8, 10}));
  x.push_back(list({2, 3, 8, 10}));
  x.push_back(list({0, 3, 8, 9, 10}));
  auto inter = intersect_scorers(std::move(x), 20);
  EXPECT_EQ(drain(*inter), (std::vector<uint32_t>{3, 8, 10}));

  std::vector<std::unique_ptr<Scorer>> ex;
  ex.push_back(list({2, 7}));
  ex.push_back(list({10}));
  Exclude e(list({1, 2, 3, 7, 10, 11}), std::move(ex));
  EXPECT_EQ(drain(e), (std::vector<uint32_t>{1, 3, 11}));
}

// ---- Brute-force model --------------------------------------------------

using Doc = std::vector<std::string>;  // tokens in position order

struct Model {
  enum Kind { TermLeaf, PhraseLeaf, Bool } kind;
  std::vector<std::string> words;  // TermLeaf: one; PhraseLeaf: >= 2
  uint32_t slop = 0;
  std::vector<std::pair<Occur, Model>> children;

  bool matches(const Doc& d) const {
    switch (kind) {
      case TermLeaf: return std::find(d.begin(), d.end(), words[0]) != d.end();
      case PhraseLeaf: return phrase_matches(d);
      case Bool: break;
    }
    bool has_must = false, has_should = false, any_should = false;
    for (const auto& [o, c] : children) {
      bool m = c.matches(d);
      if (o == Occur::MustNot && m) return false;
      if (o == Occur::Must) {
        has_must = true;
        if (!m) return false;
      }
      if (o == Occur::Should) {
        has_should = true;
        any_should = any_should || m;
      }
    }
    if (has_must) return true;
    return has_should && any_should;
  }

  // Exact phrases of any length; sloppy phrases of two terms: positions p, q
  // with |(p + 1) - q| <= slop.
  bool phrase_matches(const Doc& d) const {
    for (size_t p = 0; p < d.size(); ++p) {
      if (d[p] != words[0]) continue;
      if (slop == 0) {
        bool all = p + words.size() <= d.size();
        for (size_t k = 1; all && k < words.size(); ++k) all = d[p + k] == words[k];
        if (all) return true;
      } else {
        for (size_t q = 0; q < d.size(); ++q) {
          if (d[q] == words[1] && std::llabs(static_cast<long long>(p + 1) - static_cast<long long>(q)) <= slop) {
            return true;
          }
        }
      }
    }
    return false;
  }

  std::shared_ptr<const Query> build(schema::Field f) const {
    switch (kind) {
      case TermLeaf:
        return std::make_shared<TermQuery>(schema::Term::from_field_text(f, words[0]),
                                           schema::RecordOption::WithFreqs);
      case PhraseLeaf: {
        PhraseQuery::Terms t;
        for (size_t i = 0; i < words.size(); ++i) t.emplace_back(i, schema::Term::from_field_text(f, words[i]));
        return std::make_shared<PhraseQuery>(std::move(t), slop);
      }
      case Bool: break;
    }
    std::vector<BooleanQuery::Clause> c;
    for (const auto& [o, m] : children) c.emplace_back(o, m.build(f));
    return std::make_shared<BooleanQuery>(std::move(c));
  }
};

std::string describe(const Model& m) {
  switch (m.kind) {
    case Model::TermLeaf: return m.words[0];
    case Model::PhraseLeaf: return fmt::format("\"{}\"~{}", fmt::join(m.words, " "), m.slop);
    case Model::Bool: break;
  }
  std::string s = "(";
  for (const auto& [o, c] : m.children) s += (o == Occur::Must ? "+" : o == Occur::MustNot ? "-" : "?") + describe(c) + " ";
  return s + ")";
}

struct Corpus {
  SearchFixture fx = SearchFixture::create();
  std::vector<Doc> docs;  // in segment order, then doc order
  std::shared_ptr<const core::Searcher> searcher;
};

Corpus random_corpus(std::mt19937_64& rng, size_t vocab) {
  Corpus c;
  std::vector<index::SegmentMeta> metas;
  for (int seg = 0; seg < 3; ++seg) {
    std::vector<std::string> texts;
    size_t n = 1 + rng() % 300;
    for (size_t i = 0; i < n; ++i) {
      Doc d;
      size_t len = rng() % 30;
      std::string text;
      for (size_t k = 0; k < len; ++k) {
        d.push_back("w" + std::to_string(rng() % vocab));
        text += d.back() + " ";
      }
      c.docs.push_back(std::move(d));
      texts.push_back(std::move(text));
    }
    metas.push_back(c.fx.write_segment(texts, c.docs.size() - n));
  }
  c.searcher = c.fx.searcher(metas);
  return c;
}

Model random_model(std::mt19937_64& rng, size_t vocab, int depth) {
  auto word = [&] { return "w" + std::to_string(rng() % vocab); };
  int pick = static_cast<int>(rng() % 10);
  if (depth == 0 || pick < 4) return Model{Model::TermLeaf, {word()}};
  if (pick < 6) {
    bool sloppy = rng() % 2 == 0;
    size_t n = sloppy ? 2 : 2 + rng() % 2;
    Model m{Model::PhraseLeaf, {}};
    for (size_t i = 0; i < n; ++i) m.words.push_back(word());
    if (sloppy) m.slop = static_cast<uint32_t>(rng() % 401);
    return m;
  }
  Model m{Model::Bool, {}};
  size_t n = 1 + rng() % 4;
  for (size_t i = 0; i < n; ++i) {
    m.children.emplace_back(static_cast<Occur>(rng() % 3), random_model(rng, vocab, depth - 1));
  }
  return m;
}

TEST(QueryModel, BooleanAndPhraseEqualBruteForce) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 6; ++round) {
    const size_t vocab = round % 2 == 0 ? 6 : 20;
    Corpus c = random_corpus(rng, vocab);
    for (int q = 0; q < 150; ++q) {
      Model m = random_model(rng, vocab, 3);
      auto query = m.build(c.fx.body);
      std::set<uint64_t> expected;
      for (size_t i = 0; i < c.docs.size(); ++i) {
        if (m.matches(c.docs[i])) expected.insert(i);
      }
      auto hits = c.searcher->search(*query, c.docs.size() + 1);
      ASSERT_TRUE(hits) << hits.error().display();
      std::set<uint64_t> got;
      for (const auto& h : *hits) got.insert(c.fx.stored_id(*c.searcher, h.address));
      std::vector<uint64_t> diff;
      std::set_symmetric_difference(got.begin(), got.end(), expected.begin(), expected.end(), std::back_inserter(diff));
      ASSERT_TRUE(diff.empty()) << "round " << round << " query " << q << " doc " << diff.front() << ": "
                                << describe(m) << " in " << fmt::format("{}", fmt::join(c.docs[diff.front()], " "));
      auto count = c.searcher->count(*query);
      ASSERT_TRUE(count);
      EXPECT_EQ(*count, expected.size());
    }
  }
}

// ---- Phrase cases -------------------------------------------------------

struct PhraseCase {
  const char* doc;
  std::vector<const char*> phrase;
  uint32_t slop;
  bool matches;
};

TEST(PhraseQuery, Cases) {
  // Positions are those of the words; "x" fills the gaps.
  std::string gap250;
  for (int i = 0; i < 259; ++i) gap250 += "x ";
  std::string gap29;
  for (int i = 0; i < 29; ++i) gap29 += "x ";
  const std::string wide = "a " + gap250 + "b " + gap29 + "c";  // a 0, b 260, c 290
  const PhraseCase cases[] = {
      {"x x x x a b", {"a", "b"}, 0, true},
      {"x x x x b a", {"a", "b"}, 0, false},
      {"x x x x b a", {"a", "b"}, 2, true},
      {"x x x x b a", {"a", "b"}, 1, false},
      {"a x b x c", {"a", "b", "c"}, 1, false},
      {"a x b x c", {"a", "b", "c"}, 2, true},
      {"a b c", {"a", "b", "c"}, 0, true},
      {"a b x c", {"a", "b", "c"}, 0, false},
      // The slop spent between a and b (259) is carried: 288 > 280.
      {wide.c_str(), {"a", "b", "c"}, 280, false},
      {wide.c_str(), {"a", "b", "c"}, 290, true},
  };
  for (const auto& c : cases) {
    SearchFixture fx = SearchFixture::create();
    auto searcher = fx.searcher({fx.write_segment({c.doc, "a b c"})});
    PhraseQuery::Terms t;
    for (size_t i = 0; i < c.phrase.size(); ++i) t.emplace_back(i, schema::Term::from_field_text(fx.body, c.phrase[i]));
    PhraseQuery q(std::move(t), c.slop);
    auto hits = searcher->search(q, 10);
    ASSERT_TRUE(hits);
    bool found = false;
    for (const auto& h : *hits) found = found || h.address.doc_id == 0;
    EXPECT_EQ(found, c.matches) << c.phrase.size() << " terms, slop " << c.slop;
  }
}

// ---- Parser ---------------------------------------------------------------

TEST(QueryParser, Messages) {
  SearchFixture fx = SearchFixture::create();
  QueryParser parser(fx.index.schema(), fx.index.tokenizers(), {fx.body});
  const std::pair<const char*, const char*> cases[] = {
      {" a AND", "Syntax Error:  a AND"},
      {"id:12x", "Expected a valid integer: 'ParseIntError { kind: InvalidDigit }'"},
      {"id:", "Syntax Error: id:"},
      {"id:99999999999999999999", "Expected a valid integer: 'ParseIntError { kind: PosOverflow }'"},
      {"nope:a", "Field does not exist: 'nope'"},
      {"-a", "Invalid query: Only excluding terms given"},
      {"-a -b", "Invalid query: Only excluding terms given"},
      {"\"cat\"*", "The phrase '\"cat\"' does not produce at least two terms using the tokenizer '\"default\"'"},
      {"/ab/", "Unsupported query: Regex queries are not allowed."},
      {"[a TO b]", "Unsupported query: Range query need to target a specific field."},
  };
  for (const auto& [text, message] : cases) {
    auto q = parser.parse(text);
    ASSERT_FALSE(q) << text;
    EXPECT_EQ(q.error().message, message) << text;
  }
  for (const char* ok : {"", "   ", "a b", "a -b", "\"a b\"~3", "id:12", "body:(a OR b)^2", "*", "!!!"}) {
    EXPECT_TRUE(parser.parse(ok)) << ok;
  }
}

TEST(QueryParser, WordsAreAlternativesAndPhrasesMatch) {
  SearchFixture fx = SearchFixture::create();
  auto searcher = fx.searcher({fx.write_segment({"the big cat", "a big dog", "cat food", "dog cat"})});
  QueryParser parser(fx.index.schema(), fx.index.tokenizers(), {fx.body});
  auto docs_of = [&](const char* text) {
    auto q = parser.parse(text);
    EXPECT_TRUE(q) << text;
    std::set<uint32_t> out;
    auto hits = searcher->search(**q, 10);
    EXPECT_TRUE(hits);
    for (const auto& h : *hits) out.insert(h.address.doc_id);
    return out;
  };
  EXPECT_EQ(docs_of("cat dog"), (std::set<uint32_t>{0, 1, 2, 3}));
  EXPECT_EQ(docs_of("CAT -dog"), (std::set<uint32_t>{0, 2}));
  EXPECT_EQ(docs_of("\"big cat\""), (std::set<uint32_t>{0}));
  EXPECT_EQ(docs_of("big-cat"), (std::set<uint32_t>{0}));  // one word, two tokens: a phrase
  EXPECT_EQ(docs_of("cat AND dog"), (std::set<uint32_t>{3}));
  EXPECT_EQ(docs_of("big AND (cat OR food)"), (std::set<uint32_t>{0}));
  EXPECT_EQ(docs_of("*"), (std::set<uint32_t>{0, 1, 2, 3}));
  EXPECT_EQ(docs_of(""), (std::set<uint32_t>{}));
}

}  // namespace
}  // namespace fendral::query
