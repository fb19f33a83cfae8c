// FST: pinned bytes of the smallest FSTs, builder errors, node forms, and
// lookups, bounded streams and unions checked against a std::map oracle.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

#include "fulltext/fst/builder.h"
#include "fulltext/fst/fst.h"
#include "fulltext/fst/stream.h"

namespace fendral::fst {
namespace {

using Bytes = std::vector<uint8_t>;
using Pairs = std::vector<std::pair<Bytes, uint64_t>>;

Bytes b(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes build(const Pairs& pairs) {
  auto bytes = build_in_memory(pairs);
  EXPECT_TRUE(bytes.has_value());
  return bytes.value_or(Bytes{});
}

Fst open(Bytes bytes) {
  auto f = Fst::open(OwnedBytes::from_vector(std::move(bytes)));
  EXPECT_TRUE(f.has_value()) << (f ? "" : f.error().display());
  return std::move(*f);
}

std::vector<std::pair<std::string, uint64_t>> collect(const Fst& fst, Bound lower, Bound upper) {
  auto stream = StreamBuilder<>(&fst).lower_bound(std::move(lower)).upper_bound(std::move(upper)).into_stream();
  EXPECT_TRUE(stream.has_value());
  std::vector<std::pair<std::string, uint64_t>> out;
  while (true) {
    auto item = (*stream)->next();
    EXPECT_TRUE(item.has_value());
    if (!item || !*item) break;
    out.emplace_back(std::string((*item)->first.begin(), (*item)->first.end()), (*item)->second);
  }
  return out;
}

uint64_t le64(const Bytes& bytes, size_t at) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= uint64_t{bytes[at + i]} << (8 * i);
  return v;
}

TEST(Fst, SmallestFstsArePinned) {
  Bytes empty = build({});
  Bytes expected_empty = {2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                          0, 0, 0, 0, 0, 0, 0, 0, 18, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(empty, expected_empty);
  Fst f = open(empty);
  EXPECT_EQ(f.len(), 0u);
  EXPECT_EQ(f.get("").value(), std::nullopt);
  EXPECT_TRUE(collect(f, {}, {}).empty());

  Bytes only_empty_key = build({{{}, 0}});
  ASSERT_EQ(only_empty_key.size(), 32u);
  EXPECT_EQ(le64(only_empty_key, 16), 1u);  // key count
  EXPECT_EQ(le64(only_empty_key, 24), 0u);  // root: the empty final node

  Bytes with_output = build({{{}, 7}});
  // Any node: final output 07, pack sizes 01, count 00, state 40.
  EXPECT_EQ(Bytes(with_output.begin() + 16, with_output.end() - 16), (Bytes{7, 0x01, 0x00, 0x40}));
  Fst e = open(with_output);
  EXPECT_EQ(e.get("").value(), 7u);
  EXPECT_EQ(collect(e, {}, {}), (std::vector<std::pair<std::string, uint64_t>>{{"", 7}}));
  EXPECT_TRUE(collect(e, {}, Bound::excluded("")).empty());
  EXPECT_TRUE(collect(e, Bound::excluded(""), {}).empty());
}

TEST(Fst, OpenRejectsBadHeaders) {
  Bytes good = build({{b("a"), 1}});
  struct Case {
    Bytes bytes;
    Error::Kind kind;
  } cases[] = {
      {Bytes(31, 0), Error::Kind::BadFormat},
      {[&] { Bytes x = good; x[0] = 3; return x; }(), Error::Kind::VersionMismatch},
      {[] { Bytes x(33, 0); x[0] = 2; return x; }(), Error::Kind::BadFormat},  // root 0 needs exactly 32 bytes
  };
  for (const auto& c : cases) {
    auto r = Fst::open(OwnedBytes::from_vector(c.bytes));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, c.kind);
  }
  auto v = Fst::open(OwnedBytes::from_vector(cases[1].bytes));
  EXPECT_EQ(v.error().expected, 2u);
  EXPECT_EQ(v.error().got, 3u);
  Bytes v1 = good;
  v1[0] = 1;
  EXPECT_EQ(open(v1).get("a").value(), 1u);
}

TEST(Fst, BuilderRejectsDuplicateAndOutOfOrderKeys) {
  Bytes out;
  VecWriter w(&out);
  auto builder = Builder::create(&w);
  ASSERT_TRUE(builder.has_value());
  ASSERT_TRUE(builder->insert("b", 1).has_value());
  auto dup = builder->insert("b", 2);
  ASSERT_FALSE(dup.has_value());
  EXPECT_EQ(dup.error().display(), "Error inserting duplicate key: b.");
  auto order = builder->insert("a", 2);
  ASSERT_FALSE(order.has_value());
  EXPECT_EQ(order.error().display(),
            "Error inserting out-of-order key: a. (Previous key was b.) Keys must be\ninserted in lexicographic order.");
  Bytes bad{0xFF, 0x01};
  auto binary = builder->insert(std::span<const uint8_t>(Bytes{0x61, 0xFF}), 1);
  EXPECT_NE(binary.error().display().find("[97, 255]"), std::string::npos);
  EXPECT_EQ(format_key(bad), "[255, 1]");
  ASSERT_TRUE(builder->insert("c", 3).has_value());
  ASSERT_TRUE(builder->finish().has_value());
  Fst f = open(out);
  EXPECT_EQ(f.get("b").value(), 1u);
  EXPECT_EQ(f.get("c").value(), 3u);
  EXPECT_EQ(f.len(), 2u);
}

TEST(Fst, OutputsAreSharedOnCommonPrefixes) {
  Fst f = open(build({{b("ab"), 5}, {b("ac"), 3}}));
  auto root = f.root().value();
  ASSERT_EQ(root.len(), 1u);
  Transition a = root.transition(0);
  EXPECT_EQ(a.input, 'a');
  EXPECT_EQ(a.output, 3u);
  auto mid = f.node(a.addr).value();
  ASSERT_EQ(mid.len(), 2u);
  EXPECT_EQ(mid.transition(0).output, 2u);  // 'b'
  EXPECT_EQ(mid.transition(1).output, 0u);  // 'c'
  EXPECT_EQ(f.get("ab").value(), 5u);
  EXPECT_EQ(f.get("ac").value(), 3u);
  EXPECT_EQ(f.get("a").value(), std::nullopt);
}

TEST(Fst, NodeFormsAndIndexes) {
  // 32 transitions: no index; 33: a 256-byte index; 256: count byte 1.
  for (int n : {32, 33, 256}) {
    Pairs pairs;
    for (int i = 0; i < n; ++i) pairs.push_back({Bytes{static_cast<uint8_t>(i), 'x'}, static_cast<uint64_t>(i)});
    Bytes bytes = build(pairs);
    Fst f = open(bytes);
    auto root = f.root().value();
    EXPECT_EQ(root.len(), static_cast<uint32_t>(n));
    EXPECT_EQ(root.form(), NodeForm::Any);
    uint64_t addr = f.root_addr();
    if (n == 256) {
      EXPECT_EQ(bytes[addr - 1], 1);  // count byte stands for 256
    }
    for (int i = 0; i < n; ++i) {
      EXPECT_EQ(f.get(std::span<const uint8_t>(pairs[i].first)).value(), static_cast<uint64_t>(i));
    }
    EXPECT_EQ(f.get(std::span<const uint8_t>(Bytes{static_cast<uint8_t>(n - 1), 'y'})).value(), std::nullopt);
  }
  // Common bytes ride in the state byte ('G' is code 63); 'W' and space do not.
  for (auto [key, explicit_input] : {std::pair<const char*, bool>{"G", false}, {"W", true}, {" ", true}}) {
    Bytes bytes = build({{b(key), 0}, {b(std::string(key) + "zz"), 0}});
    Fst f = open(bytes);
    auto root = f.root().value();
    EXPECT_EQ(root.form(), NodeForm::Next) << key;
    uint8_t state = bytes[f.root_addr()];
    EXPECT_EQ((state & 0x3F) == 0, explicit_input) << key;
    EXPECT_EQ(f.get(key).value(), 0u);
  }
}

TEST(Fst, IdenticalSuffixesAreShared) {
  Bytes shared = build({{b("xab"), 0}, {b("yab"), 0}});
  Bytes distinct = build({{b("xab"), 0}, {b("ycd"), 0}});
  EXPECT_LT(shared.size(), distinct.size());
}

TEST(Fst, BoundedStreams) {
  Fst f = open(build({{b("a"), 1}, {b("ab"), 2}, {b("abc"), 3}, {b("b"), 4}}));
  auto keys = [&](Bound lo, Bound hi) {
    std::vector<std::string> out;
    for (auto& [k, v] : collect(f, std::move(lo), std::move(hi))) out.push_back(k);
    return out;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(keys(Bound::included("ab"), {}), (V{"ab", "abc", "b"}));
  EXPECT_EQ(keys(Bound::excluded("ab"), {}), (V{"abc", "b"}));
  EXPECT_EQ(keys(Bound::included("aa"), {}), (V{"ab", "abc", "b"}));
  EXPECT_EQ(keys({}, Bound::included("abc")), (V{"a", "ab", "abc"}));
  EXPECT_EQ(keys({}, Bound::excluded("abc")), (V{"a", "ab"}));
  EXPECT_EQ(f.get("ab").value(), 2u);
  EXPECT_EQ(f.get("abcd").value(), std::nullopt);
  // Keys longer than the 128-byte key buffer come back intact.
  std::string longkey(300, 'q');
  Fst g = open(build({{b(longkey), 9}}));
  auto all = collect(g, {}, {});
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].first, longkey);
}

TEST(Fst, UnionReportsEveryStreamOfAKey) {
  Fst f0 = open(build({{b("a"), 1}, {b("c"), 2}}));
  Fst f1 = open(build({{b("b"), 3}, {b("c"), 4}}));
  Fst f2 = open(build({{b("c"), 5}}));
  std::vector<std::unique_ptr<BoxedStream>> streams;
  for (const Fst* f : {&f0, &f1, &f2}) streams.push_back(std::move(*StreamBuilder<>(f).into_stream()));
  Union u(std::move(streams));
  ASSERT_TRUE(u.init().has_value());
  std::vector<std::pair<std::string, std::vector<size_t>>> got;
  while (true) {
    auto item = u.next();
    ASSERT_TRUE(item.has_value());
    if (!*item) break;
    std::vector<size_t> idx;
    for (auto v : *(*item)->second) idx.push_back(v.index);
    std::sort(idx.begin(), idx.end());
    got.emplace_back(std::string((*item)->first.begin(), (*item)->first.end()), idx);
  }
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], (std::pair<std::string, std::vector<size_t>>{"a", {0}}));
  EXPECT_EQ(got[1], (std::pair<std::string, std::vector<size_t>>{"b", {1}}));
  EXPECT_EQ(got[2], (std::pair<std::string, std::vector<size_t>>{"c", {0, 1, 2}}));
}

