// Top-k search: the bounded top-n buffer, block-WAND on its own, and the
// searcher's pruned top-k against exhaustive scoring and against BM25
// computed directly from the documents' tokens.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <array>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <set>

#include "fulltext/core/top_docs.h"
#include "fulltext/fieldnorm/fieldnorm_code.h"
#include "fulltext/query/block_wand.h"
#include "fulltext/query/boolean_query.h"
#include "fulltext/query/term_query.h"
#include "segment_search_fixture.h"

namespace fendral {
namespace {

using core::DocAddress;
using core::ScoredDoc;
using core::TopNComputer;
using query::TERMINATED;
using testing::SearchFixture;

constexpr float kLowest = std::numeric_limits<float>::lowest();

TEST(TopN, BufferTruncatesOnlyWhenFull) {
  struct Case {
    size_t limit;
    size_t pushes;
    bool threshold_set;
    size_t kept;
  };
  // Scores pushed: pushes-1, ..., 1, 0 (best first) on docs 0, 1, ...
  const Case cases[] = {
      {5, 10, false, 5},  // 2k: the buffer fills without cutting
      {5, 11, true, 5},   // 2k + 1: the last push cuts first (threshold 5)
      {0, 3, true, 0},    // limit 0: room for 2, emptied at each cut
      {5, 3, false, 3},   // fewer than the limit
  };
  for (const auto& c : cases) {
    TopNComputer<uint32_t> top(c.limit);
    for (uint32_t i = 0; i < c.pushes; ++i) top.push(static_cast<float>(c.pushes - 1 - i), i);
    EXPECT_EQ(top.threshold().has_value(), c.threshold_set) << c.limit << "/" << c.pushes;
    if (c.threshold_set && c.limit > 0) {
      EXPECT_EQ(*top.threshold(), static_cast<float>(c.pushes - 1 - c.limit));
    }
    auto sorted = std::move(top).into_sorted_vec();
    ASSERT_EQ(sorted.size(), c.kept);
    for (uint32_t i = 0; i < sorted.size(); ++i) EXPECT_EQ(sorted[i].doc, i);
  }
  // Equal scores rank by doc; a score equal to the threshold is dropped.
  TopNComputer<uint32_t> ties(1);
  for (uint32_t d : {7u, 3u, 9u}) ties.push(1.0f, d);
  EXPECT_EQ(ties.threshold(), 1.0f);
  ties.push(1.0f, 0);
  auto v = std::move(ties).into_sorted_vec();
  ASSERT_EQ(v.size(), 1u);
  EXPECT_EQ(v[0].doc, 3u);
  // NaN ranks after every number and the order stays strict.
  EXPECT_TRUE(core::ranks_before(1.0f, 5u, std::nanf(""), 0u));
  EXPECT_FALSE(core::ranks_before(std::nanf(""), 0u, 1.0f, 5u));
  EXPECT_FALSE(core::ranks_before(std::nanf(""), 2u, std::nanf(""), 2u));
}

TEST(TopDocs, MergeKeepsTiesInAddressOrder) {
  // Segment lists come unordered. The third holds three hits tied at 1.0,
  // the lowest address last; it must still win the last place.
  std::vector<std::vector<ScoredDoc>> lists = {
      {{10.0f, {0, 0}}, {10.0f, {0, 1}}, {0.1f, {0, 2}}},
      {{0.1f, {1, 0}}},
      {{1.0f, {2, 20}}, {1.0f, {2, 30}}, {1.0f, {2, 10}}},
  };
  auto hits = core::TopDocs(3).merge_results(lists);
  EXPECT_EQ(hits, (std::vector<ScoredDoc>{{10.0f, {0, 0}}, {10.0f, {0, 1}}, {1.0f, {2, 10}}}));
  EXPECT_TRUE(core::TopDocs(0).merge_results(lists).empty());
}

// ---- Corpus -------------------------------------------------------------

// "body" keeps field norms; "plain" (the same text) has none.
struct Corpus {
  schema::Field plain = 2;
  SearchFixture fx;
  std::vector<index::SegmentMeta> metas;
  std::vector<std::vector<std::vector<std::string>>> tokens;  // [segment][doc]

