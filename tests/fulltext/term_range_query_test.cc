// Range, fuzzy, regex, term-set and phrase-prefix queries: the Levenshtein
// automaton against an edit-distance function, the queries against a
// brute-force matcher over random segments with deletions, and the tables of
// their cases and errors.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <algorithm>
#include <random>
#include <regex>
#include <set>

#include "fulltext/common/utf8.h"
#include "fulltext/columnar/writer/columnar_writer.h"
#include "fulltext/core/searcher.h"
#include "fulltext/directory/ram_directory.h"
#include "fulltext/indexer/segment_writer.h"
#include "fulltext/query/fast_field_range_doc_set.h"
#include "fulltext/query/fuzzy_term_query.h"
#include "fulltext/query/levenshtein_automaton.h"
#include "fulltext/query/phrase_prefix_query.h"
#include "fulltext/query/query_parser.h"
#include "fulltext/query/range_query.h"
#include "fulltext/query/regex_query.h"
#include "fulltext/query/term_query.h"
#include "fulltext/query/term_set_query.h"

namespace fendral::query {
namespace {

using schema::Term;

std::vector<uint32_t> code_points(std::string_view s) {
  std::vector<uint32_t> out;
  for (size_t i = 0; i < s.size();) {
    uint32_t cp = 0;
    i += decode_utf8(s, i, &cp);
    out.push_back(cp);
  }
  return out;
}

// Edit distance in code points; with `swap`, adjacent transpositions count
// one edit (optimal string alignment).
uint32_t distance(std::string_view a8, std::string_view b8, bool swap) {
  auto a = code_points(a8), b = code_points(b8);
  std::vector<std::vector<uint32_t>> d(a.size() + 1, std::vector<uint32_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = static_cast<uint32_t>(i);
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = static_cast<uint32_t>(j);
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (swap && i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

bool fuzzy_match(std::string_view text, std::string_view key, uint32_t d, bool swap, bool prefix) {
  if (!prefix) return distance(text, key, swap) <= d;
  // Some prefix of the key (whole code points) lies within the distance.
  for (size_t end = 0;; ) {
    if (distance(text, key.substr(0, end), swap) <= d) return true;
    if (end == key.size()) return false;
    uint32_t cp;
    end += decode_utf8(key, end, &cp);
  }
}

bool dfa_accepts(const LevenshteinDfa& dfa, std::string_view key) {
  auto s = dfa.start();
  for (unsigned char c : key) s = dfa.accept(s, c);
  return dfa.is_match(s);
}

std::string random_word(std::mt19937_64& rng, size_t max_len) {
  static const char* const kAlphabet[] = {"a", "b", "c", "é", "ü"};
  std::string w;
  size_t len = rng() % (max_len + 1);
  for (size_t i = 0; i < len; ++i) w += kAlphabet[rng() % 5];
  return w;
}

TEST(Levenshtein, Cases) {
  struct Case {
    const char* text;
    const char* key;
    uint8_t d;
    bool swap;
    bool prefix;
    bool match;
  };
  const Case cases[] = {
      {"ab", "ba", 1, true, false, true},
      {"ab", "ba", 1, false, false, false},
      {"ab", "ba", 2, false, false, true},
      {"é", "e", 1, false, false, true},  // one code point of two bytes
      {"cat", "cat", 0, false, false, true},
      {"cat", "cats", 0, false, false, false},
      {"cat", "cats", 0, false, true, true},
      {"cat", "ca", 0, false, true, false},
      {"", "", 0, false, false, true},
      {"", "xy", 2, false, false, true},
      {"kitten", "sitting", 2, true, false, false},
      {"kitten", "sittin", 2, false, false, true},
      {"abc", "\xff", 2, false, false, false},  // not UTF-8: the sink
  };
  for (const auto& c : cases) {
    auto dfa = LevenshteinBuilder::get(c.d, c.swap).build_dfa(c.text, c.prefix);
    ASSERT_TRUE(dfa) << dfa.error().display();
    EXPECT_EQ(dfa_accepts(*dfa, c.key), c.match) << c.text << " / " << c.key << " d" << int(c.d);
  }
}

TEST(Levenshtein, EqualsEditDistance) {
  std::mt19937_64 rng(5);
  for (int round = 0; round < 120; ++round) {
    const std::string text = random_word(rng, 6);
    for (uint8_t d = 0; d < 3; ++d) {
      for (bool swap : {false, true}) {
        for (bool prefix : {false, true}) {
          auto dfa = LevenshteinBuilder::get(d, swap).build_dfa(text, prefix);
          ASSERT_TRUE(dfa);
          for (int k = 0; k < 40; ++k) {
            const std::string key = random_word(rng, 8);
            ASSERT_EQ(dfa_accepts(*dfa, key), fuzzy_match(text, key, d, swap, prefix))
                << text << " / " << key << " d" << int(d) << " swap " << swap << " prefix " << prefix;
          }
        }
      }
    }
  }
}

TEST(Levenshtein, LongTextIsRefusedNotExhaustingMemory) {
  std::string text;
  for (int i = 0; i < 5000; ++i) text += static_cast<char>('a' + i % 26);
  auto dfa = LevenshteinBuilder::get(2, true).build_dfa(text, false);
  ASSERT_FALSE(dfa);
  EXPECT_EQ(dfa.error().kind(), FendralError::Kind::InvalidArgument);
}

// ---- An index with every field kind a range can target -------------------

struct Row {
  std::vector<std::string> words;  // body, in position order
  std::optional<uint64_t> num;     // fast u64, not indexed
  int64_t inum = 0;                // indexed i64, not fast
  std::string tag;                 // raw text, indexed and fast
  uint8_t ip = 0;                  // fast address ::ip
};

struct Fields {
  schema::Field body, id, num, inum, tag, ip, flag, json, jf;
};

struct Corpus {
  index::FendralIndex index;
  Fields f;
  std::vector<Row> rows;      // by stored id
  std::vector<bool> deleted;  // by stored id
  std::shared_ptr<const core::Searcher> searcher;

  static Corpus create() {
    schema::SchemaBuilder b;
    schema::TextOptions text;
    text.indexing = schema::TextFieldIndexing{};
    text.indexing->record = schema::RecordOption::WithFreqsAndPositions;
    Fields f;
    f.body = b.add_field({"body", schema::FieldType::str(text)});
    schema::NumericOptions id;
    id.indexed = id.stored = true;
    f.id = b.add_field({"id", schema::FieldType::u64(id)});
    schema::NumericOptions fast;
    fast.fast = true;
    f.num = b.add_field({"num", schema::FieldType::u64(fast)});
    schema::NumericOptions indexed;
    indexed.indexed = true;
    f.inum = b.add_field({"inum", schema::FieldType::i64(indexed)});
    schema::TextOptions raw;
    raw.indexing = schema::TextFieldIndexing{};
    raw.indexing->tokenizer = "raw";
    raw.fast.enabled = true;
    f.tag = b.add_field({"tag", schema::FieldType::str(raw)});
    schema::IpAddrOptions ip;
    ip.fast = true;
    f.ip = b.add_field({"ip", schema::FieldType::ip_addr(ip)});
    f.flag = b.add_field({"flag", schema::FieldType::boolean(fast)});
    schema::JsonObjectOptions json;
    json.indexing = schema::TextFieldIndexing{};
    f.json = b.add_field({"json", schema::FieldType::json_object(json)});
    json.fast.enabled = true;
    f.jf = b.add_field({"jf", schema::FieldType::json_object(json)});
    auto dir = ManagedDirectory::wrap(std::make_unique<RamDirectory>());
    EXPECT_TRUE(dir);
    index::IndexSettings settings;
    settings.docstore_compress_dedicated_thread = false;
    auto idx = index::FendralIndex::create(*dir, b.build(), settings);
    EXPECT_TRUE(idx);
    return Corpus{std::move(*idx), f, {}, {}, nullptr};
  }

  static schema::IpValue ip_of(uint8_t v) {
    schema::IpValue a{};
    a[15] = v;
    return a;
  }

  // Writes segments of the rows (ids continue across calls) and opens a
  // searcher in which `deleted` rows are gone.
  void open(const std::vector<std::vector<Row>>& segments, const std::vector<std::vector<bool>>& dead) {
    std::vector<std::shared_ptr<const index::SegmentReader>> readers;
    for (size_t s = 0; s < segments.size(); ++s) {
      auto w = indexer::SegmentWriter::create(20'000'000, index, index.new_segment_meta());
      ASSERT_TRUE(w);
      BitSetBuilder alive(static_cast<uint32_t>(segments[s].size()));
      for (size_t i = 0; i < segments[s].size(); ++i) {
        const Row& r = segments[s][i];
        schema::CompactDoc d;
        EXPECT_TRUE(d.add_field_value(f.id, schema::OwnedValue(uint64_t{rows.size()})));
        std::string text;
        for (const auto& w8 : r.words) text += w8 + " ";
        EXPECT_TRUE(d.add_field_value(f.body, schema::OwnedValue(text)));
        if (r.num) {
          EXPECT_TRUE(d.add_field_value(f.num, schema::OwnedValue(*r.num)));
        }
        EXPECT_TRUE(d.add_field_value(f.inum, schema::OwnedValue(r.inum)));
        EXPECT_TRUE(d.add_field_value(f.tag, schema::OwnedValue(r.tag)));
        EXPECT_TRUE(d.add_field_value(f.ip, schema::OwnedValue(ip_of(r.ip))));
        EXPECT_TRUE(d.add_field_value(f.flag, schema::OwnedValue(r.ip % 2 == 0)));
        schema::OwnedObject obj{{"n", schema::OwnedValue(r.inum * 2 - 3)}, {"s", schema::OwnedValue(r.tag)}};
        EXPECT_TRUE(d.add_field_value(f.jf, schema::OwnedValue(std::move(obj))));
        EXPECT_TRUE((*w)->add_document({i, d}));
        rows.push_back(r);
        const bool gone = !dead.empty() && dead[s][i];
        deleted.push_back(gone);
        if (!gone) alive.insert(static_cast<uint32_t>(i));
      }
      auto meta = (*w)->segment().with_max_doc((*w)->max_doc());
      ASSERT_TRUE(indexer::SegmentWriter::finalize(std::move(*w)));
      auto set = ReadOnlyBitSet::open(OwnedBytes::from_vector(alive.serialize()));
      ASSERT_TRUE(set);
      auto reader = index::SegmentReader::open(index, meta, std::move(*set));
      ASSERT_TRUE(reader) << reader.error().display();
      readers.push_back(*reader);
    }
    auto s = core::Searcher::create(index.schema(), std::move(readers), 0);
    ASSERT_TRUE(s);
    searcher = *s;
  }

  Result<std::set<uint64_t>> ids(const Query& q) const {
    auto hits = searcher->search(q, rows.size() + 1);
    if (!hits) return fail(hits.error());
    std::set<uint64_t> out;
    for (const auto& h : *hits) {
      auto d = searcher->doc(h.address);
      EXPECT_TRUE(d);
      auto values = d->field_values();
      EXPECT_TRUE(values);
      for (const auto& [field, v] : *values) {
        if (field == f.id) out.insert(std::get<uint64_t>(v.v));
      }
    }
    return out;
  }

  template <class Pred>
  std::set<uint64_t> expected(Pred pred) const {
    std::set<uint64_t> out;
    for (size_t i = 0; i < rows.size(); ++i) {
      if (!deleted[i] && pred(rows[i])) out.insert(i);
    }
    return out;
  }
};

// Drives one query against the brute-force expectation: hits and count.
void check(const Corpus& c, const Query& q, const std::set<uint64_t>& want, const std::string& what) {
  auto got = c.ids(q);
  ASSERT_TRUE(got) << what << ": " << got.error().display();
  ASSERT_EQ(*got, want) << what;
  auto n = c.searcher->count(q);
  ASSERT_TRUE(n) << what;
  ASSERT_EQ(*n, want.size()) << what;
}

// A JSON term of a path and a typed 8-byte value.
Term json_term(schema::Field f, const char* path, schema::ValueType t, uint64_t raw) {
  Term term = Term::from_field_json_path(f, path, false);
  std::vector<uint8_t> be;
  for (int i = 7; i >= 0; --i) be.push_back(static_cast<uint8_t>(raw >> (8 * i)));
  term.append_type_and_value(t, be);
  return term;
}

Term json_text(schema::Field f, const char* path, std::string_view text) {
  Term term = Term::from_field_json_path(f, path, false);
  term.append_type_and_value(schema::ValueType::Str,
                             std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  return term;
}

using B = TermBound;
B inc(Term t) { return {B::Kind::Included, std::move(t)}; }
B exc(Term t) { return {B::Kind::Excluded, std::move(t)}; }

template <class T>
bool in_range(const T& v, int lk, const T& lo, int uk, const T& hi) {
  // kinds: 0 included, 1 excluded, 2 open
  if (lk == 0 && v < lo) return false;
  if (lk == 1 && !(lo < v)) return false;
  if (uk == 0 && hi < v) return false;
  if (uk == 1 && !(v < hi)) return false;
  return true;
}

B bound_of(int kind, Term t) { return kind == 0 ? inc(std::move(t)) : kind == 1 ? exc(std::move(t)) : B{}; }

TEST(QueryModel, AutomatonRangeAndPrefixEqualBruteForce) {
  std::mt19937_64 rng(23);
  for (int round = 0; round < 4; ++round) {
    Corpus c = Corpus::create();
    std::vector<std::string> vocab;
    while (vocab.size() < 25) {
      if (auto w = random_word(rng, 4); !w.empty()) vocab.push_back(w);
    }
    std::vector<std::vector<Row>> segs(3);
    std::vector<std::vector<bool>> dead(3);
    for (auto& seg : segs) {
      size_t n = 1 + rng() % 200;
      for (size_t i = 0; i < n; ++i) {
        Row r;
        for (size_t k = rng() % 8; k > 0; --k) r.words.push_back(vocab[rng() % vocab.size()]);
        if (rng() % 5 != 0) r.num = rng() % 60;
        r.inum = static_cast<int64_t>(rng() % 41) - 20;
        r.tag = random_word(rng, 3);
        if (r.tag.empty()) r.tag = "a";
        r.ip = static_cast<uint8_t>(rng() % 30);
        seg.push_back(std::move(r));
      }
    }
    for (size_t s = 0; s < 3; ++s) {
      for (size_t i = 0; i < segs[s].size(); ++i) dead[s].push_back(rng() % 5 == 0);
    }
    c.open(segs, dead);
    // The tokenizer lower-cases; the words are lower-case already.
    auto has_word = [](const Row& r, auto pred) { return std::any_of(r.words.begin(), r.words.end(), pred); };
    for (int q = 0; q < 60; ++q) {
      const std::string w = rng() % 2 ? vocab[rng() % vocab.size()] : random_word(rng, 4);
      {  // fuzzy
        const uint8_t d = static_cast<uint8_t>(rng() % 3);
        const bool swap = rng() % 2, prefix = rng() % 2;
        FuzzyTermQuery fq(Term::from_field_text(c.f.body, w), d, swap, prefix);
        check(c, fq, c.expected([&](const Row& r) {
          return has_word(r, [&](const std::string& x) { return fuzzy_match(w, x, d, swap, prefix); });
        }), fmt::format("fuzzy {} d{} swap {} prefix {}", w, d, swap, prefix));
      }
      {  // prefix alone
        PhrasePrefixQuery pq({{0, Term::from_field_text(c.f.body, w)}});
        check(c, pq, c.expected([&](const Row& r) {
          return has_word(r, [&](const std::string& x) { return x.starts_with(w); });
        }), "prefix " + w);
      }
      {  // phrase prefix: one or two words, then a prefix
        const size_t n = 1 + rng() % 2;
        std::vector<std::string> words;
        for (size_t k = 0; k < n; ++k) words.push_back(vocab[rng() % vocab.size()]);
        const std::string pre = w.substr(0, rng() % (w.size() + 1));
        PhraseQuery::Terms terms;
        for (size_t k = 0; k < n; ++k) terms.emplace_back(static_cast<uint32_t>(k), Term::from_field_text(c.f.body, words[k]));
        terms.emplace_back(static_cast<uint32_t>(n), Term::from_field_text(c.f.body, pre));
        PhrasePrefixQuery pq(terms);
        check(c, pq, c.expected([&](const Row& r) {
          for (size_t s = 0; s + n < r.words.size(); ++s) {
            bool ok = r.words[s + n].starts_with(pre);
            for (size_t k = 0; k < n && ok; ++k) ok = r.words[s + k] == words[k];
            if (ok) return true;
          }
          return false;
        }), fmt::format("phrase prefix {} {}*", fmt::join(words, " "), pre));
      }
      {  // regex, against std::wregex over code points
        static const char* const kPatterns[] = {"a.*", "[ab]+c?", "é.", "(ab|c)*", ".{2}", "[^a]*ü", "b?é*c+", ".*"};
        const std::string pat = kPatterns[rng() % 8];
        auto rq = RegexQuery::from_pattern(pat, c.f.body);
        ASSERT_TRUE(rq);
        auto wide = [](std::string_view s) {
          std::wstring out;
          for (uint32_t cp : code_points(s)) out.push_back(static_cast<wchar_t>(cp));
          return out;
        };
        const std::wregex re(wide(pat));
        check(c, *rq, c.expected([&](const Row& r) {
          return has_word(r, [&](const std::string& x) { return std::regex_match(wide(x), re); });
        }), "regex " + pat);
      }
      const int lk = static_cast<int>(rng() % 3), uk = static_cast<int>(rng() % 3);
      if (lk == 2 && uk == 2) continue;
      {  // fast u64 column
        const uint64_t lo = rng() % 70, hi = rng() % 70;
        RangeQuery rq(bound_of(lk, Term::from_field_u64(c.f.num, lo)), bound_of(uk, Term::from_field_u64(c.f.num, hi)));
        check(c, rq, c.expected([&](const Row& r) { return r.num && in_range(*r.num, lk, lo, uk, hi); }),
              fmt::format("num {} {} {} {}", lk, lo, uk, hi));
      }
      {  // term dictionary i64
        const int64_t lo = static_cast<int64_t>(rng() % 50) - 25, hi = static_cast<int64_t>(rng() % 50) - 25;
        RangeQuery rq(bound_of(lk, Term::from_field_i64(c.f.inum, lo)), bound_of(uk, Term::from_field_i64(c.f.inum, hi)));
        check(c, rq, c.expected([&](const Row& r) { return in_range(r.inum, lk, lo, uk, hi); }),
              fmt::format("inum {} {} {} {}", lk, lo, uk, hi));
      }
      {  // fast text column (ordinals) and term dictionary text
        const std::string lo = random_word(rng, 3), hi = random_word(rng, 3);
        RangeQuery tag(bound_of(lk, Term::from_field_text(c.f.tag, lo)), bound_of(uk, Term::from_field_text(c.f.tag, hi)));
        check(c, tag, c.expected([&](const Row& r) { return in_range(r.tag, lk, lo, uk, hi); }),
              fmt::format("tag {} '{}' {} '{}'", lk, lo, uk, hi));
        RangeQuery body(bound_of(lk, Term::from_field_text(c.f.body, lo)), bound_of(uk, Term::from_field_text(c.f.body, hi)));
        check(c, body, c.expected([&](const Row& r) {
          return has_word(r, [&](const std::string& x) { return in_range(x, lk, lo, uk, hi); });
        }), fmt::format("body {} '{}' {} '{}'", lk, lo, uk, hi));
      }
      {  // fast IP column
        const uint8_t lo = static_cast<uint8_t>(rng() % 35), hi = static_cast<uint8_t>(rng() % 35);
        RangeQuery rq(bound_of(lk, Term::from_field_ip_addr(c.f.ip, Corpus::ip_of(lo))),
                      bound_of(uk, Term::from_field_ip_addr(c.f.ip, Corpus::ip_of(hi))));
        check(c, rq, c.expected([&](const Row& r) { return in_range(r.ip, lk, lo, uk, hi); }),
              fmt::format("ip {} {} {} {}", lk, lo, uk, hi));
      }
      {  // JSON path of a fast JSON field, holding inum * 2 - 3
        const int64_t lo = static_cast<int64_t>(rng() % 90) - 45, hi = static_cast<int64_t>(rng() % 90) - 45;
        RangeQuery rq(bound_of(lk, json_term(c.f.jf, "n", schema::ValueType::I64, schema::i64_to_u64(lo))),
                      bound_of(uk, json_term(c.f.jf, "n", schema::ValueType::I64, schema::i64_to_u64(hi))));
        check(c, rq, c.expected([&](const Row& r) { return in_range(r.inum * 2 - 3, lk, lo, uk, hi); }),
              fmt::format("json n {} {} {} {}", lk, lo, uk, hi));
      }
      {  // term set over two fields
        const std::string a = vocab[rng() % vocab.size()], t = random_word(rng, 3);
        TermSetQuery ts({Term::from_field_text(c.f.body, a), Term::from_field_text(c.f.tag, t),
                         Term::from_field_text(c.f.body, a)});
        check(c, ts, c.expected([&](const Row& r) {
          return r.tag == t || has_word(r, [&](const std::string& x) { return x == a; });
        }), "set " + a + " / " + t);
      }
    }
  }
}

// ---- Tables ----------------------------------------------------------------

Corpus small_corpus() {
  Corpus c = Corpus::create();
  std::vector<Row> rows;
  const char* tags[] = {"a", "b", "c", "e"};
  const uint64_t nums[] = {1, 5, 9, 5};
  const char* bodies[] = {"big bad wolf", "big bad woman", "the bad wolf", "big wolf bad wo"};
  for (int i = 0; i < 4; ++i) {
    Row r;
    std::string b = bodies[i];
    for (size_t p = 0; p < b.size();) {
      size_t q = b.find(' ', p);
      if (q == std::string::npos) q = b.size();
      r.words.push_back(b.substr(p, q - p));
      p = q + 1;
    }
    r.num = nums[i];
    r.inum = i;
    r.tag = tags[i];
    r.ip = static_cast<uint8_t>(1 + 4 * i);  // ::1 ::5 ::9 ::d
    rows.push_back(r);
  }
  c.open({rows}, {});
  return c;
}

TEST(QueryParser, RangeSetRegexAndPrefixText) {
  Corpus c = small_corpus();
  QueryParser parser(c.index.schema(), c.index.tokenizers(), {c.f.body});
  parser.set_allow_regex();
  const std::pair<const char*, std::set<uint64_t>> cases[] = {
      {"tag:[b TO d]", {1, 2}},
      {"tag:{b TO d]", {2}},
      {"tag:[bb TO d]", {2}},
      {"num:[5 TO *]", {1, 2, 3}},
      {"num:{9 TO *]", {}},
      {"num:[* TO 0}", {}},
      {"num:[0 TO 100]", {0, 1, 2, 3}},
      {"num:>=9", {2}},
      {"inum:[1 TO 2]", {1, 2}},
      {"body:[bad TO big]", {0, 1, 2, 3}},
      {"body:{wolf TO *]", {1}},
      {"\"big bad wo\"*", {0, 1}},
      {"\"bad wo\"*", {0, 1, 2, 3}},
      {"\"wolf bad\"*", {3}},
      {"body:/wo.*/", {0, 1, 2, 3}},
      {"body:/wom[a-z]n/", {1}},
      {"body:IN [the woman]", {1, 2}},
      {"tag:IN [a e]", {0, 3}},
  };
  for (const auto& [text, want] : cases) {
    auto q = parser.parse(text);
    ASSERT_TRUE(q) << text << ": " << q.error().message;
    check(c, **q, want, text);
  }
}

TEST(QueryParser, RangeSetRegexMessages) {
  Corpus c = small_corpus();
  QueryParser parser(c.index.schema(), c.index.tokenizers(), {c.f.body});
  const std::pair<const char*, const char*> refused[] = {
      {"body:/wo.*/", "Unsupported query: Regex queries are not allowed."},
      {"[a TO b]", "Unsupported query: Range query need to target a specific field."},
      {"nope:[a TO b]", "Field does not exist: 'nope'"},
      {"num:[x TO 5]", "Expected a valid integer: 'ParseIntError { kind: InvalidDigit }'"},
      {"body:[big-bad TO c]",
       "Unsupported query: Range query boundary cannot have multiple tokens: \"big-bad\" [Term(field=0, type=Str, "
       "\"big\"), Term(field=0, type=Str, \"bad\")]."},
      {"\"wolf\"*", "The phrase '\"wolf\"' does not produce at least two terms using the tokenizer '\"default\"'"},
  };
  for (const auto& [text, message] : refused) {
    auto q = parser.parse(text);
    ASSERT_FALSE(q) << text;
    EXPECT_EQ(q.error().message, message) << text;
  }
  EXPECT_TRUE(parser.parse("num:[* TO *]"));  // no bound left: nothing to search, no error
  parser.set_allow_regex();
  const std::pair<const char*, const char*> regex_refused[] = {
      {"/wo/", "Unsupported query: Regex query need to target a specific field."},
      {"num:/1/", "Unsupported query: Regex query only supported on text fields"},
      {"body:/a(/", "Unsupported query: Invalid regex: "},
  };
  for (const auto& [text, message] : regex_refused) {
    auto q = parser.parse(text);
    ASSERT_FALSE(q) << text;
    EXPECT_TRUE(q.error().message.starts_with(message)) << text << ": " << q.error().message;
  }
}

TEST(RangeQueries, JsonPaths) {
  // jf.n holds -3, -1, 1, 3 and jf.s the tags a, b, c, e (docs 0 to 3).
  Corpus c = small_corpus();
  using VT = schema::ValueType;
  const auto n = [&](VT t, uint64_t raw) { return json_term(c.f.jf, "n", t, raw); };
  struct Case {
    RangeQuery q;
    std::set<uint64_t> want;
    const char* what;
  };
  const Case cases[] = {
      {RangeQuery(inc(n(VT::F64, schema::f64_to_u64(2.5))), B{}), {3}, "n >= 2.5"},
      {RangeQuery(B{}, inc(n(VT::F64, schema::f64_to_u64(-2.5)))), {0}, "n <= -2.5"},
      {RangeQuery(exc(n(VT::F64, schema::f64_to_u64(-1.0))), inc(n(VT::F64, schema::f64_to_u64(1e30)))), {2, 3},
       "-1.0 < n <= 1e30"},
      {RangeQuery(inc(n(VT::I64, schema::i64_to_u64(-1))), inc(n(VT::I64, schema::i64_to_u64(1)))), {1, 2},
       "-1 <= n <= 1"},
      {RangeQuery(inc(n(VT::U64, 1)), B{}), {2, 3}, "n >= u64 1"},
      {RangeQuery(inc(n(VT::U64, UINT64_MAX)), B{}), {}, "n >= u64 max"},
      {RangeQuery(inc(json_text(c.f.jf, "s", "b")), inc(json_text(c.f.jf, "s", "c"))), {1, 2}, "b <= s <= c"},
      {RangeQuery(inc(json_text(c.f.jf, "nope", "b")), B{}), {}, "a path without column"},
  };
  for (const auto& cs : cases) check(c, cs.q, cs.want, cs.what);
  RangeQuery flag(inc(n(VT::Bool, 1)), B{});
  auto count = c.searcher->count(flag);
  ASSERT_FALSE(count);
  EXPECT_EQ(count.error().text(), "unsupported value bytes type in json term value_bytes Bool");
}

TEST(RangeQueries, FastFieldTermWithoutIndex) {
  // A term of a fast field that is not indexed is answered from the column.
  Corpus c = small_corpus();
  TermQuery q(Term::from_field_u64(c.f.num, 5), schema::RecordOption::Basic);
  auto n = c.searcher->count(q);
  ASSERT_TRUE(n) << n.error().display();
  EXPECT_EQ(*n, 2u);
}

TEST(PhrasePrefixQuery, ExpansionsAreTheFirstTermsOfEachSegment) {
  // Completions of "wo" in key order: wo, wolf, woman.
  Corpus c = small_corpus();
  const auto body = [&](const char* w) { return Term::from_field_text(c.f.body, w); };
  struct Case {
    std::vector<const char*> words;  // the last one is the prefix
    uint32_t max_expansions;
    std::set<uint64_t> want;
  };
  const Case cases[] = {
      {{"big", "bad", "wo"}, 1, {}},  // only "wo" itself, which no "big bad" precedes
      {{"big", "bad", "wo"}, 2, {0}},
      {{"big", "bad", "wo"}, 3, {0, 1}},
      {{"bad", "wo"}, 1, {3}},
      {{"bad", "wo"}, 0, {}},
      {{"wo"}, 2, {0, 2, 3}},  // the prefix alone: a term range
      {{"wo"}, 0, {}},
  };
  for (const auto& cs : cases) {
    PhraseQuery::Terms terms;
    for (size_t i = 0; i < cs.words.size(); ++i) terms.emplace_back(static_cast<uint32_t>(i), body(cs.words[i]));
    check(c, PhrasePrefixQuery(terms, cs.max_expansions), cs.want,
          fmt::format("{} / {}", fmt::join(cs.words, " "), cs.max_expansions));
  }
  // One phrase word with a gap: the completion stands two positions on.
  check(c, PhrasePrefixQuery({{0, body("big")}, {2, body("ba")}}), {3}, "big _ ba*");
  // The prefix alone needs no positions.
  auto w = PhrasePrefixQuery({{0, Term::from_field_text(c.f.tag, "a")}}).weight(ScoringMode::disabled(c.index.schema()));
  EXPECT_TRUE(w);
  auto refused = PhrasePrefixQuery({{0, Term::from_field_text(c.f.tag, "a")}, {1, Term::from_field_text(c.f.tag, "b")}})
                     .weight(ScoringMode::disabled(c.index.schema()));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().text(), "Applied phrase query on field \"tag\", which does not have positions indexed");
}

TEST(QueryParser, FuzzyFields) {
  Corpus c = small_corpus();
  QueryParser parser(c.index.schema(), c.index.tokenizers(), {c.f.body});
  parser.set_field_fuzzy(c.f.body, {false, 1, true});
  auto q = parser.parse("wlof");
  ASSERT_TRUE(q);
  check(c, **q, {0, 2, 3}, "wlof~1");
  parser.set_field_fuzzy(c.f.body, {true, 0, false});
  q = parser.parse("wo");
  ASSERT_TRUE(q);
  check(c, **q, {0, 1, 2, 3}, "wo prefix");
}

TEST(AutomatonQueries, Errors) {
  Corpus c = small_corpus();
  const auto mode = ScoringMode::disabled(c.index.schema());
  struct Case {
    std::shared_ptr<const Query> q;
    FendralError::Kind kind;
    std::string message;
  };
  Term json_i64 = Term::from_field_json_path(c.f.json, "a", false);
  json_i64.append_type_and_value(schema::ValueType::I64, std::vector<uint8_t>(8, 0));
  const Case cases[] = {
      {std::make_shared<FuzzyTermQuery>(Term::from_field_text(c.f.body, "x"), 3, false, false),
       FendralError::Kind::InvalidArgument, "Levenshtein distance of 3 is not allowed. Choose a value less than 3"},
      {std::make_shared<FuzzyTermQuery>(Term::from_field_u64(c.f.num, 3), 3, false, false),
       FendralError::Kind::InvalidArgument, "Levenshtein distance of 3 is not allowed. Choose a value less than 3"},
      {std::make_shared<FuzzyTermQuery>(Term::from_field_u64(c.f.num, 3), 1, false, false),
       FendralError::Kind::InvalidArgument, "The fuzzy term query requires a string term."},
      {std::make_shared<FuzzyTermQuery>(json_i64, 1, false, false), FendralError::Kind::InvalidArgument,
       "The fuzzy term query requires a string path type for a json term. Found I64"},
      {std::make_shared<RangeQuery>(B{}, B{}), FendralError::Kind::InvalidArgument,
       "A range query needs at least one bound"},
      {std::make_shared<RangeQuery>(inc(Term::from_field_json_path(c.f.json, "a", false)), B{}),
       FendralError::Kind::InvalidArgument, "RangeQuery on JSON is only supported for fast fields currently"},
      {std::make_shared<TermSetQuery>(std::vector<Term>{Term::from_field_u64(c.f.num, 1)}),
       FendralError::Kind::SchemaError, "Field num is not indexed."},
  };
  for (const auto& cs : cases) {
    auto w = cs.q->weight(mode);
    ASSERT_FALSE(w) << cs.message;
    EXPECT_EQ(w.error().kind(), cs.kind) << cs.message;
    EXPECT_EQ(w.error().text(), cs.message);
  }
  // Bounds that do not read as the field's type fail at the scorer.
  RangeQuery flag(inc(Term::from_field_bool(c.f.flag, true)), B{});
  auto n = c.searcher->count(flag);
  ASSERT_FALSE(n);
  EXPECT_EQ(n.error().text(),
            "Expected term with u64, i64, f64 or date, but got " + Term::from_field_bool(c.f.flag, true).debug());
}

TEST(RangeQueries, BoostAndWholeColumn) {
  Corpus c = small_corpus();
  const auto& reader = *c.searcher->segment_readers().front();
  const auto mode = ScoringMode::disabled(c.index.schema());
  // A term-dictionary range scores the boost.
  auto w = RangeQuery(inc(Term::from_field_i64(c.f.inum, 1)), inc(Term::from_field_i64(c.f.inum, 3))).weight(mode);
  ASSERT_TRUE(w);
  auto s = (*w)->scorer(reader, 2.0f);
  ASSERT_TRUE(s);
  EXPECT_EQ((*s)->doc(), 1u);
  EXPECT_EQ((*s)->score(), 2.0f);
  // A range over every value of a full column needs no column reads.
  w = RangeQuery(inc(Term::from_field_u64(c.f.num, 0)), inc(Term::from_field_u64(c.f.num, 100))).weight(mode);
  ASSERT_TRUE(w);
  s = (*w)->scorer(reader, 1.0f);
  ASSERT_TRUE(s);
  EXPECT_NE(dynamic_cast<AllScorer*>(s->get()), nullptr);
  // An excluded upper bound at 0 matches nothing without a column.
  w = RangeQuery(B{}, exc(Term::from_field_u64(c.f.num, 0))).weight(mode);
  ASSERT_TRUE(w);
  s = (*w)->scorer(reader, 1.0f);
  ASSERT_TRUE(s);
  EXPECT_NE(dynamic_cast<EmptyScorer*>(s->get()), nullptr);
}

TEST(FastFieldRangeDocSet, SparseColumnWindowsAndSeeks) {
  // A full u64 column of 1000 docs: 7 at docs 900 and 950, 1 elsewhere.
  columnar::ColumnarWriter writer;
  for (uint32_t d = 0; d < 1000; ++d) {
    ASSERT_TRUE(writer.record_numerical(d, columnar::as_name("v"), columnar::NumericalValue::from_u64(d == 900 || d == 950 ? 7 : 1)));
  }
  std::vector<uint8_t> bytes;
  VecWriter out(&bytes);
  ASSERT_TRUE(writer.serialize(1000, out));
  auto reader = columnar::ColumnarReader::open(FileSlice(OwnedBytes::from_vector(std::move(bytes))));
  ASSERT_TRUE(reader);
  auto handles = reader->read_columns("v");
  ASSERT_TRUE(handles);
  auto col = handles->front().open_as_u64();
  ASSERT_TRUE(col);
  const uint64_t v = col->values->get_val(900);  // 7 in the column's stored form
  FastFieldRangeDocSet<uint64_t> docs(*col, v, v, 1000);
  EXPECT_EQ(docs.doc(), 900u);
  EXPECT_EQ(docs.size_hint(), 100u);
  EXPECT_EQ(docs.cost(), 800u);
  EXPECT_EQ(docs.advance(), 950u);
  EXPECT_EQ(docs.advance(), TERMINATED);
  FastFieldRangeDocSet<uint64_t> seeking(*col, v, v, 1000);
  EXPECT_EQ(seeking.seek(901), 950u);
  EXPECT_FALSE(seeking.seek_exact(951));
  FastFieldRangeDocSet<uint64_t> exhausted(*col, v, v, 1000, true);
  EXPECT_EQ(exhausted.doc(), TERMINATED);
  EXPECT_EQ(exhausted.count_including_deleted(), 0u);
  // Doc ids never reach max_doc, whatever the column says.
  FastFieldRangeDocSet<uint64_t> clipped(*col, v, v, 920);
  EXPECT_EQ(clipped.doc(), 900u);
  EXPECT_EQ(clipped.advance(), TERMINATED);
}

}  // namespace
}  // namespace fendral::query