TEST(Fst, AnotherFstSteersAStream) {
  Fst terms = open(build({{b("apple"), 1}, {b("apply"), 2}, {b("banana"), 3}, {b("band"), 4}}));
  Fst query = open(build({{b("apply"), 0}, {b("band"), 0}, {b("cherry"), 0}}));
  auto stream = StreamBuilder<FstAutomaton>(&terms, FstAutomaton{&query}).into_stream().value();
  std::vector<std::pair<std::string, uint64_t>> got;
  while (auto item = stream->next().value()) got.emplace_back(std::string(item->first.begin(), item->first.end()), item->second);
  EXPECT_EQ(got, (std::vector<std::pair<std::string, uint64_t>>{{"apply", 2}, {"band", 4}}));
}

TEST(Fst, CorruptNodesAreErrorsNotCrashes) {
  Pairs pairs;
  for (int i = 0; i < 200; ++i) pairs.push_back({b("k" + std::to_string(1000 + i)), static_cast<uint64_t>(i * 7)});
  Bytes good = build(pairs);
  std::mt19937 rng(11);
  for (int trial = 0; trial < 2000; ++trial) {
    Bytes bytes = good;
    size_t at = 16 + rng() % (bytes.size() - 32);
    bytes[at] = static_cast<uint8_t>(rng());
    auto f = Fst::open(OwnedBytes::from_vector(bytes));
    if (!f) continue;
    (void)f->get("k1100");
    auto s = StreamBuilder<>(&*f).into_stream();
    if (!s) continue;
    for (int steps = 0; steps < 1000; ++steps) {
      auto item = (*s)->next();
      if (!item || !*item) break;
    }
  }
}