  Corpus() : fx(SearchFixture::create(schema())) {}

  static schema::Schema schema() {
    auto b = SearchFixture::schema_builder();
    schema::TextOptions text;
    text.indexing = schema::TextFieldIndexing{};
    text.indexing->record = schema::RecordOption::WithFreqs;
    text.indexing->fieldnorms = false;
    b.add_field({"plain", schema::FieldType::str(text)});
    return b.build();
  }

  // Zipf-like words: w0 in most docs, long tails in few.
  void add_segment(std::mt19937_64& rng, size_t docs, size_t vocab) {
    std::vector<schema::CompactDoc> out;
    std::vector<std::vector<std::string>> toks;
    for (size_t i = 0; i < docs; ++i) {
      std::vector<std::string> d;
      size_t len = 1 + rng() % (rng() % 4 == 0 ? 200 : 25);
      std::string text;
      for (size_t k = 0; k < len; ++k) {
        double u = std::uniform_real_distribution<double>(0, 1)(rng);
        d.push_back("w" + std::to_string(static_cast<size_t>(std::pow(u, 3.0) * vocab)));
        text += d.back() + " ";
      }
      schema::CompactDoc doc = fx.doc(i, text);
      EXPECT_TRUE(doc.add_field_value(plain, schema::OwnedValue(text)));
      out.push_back(std::move(doc));
      toks.push_back(std::move(d));
    }
    metas.push_back(fx.write_docs(std::move(out)));
    tokens.push_back(std::move(toks));
  }
};

std::vector<std::unique_ptr<query::TermScorer>> term_scorers(const SearchFixture& fx, const core::Searcher& s,
                                                             const std::vector<std::string>& words) {
  std::vector<std::unique_ptr<query::TermScorer>> out;
  for (const auto& w : words) {
    query::TermQuery q(schema::Term::from_field_text(fx.body, w), schema::RecordOption::WithFreqs);
    auto weight = q.weight(query::ScoringMode::enabled(s.schema(), s));
    auto sc = (*weight)->scorer(*s.segment_readers()[0], 1.0f);
    auto* t = dynamic_cast<query::TermScorer*>(sc->get());
    EXPECT_TRUE(t) << w;
    sc->release();
    out.emplace_back(t);
  }
  return out;
}

std::vector<std::pair<uint32_t, float>> union_scores(const SearchFixture& fx, const core::Searcher& s,
                                                     const std::vector<std::string>& words) {
  std::vector<std::pair<uint32_t, float>> out;
  std::map<uint32_t, float> by_doc;
  for (auto& t : term_scorers(fx, s, words)) {
    for (uint32_t d = t->doc(); d != TERMINATED; d = t->advance()) by_doc[d] = by_doc[d] + t->score();
  }
  for (auto [d, sc] : by_doc) out.emplace_back(d, sc);
  return out;
}

TEST(BlockWand, EdgeCases) {
  std::mt19937_64 rng(3);
  Corpus c;
  c.add_segment(rng, 3000, 200);
  auto s = c.fx.searcher(c.metas);
  const std::vector<std::string> words = {"w0", "w3", "w150", "w0"};
  auto all = union_scores(c.fx, *s, words);
  ASSERT_GT(all.size(), 1000u);

  // A threshold below every score and a callback that keeps it: every doc
  // of the union once, in order, with the sum of its terms' scores.
  auto scorers = term_scorers(c.fx, *s, words);
  std::vector<std::pair<uint32_t, float>> seen;
  query::block_wand(scorers, kLowest, [&](uint32_t d, float sc) {
    seen.emplace_back(d, sc);
    return kLowest;
  });
  EXPECT_EQ(seen, all);

  // A threshold at the sum of the whole-term bounds: no call at all.
  scorers = term_scorers(c.fx, *s, words);
  float bound = 0.0f;
  for (const auto& t : scorers) bound = bound + t->max_score();
  size_t calls = 0;
  query::block_wand(scorers, bound, [&](uint32_t, float) { return ++calls, bound; });
  EXPECT_EQ(calls, 0u);

  // A rising threshold passes only docs that beat it, and prunes: far fewer
  // calls than the union holds.
  scorers = term_scorers(c.fx, *s, words);
  float best = kLowest;
  seen.clear();
  query::block_wand(scorers, kLowest, [&](uint32_t d, float sc) {
    EXPECT_GT(sc, best);
    seen.emplace_back(d, sc);
    return best = sc;
  });
  float expected_best = kLowest;
  size_t records = 0;
  for (auto [d, sc] : all) {
    if (sc > expected_best) expected_best = sc, ++records;
  }
  EXPECT_EQ(best, expected_best);
  EXPECT_EQ(seen.size(), records);

  // An empty list calls nothing.
  std::vector<std::unique_ptr<query::TermScorer>> none;
  query::block_wand(none, kLowest, [&](uint32_t, float) {
    ADD_FAILURE();
    return kLowest;
  });
}

// ---- Pruned top-k against exhaustive scoring and direct BM25 --------------

std::vector<ScoredDoc> exhaustive(const core::Searcher& s, const query::Query& q, size_t k) {
  auto w = q.weight(query::ScoringMode::enabled(s.schema(), s));
  EXPECT_TRUE(w);
  std::vector<ScoredDoc> all;
  for (uint32_t ord = 0; ord < s.segment_readers().size(); ++ord) {
    const auto& r = *s.segment_readers()[ord];
    auto sc = (*w)->scorer(r, 1.0f);
    EXPECT_TRUE(sc);
    for (uint32_t d = (*sc)->doc(); d != TERMINATED; d = (*sc)->advance()) {
      if (r.is_alive(d)) all.push_back({(*sc)->score(), {ord, d}});
    }
  }
  std::sort(all.begin(), all.end(), [](const ScoredDoc& a, const ScoredDoc& b) { return core::ranks_before(a, b); });
  if (all.size() > k) all.resize(k);
  return all;
}

// BM25 in f32 from the tokens themselves, terms summed in query order.
struct DirectBm25 {
  struct Posting {
    uint32_t ord, doc, tf;
  };
  uint64_t n_docs = 0, n_tokens = 0;
  std::map<std::string, std::vector<Posting>> postings;
  std::vector<std::vector<uint32_t>> lengths;  // [segment][doc]

