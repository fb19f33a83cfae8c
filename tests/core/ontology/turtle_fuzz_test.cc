// Mutation fuzzing of the Turtle reader: every input gives triples or an
// error with a position inside the text; no crash, no hang, no sanitizer
// report. TURTLE_FUZZ_ITERATIONS overrides the count, TURTLE_FUZZ_SEED the seed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "rdf_owl/importer/term_values.h"
#include "rdf_owl/importer/turtle_reader.h"

#ifndef TURTLE_FUZZ_DEFAULT_ITERATIONS
#define TURTLE_FUZZ_DEFAULT_ITERATIONS 20000
#endif

namespace zudizid::rdf_owl::importer {
namespace {

const std::vector<std::string> kSeeds = {
    "@prefix ex: <http://e/> .\nex:Dog a ex:Class ; ex:p \"x\"@en , 3.5 , \"1\"^^ex:int .",
    "PREFIX : <http://d/>\nBASE <http://b/>\n:a :b ( 1 [ :c \"\"\"l\nong\"\"\" ] () ) .",
    "[ :p [ :q '''a'b''' ] ] :r _:x . # c\n<a\\u0041> <b> -1e-3 , true .",
};
const std::vector<std::string> kTokens = {
    "@prefix", "@base", "PREFIX", "BASE", "a", "true", "<", ">", "\"", "'", "\"\"\"", "'''", "[", "]", "(", ")",
    ".", ";", ",", "^^", "@en", "_:", ":", "ex:", "\\", "\\u", "\\U0010FFFF", "#", "\n", " ", "1", "-", "+",
    "e", ".5", "\xC3\xA9", "%41", "\xE2\x80\x8B"};

int iterations() {
  if (const char* env = std::getenv("TURTLE_FUZZ_ITERATIONS")) return std::atoi(env);
#ifdef ZUDIZID_SANITIZED
  return TURTLE_FUZZ_DEFAULT_ITERATIONS / 4;
#else
  return TURTLE_FUZZ_DEFAULT_ITERATIONS;
#endif
}

TEST(TurtleFuzz, MutatedDocumentsReadOrFailCleanly) {
  const char* seed_env = std::getenv("TURTLE_FUZZ_SEED");
  std::mt19937_64 rng(seed_env ? std::strtoull(seed_env, nullptr, 10) : 7);
  size_t accepted = 0;
  for (int n = iterations(), i = 0; i < n; ++i) {
    std::string text = kSeeds[rng() % kSeeds.size()];
    for (int m = 1 + static_cast<int>(rng() % 4); m > 0; --m) {
      const size_t at = text.empty() ? 0 : rng() % (text.size() + 1);
      switch (rng() % 4) {
        case 0: text.insert(at, kTokens[rng() % kTokens.size()]); break;
        case 1: if (at < text.size()) text.erase(at, 1 + rng() % 4); break;
        case 2: if (at < text.size()) text[at] = static_cast<char>(rng() % 128); break;
        default: text = text.substr(0, at); break;
      }
    }
    auto r = read_turtle(text);
    if (r) {
      ++accepted;
      for (const Triple& t : *r) {
        (void)local_name(t.subject);
        (void)literal_value(t.object);
      }
    } else {
      ASSERT_GE(r.error().line, 1u);
      ASSERT_GE(r.error().column, 1u);
      ASSERT_FALSE(r.error().message.empty());
    }
  }
  EXPECT_GT(accepted, 0u);
}

}  // namespace
}  // namespace zudizid::rdf_owl::importer