// 10^5 random keys against a std::map: lookups, bounded streams, unions.
TEST(Fst, MatchesOrderedMapOracle) {
  std::mt19937_64 rng(20240611);
  std::map<Bytes, uint64_t> oracle;
  const char alphabet[] = "abcdeGW /\x01\xff";
  while (oracle.size() < 100000) {
    size_t len = rng() % 12;
    Bytes key(len);
    for (auto& c : key) c = static_cast<uint8_t>(alphabet[rng() % (sizeof(alphabet) - 1)]);
    oracle[key] = rng() % 3 == 0 ? 0 : rng() >> (rng() % 64);
  }
  Pairs pairs(oracle.begin(), oracle.end());
  Fst f = open(build(pairs));
  EXPECT_EQ(f.len(), oracle.size());
  for (const auto& [k, v] : oracle) ASSERT_EQ(f.get(std::span<const uint8_t>(k)).value(), v);
  for (int i = 0; i < 2000; ++i) {
    Bytes probe(rng() % 12);
    for (auto& c : probe) c = static_cast<uint8_t>(alphabet[rng() % (sizeof(alphabet) - 1)]);
    auto it = oracle.find(probe);
    auto got = f.get(std::span<const uint8_t>(probe)).value();
    ASSERT_EQ(got.has_value(), it != oracle.end());
    if (got) {
      ASSERT_EQ(*got, it->second);
    }
  }
  auto random_key = [&] {
    Bytes k(rng() % 6);
    for (auto& c : k) c = static_cast<uint8_t>(alphabet[rng() % (sizeof(alphabet) - 1)]);
    return k;
  };
  for (int trial = 0; trial < 200; ++trial) {
    Bytes lo = random_key(), hi = random_key();
    if (hi < lo) std::swap(lo, hi);
    bool lo_inc = rng() & 1, hi_inc = rng() & 1;
    Bound lower = trial % 10 == 0 ? Bound::unbounded() : lo_inc ? Bound::included(lo) : Bound::excluded(lo);
    Bound upper = trial % 7 == 0 ? Bound::unbounded() : hi_inc ? Bound::included(hi) : Bound::excluded(hi);
    auto first = lower.kind == Bound::Kind::Unbounded ? oracle.begin()
                 : lo_inc                             ? oracle.lower_bound(lo)
                                                      : oracle.upper_bound(lo);
    std::vector<std::pair<std::string, uint64_t>> expected;
    for (auto it = first; it != oracle.end(); ++it) {
      if (upper.exceeded_by(it->first)) break;
      expected.emplace_back(std::string(it->first.begin(), it->first.end()), it->second);
      if (expected.size() > 3000) break;
    }
    auto stream = StreamBuilder<>(&f).lower_bound(lower).upper_bound(upper).into_stream();
    ASSERT_TRUE(stream.has_value());
    std::vector<std::pair<std::string, uint64_t>> got;
    while (got.size() < expected.size() || expected.size() <= 3000) {
      auto item = (*stream)->next();
      ASSERT_TRUE(item.has_value());
      if (!*item) break;
      got.emplace_back(std::string((*item)->first.begin(), (*item)->first.end()), (*item)->second);
      if (got.size() > expected.size()) break;
    }
    if (expected.size() > 3000) got.resize(std::min(got.size(), expected.size()));
    ASSERT_EQ(got, expected) << "trial " << trial;
  }
  // Union of three FSTs over random subsets equals the merged oracle.
  std::map<Bytes, uint64_t> parts[3];
  for (const auto& [k, v] : oracle) parts[rng() % 3][k] = v + 1;
  for (const auto& [k, v] : oracle) {
    if (rng() % 5 == 0) parts[rng() % 3][k] = v + 2;
  }
  std::vector<Fst> fsts;
  for (auto& p : parts) fsts.push_back(open(build(Pairs(p.begin(), p.end()))));
  std::vector<std::unique_ptr<BoxedStream>> streams;
  for (const auto& part : fsts) streams.push_back(std::move(*StreamBuilder<>(&part).into_stream()));
  Union u(std::move(streams));
  ASSERT_TRUE(u.init().has_value());
  std::map<Bytes, std::vector<std::pair<size_t, uint64_t>>> merged;
  for (size_t i = 0; i < 3; ++i) {
    for (const auto& [k, v] : parts[i]) merged[k].emplace_back(i, v);
  }
  auto it = merged.begin();
  while (true) {
    auto item = u.next();
    ASSERT_TRUE(item.has_value());
    if (!*item) break;
    ASSERT_NE(it, merged.end());
    ASSERT_EQ(Bytes((*item)->first.begin(), (*item)->first.end()), it->first);
    std::vector<std::pair<size_t, uint64_t>> got;
    for (auto v : *(*item)->second) got.emplace_back(v.index, v.output);
    std::sort(got.begin(), got.end());
    ASSERT_EQ(got, it->second);
    ++it;
  }
  EXPECT_EQ(it, merged.end());
}

}  // namespace
}  // namespace fendral::fst
