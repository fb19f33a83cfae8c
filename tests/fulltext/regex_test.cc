#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "fulltext/fst/builder.h"
#include "fulltext/fst/regex/regex.h"
#include "fulltext/fst/regex/utf8_sequences.h"
#include "fulltext/fst/stream.h"

namespace fendral::fst::regex {
namespace {

using Kind = Error::Kind;

// Sanitizer builds run the random suites on fewer cases.
#ifdef ZUDIZID_SANITIZED
constexpr int kScale = 5;
#else
constexpr int kScale = 1;
#endif

TEST(Regex, ErrorMessages) {
  struct Case {
    std::string pattern;
    Kind kind;
    std::string message;
  } cases[] = {
      {"a+?", Kind::LazyRepetition, "Lazy reptition operators such as '+?' are not allowed."},
      {"a*?", Kind::LazyRepetition, "Lazy reptition operators such as '+?' are not allowed."},
      {"^a", Kind::EmptyMatch, "Empty match operators are not allowed (hopefully temporary)."},
      {"a$", Kind::EmptyMatch, "Empty match operators are not allowed (hopefully temporary)."},
      {"a\\b", Kind::EmptyMatch, "Empty match operators are not allowed (hopefully temporary)."},
      {"(?-u:[a-z])", Kind::ByteLiteral, "Byte literals are not allowed."},
      {"a{500000}", Kind::ProgramTooLarge, "Compiled regex exceeds size limit of 10485760 bytes"},
      {"[a-z]{1000}x", Kind::StateLimitExceeded, "Compiled regex exceeds size limit of 1000 states"},
  };
  for (const auto& c : cases) {
    auto r = Regex::create(c.pattern);
    ASSERT_FALSE(r.has_value()) << c.pattern;
    EXPECT_EQ(r.error().kind, c.kind) << c.pattern;
    EXPECT_EQ(r.error().display(), c.message) << c.pattern;
  }
  Error wb{Kind::WordBoundary, {}, 0};
  EXPECT_EQ(wb.display(), "Word boundary operators are not allowed.");
  for (std::string bad : {"(", ")", "a**{", "[a", "a{2,1}", "\\q", "\\1", "*a", "(?z)", "\\p{Nope}", "[b-a]"}) {
    auto r = Regex::create(bad);
    ASSERT_FALSE(r.has_value()) << bad;
    EXPECT_EQ(r.error().kind, Kind::SyntaxError) << bad;
  }
  std::string deep(300, '(');
  deep += "a" + std::string(300, ')');
  EXPECT_EQ(Regex::create(deep).error().kind, Kind::SyntaxError);
  std::string ok_depth(250, '(');
  ok_depth += "a" + std::string(250, ')');
  EXPECT_TRUE(Regex::create(ok_depth).has_value());
}

TEST(Regex, Matching) {
  struct Case {
    std::string pattern;
    std::vector<std::string> yes;
    std::vector<std::string> no;
  } cases[] = {
      {"", {""}, {"a"}},
      {"()", {""}, {"a"}},
      {"a*", {"", "a", "aaa"}, {"b", "ab"}},
      {"a+", {"a", "aa"}, {""}},
      {"ab", {"ab"}, {"abc", "xab", "a"}},
      {"a{2,4}", {"aa", "aaa", "aaaa"}, {"a", "aaaaa"}},
      {"a{2,}", {"aa", "aaaaaaa"}, {"a"}},
      {"[é-ü]", {"é", "ü", "ö"}, {"\xC3", "e", "ÿ"}},
      {"a[^\\s\\S]b", {}, {"ab", "a b", "axb"}},
      {"a[^\\s\\S]|c", {"c"}, {"a", ""}},
      {"(?i)straße", {"STRASSE"[0] == 'S' ? "Straße" : "", "sTRAße"}, {"strasse"}},
      {"(?i)k", {"k", "K", "\u212A"}, {"x"}},
      {"\\d+", {"123", "٣"}, {"", "a"}},
      {"\\pL+", {"héllo", "Ωμέγα"}, {"1"}},
      {"\\p{Greek}", {"Ω"}, {"O"}},
      {"[[:alpha:]&&[^aeiou]]+", {"bcd"}, {"bad"}},
      {"[a-z--[aeiou]]", {"b"}, {"a"}},
      {"a.c", {"abc", "a€c"}, {"a\nc", "ac"}},
      {"(?s)a.c", {"a\nc"}, {}},
      {"\\x{1F600}|\\u0041", {"😀", "A"}, {"B"}},
      {"(?x) a b # comment\n c", {"abc"}, {"a b c"}},
      {"(?P<name>ab)|(?:cd)", {"ab", "cd"}, {"abcd"}},
      {"a|", {"a", ""}, {"b"}},
  };
  for (const auto& c : cases) {
    auto r = Regex::create(c.pattern);
    ASSERT_TRUE(r.has_value()) << c.pattern << ": " << r.error().display();
    for (const auto& s : c.yes) EXPECT_TRUE(r->matches(s)) << c.pattern << " ~ " << s;
    for (const auto& s : c.no) EXPECT_FALSE(r->matches(s)) << c.pattern << " !~ " << s;
  }
}

TEST(Regex, Utf8SequencesCoverExactlyTheScalars) {
  std::mt19937 rng(5);
  for (int i = 0; i < 200; ++i) {
    uint32_t a = rng() % 0x110000;
    uint32_t b = rng() % 0x110000;
    if (i % 3 == 0) b = a + rng() % 300;
    if (b > 0x10FFFF) b = 0x10FFFF;
    if (a > b) std::swap(a, b);
    auto seqs = utf8_sequences(a, b);
    for (int k = 0; k < 300; ++k) {
      uint32_t cp = rng() % 0x110000;
      if (k % 2) cp = a + rng() % (b - a + 1);
      if (cp >= 0xD800 && cp <= 0xDFFF) continue;
      uint8_t enc[4];
      size_t n = encode_utf8(cp, enc);
      bool in_seq = std::any_of(seqs.begin(), seqs.end(), [&](const Utf8Sequence& s) {
        if (s.size() != n) return false;
        for (size_t j = 0; j < n; ++j) {
          if (enc[j] < s[j].lo || enc[j] > s[j].hi) return false;
        }
        return true;
      });
      ASSERT_EQ(in_seq, cp >= a && cp <= b) << a << ".." << b << " " << cp;
    }
  }
}

// A reference matcher over the syntax tree: the set of end positions.
std::set<size_t> ends(const Hir& h, const std::string& s, size_t at) {
  switch (h.kind) {
    case Hir::Kind::Empty:
      return {at};
    case Hir::Kind::Literal:
      if (at < s.size() && static_cast<unsigned char>(s[at]) == h.ch) return {at + 1};
      return {};
    case Hir::Kind::Class:
      for (auto r : h.ranges) {
        if (at < s.size() && static_cast<unsigned char>(s[at]) >= r.lo && static_cast<unsigned char>(s[at]) <= r.hi) {
          return {at + 1};
        }
      }
      return {};
    case Hir::Kind::Group:
      return ends(h.subs[0], s, at);
    case Hir::Kind::Concat: {
      std::set<size_t> cur{at};
      for (const Hir& sub : h.subs) {
        std::set<size_t> next;
        for (size_t p : cur) {
          auto e = ends(sub, s, p);
          next.insert(e.begin(), e.end());
        }
        cur = std::move(next);
      }
      return cur;
    }
    case Hir::Kind::Alternation: {
      std::set<size_t> out;
      for (const Hir& sub : h.subs) {
        auto e = ends(sub, s, at);
        out.insert(e.begin(), e.end());
      }
      return out;
    }
    case Hir::Kind::Repetition: {
      std::set<size_t> out;
      std::set<size_t> cur{at};
      for (uint32_t n = 0;; ++n) {
        if (n >= h.min) out.insert(cur.begin(), cur.end());
        if ((h.bounded && n >= h.max) || cur.empty() || n > s.size() + h.min) break;
        std::set<size_t> next;
        for (size_t p : cur) {
          auto e = ends(h.subs[0], s, p);
          next.insert(e.begin(), e.end());
        }
        cur = std::move(next);
      }
      return out;
    }
    default:
      return {};
  }
}

bool reference_match(const Hir& h, const std::string& s) { return ends(h, s, 0).count(s.size()) > 0; }

std::string random_pattern(std::mt19937& rng, int depth = 0) {
  static const char* atoms[] = {"a", "b", "c", "[ab]", "[^a]", ".", "(a|bc)", "[a-c]", "[^\\s\\S]"};
  std::string p;
  int n = 1 + static_cast<int>(rng() % 3);
  for (int i = 0; i < n; ++i) {
    std::string atom = depth < 2 && rng() % 4 == 0 ? "(" + random_pattern(rng, depth + 1) + ")" : atoms[rng() % 9];
    static const char* reps[] = {"", "", "*", "+", "?", "{2}", "{1,3}", "{0,2}", "{2,}"};
    p += atom + reps[rng() % 9];
  }
  if (rng() % 4 == 0) p += "|" + random_pattern(rng, depth + 1);
  return p;
}

TEST(RegexModel, DfaAgreesWithBacktracking) {
  std::mt19937 rng(17);
  std::vector<std::string> inputs{""};
  for (size_t len = 1; len <= (kScale == 1 ? 5u : 4u); ++len) {
    size_t count = 1;
    for (size_t i = 0; i < len; ++i) count *= 4;
    for (size_t k = 0; k < count; ++k) {
      std::string s;
      size_t x = k;
      for (size_t i = 0; i < len; ++i, x /= 4) s.push_back("abcd"[x % 4]);
      inputs.push_back(s);
    }
  }
  for (int i = 0; i < 300 / kScale; ++i) {
    std::string p = random_pattern(rng);
    auto re = Regex::create(p);
    if (!re) {
      ASSERT_EQ(re.error().kind, Kind::StateLimitExceeded) << p;
      continue;
    }
    auto hir = parse(p);
    for (const std::string& s : inputs) ASSERT_EQ(re->matches(s), reference_match(*hir, s)) << p << " on " << s;
  }
}

TEST(RegexModel, FstStreamEqualsFiltering) {
  std::mt19937 rng(23);
  std::set<std::string> keys;
  while (keys.size() < 10000) {
    std::string k;
    for (size_t n = rng() % 8; n > 0; --n) k.push_back("abcde"[rng() % 5]);
    keys.insert(k);
  }
  std::vector<std::pair<std::vector<uint8_t>, uint64_t>> pairs;
  for (const auto& k : keys) pairs.emplace_back(std::vector<uint8_t>(k.begin(), k.end()), pairs.size());
  auto bytes = build_in_memory(pairs);
  ASSERT_TRUE(bytes.has_value());
  auto fst = Fst::open(OwnedBytes::from_vector(std::move(*bytes)));
  ASSERT_TRUE(fst.has_value());
  for (int i = 0; i < 40; ++i) {
    std::string p = random_pattern(rng);
    auto re = Regex::create(p);
    if (!re) continue;
    auto hir = parse(p);
    auto stream = StreamBuilder<Regex>(&*fst, *re).into_stream();
    ASSERT_TRUE(stream.has_value());
    std::vector<std::string> got;
    while (true) {
      auto item = (*stream)->next();
      ASSERT_TRUE(item.has_value());
      if (!*item) break;
      got.emplace_back((*item)->first.begin(), (*item)->first.end());
    }
    std::vector<std::string> expected;
    for (const auto& k : keys) {
      if (reference_match(*hir, k)) expected.push_back(k);
    }
    ASSERT_EQ(got, expected) << p;
  }
}

TEST(RegexFuzz, RandomTextsCompileOrFailCleanly) {
  std::mt19937 rng(99);
  static const char* pieces[] = {"a", "b", "(", ")", "[", "]", "^", "-", "|", "*", "+", "?", "{", "}", ",", "1",
                                 "2", "\\", "d", "s", "w", "p", "L", "{Greek}", ".", "é", "(?i)", "(?-u:", ":",
                                 "&&", "x", "{2,3}", "[:alpha:]", "$", "0", "u"};
  constexpr size_t n = sizeof(pieces) / sizeof(pieces[0]);
  int ok = 0;
  for (int i = 0; i < 100000 / kScale; ++i) {
    std::string p;
    for (size_t k = rng() % 10; k > 0; --k) p += pieces[rng() % n];
    if (rng() % 50 == 0) p.push_back(static_cast<char>(rng()));  // possibly invalid UTF-8
    auto re = Regex::create(p);
    if (re) {
      ++ok;
      (void)re->matches("ab1");
    }
  }
  EXPECT_GT(ok, 1000 / kScale);
}

}  // namespace
}  // namespace fendral::fst::regex