  explicit DirectBm25(const Corpus& c) {
    for (uint32_t ord = 0; ord < c.tokens.size(); ++ord) {
      lengths.emplace_back();
      for (uint32_t doc = 0; doc < c.tokens[ord].size(); ++doc) {
        const auto& d = c.tokens[ord][doc];
        ++n_docs;
        n_tokens += d.size();
        lengths.back().push_back(static_cast<uint32_t>(d.size()));
        std::map<std::string, uint32_t> tf;
        for (const auto& w : d) ++tf[w];
        for (const auto& [w, n] : tf) postings[w].push_back({ord, doc, n});
      }
    }
  }

  std::vector<ScoredDoc> top(const std::vector<std::vector<uint32_t>>& alive, bool norms,
                             const std::vector<std::string>& words, size_t k) const {
    const float avg = static_cast<float>(n_tokens) / static_cast<float>(n_docs);
    std::map<DocAddress, float> scores;
    for (const auto& w : words) {
      auto it = postings.find(w);
      if (it == postings.end()) continue;
      const uint64_t n = it->second.size();
      const float idf = std::log((static_cast<float>(n_docs - n) + 0.5f) / (static_cast<float>(n) + 0.5f) + 1.0f);
      for (const auto& p : it->second) {
        uint32_t len = norms ? fieldnorm::length_of_id(fieldnorm::id_of_length(lengths[p.ord][p.doc])) : 1;
        float norm = ((static_cast<float>(len) * 0.75f) / avg + 0.25f) * 1.2f;
        float t = static_cast<float>(p.tf);
        float& s = scores[{p.ord, p.doc}];
        s = s + (t / (norm + t)) * (2.2f * idf);
      }
    }
    std::vector<ScoredDoc> all;
    for (const auto& [a, s] : scores) {
      if (a.segment_ord < alive.size() && !alive[a.segment_ord].empty() &&
          !std::binary_search(alive[a.segment_ord].begin(), alive[a.segment_ord].end(), a.doc_id)) {
        continue;
      }
      all.push_back({s, a});
    }
    std::sort(all.begin(), all.end(), [](const ScoredDoc& x, const ScoredDoc& y) { return core::ranks_before(x, y); });
    if (all.size() > k) all.resize(k);
    return all;
  }
};

std::string show(const std::vector<ScoredDoc>& hits) {
  std::string s;
  for (const auto& h : hits) s += fmt::format("({}:{} {:.9g}) ", h.address.segment_ord, h.address.doc_id, h.score);
  return s;
}

TEST(TopK, BlockWandEqualsExhaustiveAndDirectBm25) {
  std::mt19937_64 rng(20);
  Corpus c;
  constexpr size_t kVocab = 400;
  // Each step changes the statistics: a new segment, then deletions (which
  // the statistics still count) with another segment.
  struct Step {
    size_t docs;
    bool delete_some;
  };
  const Step steps[] = {{2500, false}, {1500, false}, {900, true}};
  std::vector<std::vector<uint32_t>> alive;
  size_t queries = 0, direct = 0;
  for (const auto& step : steps) {
    c.add_segment(rng, step.docs, kVocab);
    if (step.delete_some) {
      alive.assign(c.metas.size(), {});
      for (uint32_t d = 0; d < c.tokens[0].size(); ++d) {
        if (rng() % 3 != 0) alive[0].push_back(d);
      }
    }
    auto s = c.fx.searcher(c.metas, alive);
    const DirectBm25 model(c);
    for (int i = 0; i < 3400; ++i, ++queries) {
      const bool norms = i % 2 == 0;
      const schema::Field f = norms ? c.fx.body : c.plain;
      std::vector<std::string> words;
      std::vector<query::BooleanQuery::Clause> clauses;
      const size_t n = 2 + rng() % 5;
      bool boosted = false;
      for (size_t t = 0; t < n; ++t) {
        // Mostly frequent words (long postings with blocks), some rare or absent.
        size_t id = rng() % 4 == 0 ? rng() % (kVocab + 20) : rng() % 12;
        words.push_back("w" + std::to_string(id));
        std::shared_ptr<const query::Query> q =
            std::make_shared<query::TermQuery>(schema::Term::from_field_text(f, words.back()), schema::RecordOption::WithFreqs);
        if (i % 5 == 4 && t == 0) {
          q = std::make_shared<query::BoostQuery>(q, 2.5f);
          boosted = true;
        }
        clauses.emplace_back(query::Occur::Should, q);
      }
      query::BooleanQuery q(std::move(clauses));
      const size_t k = std::array<size_t, 5>{1, 3, 10, 10, 40}[rng() % 5];
      auto got = s->search(q, k);
      ASSERT_TRUE(got) << got.error().display();
      auto want = exhaustive(*s, q, k);
      ASSERT_EQ(*got, want) << "query " << queries << " " << fmt::format("{}", fmt::join(words, " ")) << " k " << k
                            << "\n got  " << show(*got) << "\n want " << show(want);
      if (!boosted && i < 600) {
        ++direct;
        auto bm25 = model.top(alive, norms, words, k);
        ASSERT_EQ(*got, bm25) << "query " << queries << " " << fmt::format("{}", fmt::join(words, " ")) << " k " << k
                              << "\n got    " << show(*got) << "\n direct " << show(bm25);
      }
    }
  }
  EXPECT_GE(queries, 10'000u);
  EXPECT_GE(direct, 1'000u);
}

}  // namespace
}  // namespace fendral
