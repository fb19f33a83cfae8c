// Random and mutated search texts through the query grammar, the query
// parser and a search: no crash, no hang, no sanitizer report; the promises
// of the results hold for every input (deep nesting, long slops, every
// operator included).
//
// QUERY_FUZZ_ITERATIONS overrides the number of inputs (default per target,
// see CMakeLists.txt); QUERY_FUZZ_SEED the seed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "fulltext/query/query_parser.h"
#include "fulltext/query_grammar/query_grammar.h"
#include "segment_search_fixture.h"

#ifndef QUERY_FUZZ_DEFAULT_ITERATIONS
#define QUERY_FUZZ_DEFAULT_ITERATIONS 100000
#endif

namespace fendral {
namespace {

const std::vector<std::string> kSeeds = {
    "big cat",
    "+big -dog cat^2.5 OR (food AND NOT bird)",
    "body:(cat OR \"big dog\"~3) AND id:12",
    "\"the big cat\"~4294967295 \"big ca\"* body:\"a b\"~0",
    "id:[1 TO 5} id:{3 TO *] id:>=3 id:<7 body:IN [cat dog] body:* /ab+c/ *",
    "((((cat)))) -(-(-(dog))) NOT NOT NOT cat",
    "a^0 b^99999999999999999999999999 c^1.0000000000000001 (a b)^3.5",
    "caf\xC3\xA9 \xE2\x80\x9C" "cat\xE2\x80\x9D body:\\:cat \\\"x \\(y\\)",
};

const std::vector<std::string> kTokens = {
    "cat", "dog", "big", "food", "AND", "OR", "NOT", "and", "or", "+", "-", "^", "^2", "^0.5", ":", "body:",
    "id:", "nope:", "(", ")", "[", "]", "{", "}", "TO", "IN", "*", "\"", "\"~", "~", "~7", "~4294967296",
    "/", "/a.*b/", ">", ">=", "<", "<=", "\\", "\\\"", " ", "  ", "\t", "\n", "\xC3\xA9", "\xFF", "\0",
    "12", "-3", "1.5", "18446744073709551616", "\"big cat\"", "\"big ca\"*", "!!!", "'", "''",
};

size_t pick(std::mt19937_64& rng, size_t n) { return n == 0 ? 0 : static_cast<size_t>(rng() % n); }

std::string mutate(std::mt19937_64& rng, std::string s) {
  int edits = 1 + static_cast<int>(rng() % 4);
  for (int e = 0; e < edits; ++e) {
    size_t at = pick(rng, s.size() + 1);
    switch (rng() % 6) {
      case 0: s.insert(at, kTokens[pick(rng, kTokens.size())]); break;
      case 1:
        if (!s.empty()) s.erase(at < s.size() ? at : s.size() - 1, 1 + pick(rng, 8));
        break;
      case 2:
        if (at < s.size()) s[at] = static_cast<char>(rng());
        break;
      case 3: {  // duplicate a chunk (nesting, repetition)
        std::string chunk = s.substr(std::min(at, s.size()), pick(rng, s.size() - std::min(at, s.size()) + 1));
        s.insert(std::min(at, s.size()), chunk);
        break;
      }
      case 4: {
        const std::string& o = kSeeds[pick(rng, kSeeds.size())];
        size_t from = pick(rng, o.size());
        s.insert(at, o.substr(from, pick(rng, o.size() - from + 1)));
        break;
      }
      default: s.insert(at, std::string(1 + pick(rng, 40), "(-+\""[pick(rng, 4)]));
    }
  }
  if (s.size() > 4096) s.resize(4096);
  return s;
}

// Grammar-guided text: mostly well-formed queries, so that the parser's
// conversion sees deep and varied trees.
std::string gen_query(std::mt19937_64& rng, int depth) {
  auto word = [&] { return std::string(kTokens[pick(rng, 4)]); };
  auto number = [&] {
    const char* n[] = {"0", "7", "12", "4294967295", "4294967296", "99999999999999999999", "1.5", "007"};
    return std::string(n[pick(rng, 8)]);
  };
  switch (depth <= 0 ? pick(rng, 6) : pick(rng, 14)) {
    case 0: return word();
    case 1: return "\"" + word() + " " + word() + (pick(rng, 2) ? " " + word() : "") + "\"" +
                   (pick(rng, 2) ? "~" + number() : "");
    case 2: return "\"" + word() + " " + word() + "\"*";
    case 3: return std::string(pick(rng, 2) ? "body:" : "id:") + (pick(rng, 2) ? word() : number());
    case 4: return std::string("id:") + "[{"[pick(rng, 2)] + number() + " TO " + (pick(rng, 3) ? number() : "*") + "]}"[pick(rng, 2)];
    case 5: return std::string(pick(rng, 2) ? "id:>=" : "body:<") + number();
    case 6: return "(" + gen_query(rng, depth - 1) + ")";
    case 7: return gen_query(rng, depth - 1) + " AND " + gen_query(rng, depth - 1);
    case 8: return gen_query(rng, depth - 1) + " OR " + gen_query(rng, depth - 1);
    case 9: return std::string(pick(rng, 2) ? "NOT " : "-") + gen_query(rng, depth - 1);
    case 10: return "+" + gen_query(rng, depth - 1) + " " + gen_query(rng, depth - 1);
    case 11: return "(" + gen_query(rng, depth - 1) + ")^" + number();
    case 12: return "body:(" + gen_query(rng, depth - 1) + ")";
    default: return gen_query(rng, depth - 1) + " " + gen_query(rng, depth - 1);
  }
}

// Nesting around and beyond the grammar's depth bound.
std::string deep(std::mt19937_64& rng) {
  const size_t n = 1 + pick(rng, 2 * query_grammar::kMaxQueryDepth + 50);
  const char* open[] = {"(", "NOT ", "-(", "body:(", "+(", "((", "(a OR "};
  std::string s;
  std::vector<int> kinds;
  for (size_t i = 0; i < n; ++i) {
    int k = static_cast<int>(pick(rng, 7));
    kinds.push_back(k);
    s += open[k];
  }
  s += "cat";
  for (size_t i = n; i-- > 0;) {
    if (kinds[i] == 1) continue;
    s += kinds[i] == 5 ? "))" : ")";
    if (pick(rng, 8) == 0) s += "^2";
  }
  return pick(rng, 4) ? s : mutate(rng, s);
}

std::string generate(std::mt19937_64& rng) {
  switch (rng() % 7) {
    case 0: {  // token soup
      std::string s;
      size_t n = rng() % 40;
      for (size_t i = 0; i < n; ++i) s += kTokens[pick(rng, kTokens.size())] + (rng() % 2 ? " " : "");
      return s;
    }
    case 1: {  // random bytes
      std::string s(rng() % 64, '\0');
      for (char& c : s) c = static_cast<char>(rng());
      return s;
    }
    case 2: return deep(rng);
    case 3:
    case 4: {
      std::string s = gen_query(rng, 5);
      return rng() % 4 ? s : mutate(rng, s);
    }
    default: return mutate(rng, kSeeds[pick(rng, kSeeds.size())]);
  }
}

TEST(QueryTextFuzz, RandomAndMutatedQueryTexts) {
  size_t iterations = QUERY_FUZZ_DEFAULT_ITERATIONS;
  if (const char* v = std::getenv("QUERY_FUZZ_ITERATIONS")) iterations = std::strtoull(v, nullptr, 10);
  uint64_t seed = 0x9e3779b97f4a7c15ULL;
  if (const char* v = std::getenv("QUERY_FUZZ_SEED")) seed = std::strtoull(v, nullptr, 10);
  std::mt19937_64 rng(seed);

  auto fx = testing::SearchFixture::create();
  auto searcher = fx.searcher({fx.write_segment({"the big cat", "a big dog", "cat food", "dog cat", ""}),
                               fx.write_segment({"big big big cat", "food"}, 10)});
  query::QueryParser parser(fx.index.schema(), fx.index.tokenizers(), {fx.body});
  const uint64_t docs = searcher->num_docs();

  double slowest_ms = 0;
  std::string slowest;
  size_t parsed = 0, queries = 0, hits_total = 0;
  for (size_t i = 0; i < iterations; ++i) {
    const std::string text = generate(rng);
    auto t0 = std::chrono::steady_clock::now();
    auto ast = query_grammar::parse_query(text);
    if (ast) {
      ++parsed;
      (void)query_grammar::debug_string(query_grammar::simplify(std::move(*ast)));
    }
    auto q = parser.parse(text);
    // Outside the grammar exactly when the parser reports a syntax error.
    const bool syntax = !q && q.error().kind == query::QueryParserError::Kind::SyntaxError;
    ASSERT_EQ(syntax, !ast) << ::testing::PrintToString(text);
    if (syntax) {
      ASSERT_EQ(q.error().message, "Syntax Error: " + text);
    }
    if (q) {
      ++queries;
      // Every tenth query is searched; the rest stop at the parser.
      if (i % 10 == 0) {
        auto top = searcher->search(**q, 3);
        ASSERT_TRUE(top) << ::testing::PrintToString(text) << ": " << top.error().display();
        ASSERT_LE(top->size(), 3u);
        for (size_t h = 1; h < top->size(); ++h) ASSERT_FALSE(core::ranks_before((*top)[h], (*top)[h - 1]));
        auto count = searcher->count(**q);
        ASSERT_TRUE(count);
        ASSERT_LE(*count, docs);
        ASSERT_GE(*count, top->size());
        hits_total += top->size();
      }
    } else {
      ASSERT_FALSE(q.error().message.empty()) << ::testing::PrintToString(text);
    }
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if (ms > slowest_ms) {
      slowest_ms = ms;
      slowest = text;
    }
  }
  std::printf("query text fuzz: %zu inputs, %zu in the grammar, %zu queries, %zu hits, slowest %.2f ms (%zu bytes)\n",
              iterations, parsed, queries, hits_total, slowest_ms, slowest.size());
  // Bounded time: generous for a loaded machine or a sanitizer build.
  EXPECT_LT(slowest_ms, 2000.0) << ::testing::PrintToString(slowest);
}

}  // namespace
}  // namespace fendral
