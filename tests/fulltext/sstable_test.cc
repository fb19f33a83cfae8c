#include <gtest/gtest.h>
#include <zstd.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "fulltext/sstable/block_addr_store.h"
#include "fulltext/sstable/dictionary.h"
#include "fulltext/sstable/writer.h"

namespace fendral::sstable {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

// Writes the keys (sorted, distinct) with ranges [10i, 10i + 10).
Bytes build(const std::vector<std::string>& keys, ValueKind kind = ValueKind::Ranges) {
  Bytes out;
  VecWriter w(&out);
  Writer sst(&w, kind);
  for (size_t i = 0; i < keys.size(); ++i) {
    EXPECT_TRUE(sst.insert(keys[i], Range{10 * i, 10 * i + 10}).has_value());
  }
  auto n = sst.finish();
  EXPECT_TRUE(n.has_value());
  EXPECT_EQ(*n, out.size());
  return out;
}

Dictionary open_dict(const Bytes& b, ValueKind kind = ValueKind::Ranges) {
  auto d = Dictionary::open(OwnedBytes::copy_of(b), kind);
  EXPECT_TRUE(d.has_value()) << (d ? "" : d.error().display());
  return std::move(*d);
}

TEST(SstableFormat, KeyHeaders) {
  struct Case {
    std::string prev, key;
    Bytes expected;
  } cases[] = {
      {"abc", "abcdefgh", {0x53, 'd', 'e', 'f', 'g', 'h'}},
      {"", "a", {0x10, 'a'}},
      {std::string(20, 'x'), std::string(20, 'x') + "y", {0x01, 0x14, 0x01, 'y'}},
      {"", std::string(16, 'z'), [] { Bytes b{0x01, 0x00, 0x10}; b.insert(b.end(), 16, 'z'); return b; }()},
  };
  for (const auto& c : cases) {
    Bytes out;
    encode_key(bytes(c.prev), bytes(c.key), out);
    EXPECT_EQ(out, c.expected) << c.prev << " -> " << c.key;
  }
}

TEST(SstableFormat, SeparatorTrimming) {
  struct Case {
    Bytes last, next, expected;
  } cases[] = {
      {bytes("abc"), bytes("abd"), bytes("abc")},
      {bytes("abzz"), bytes("ac"), {'a', 'b', 0x7B}},
      {bytes("a"), bytes("ab"), bytes("a")},
      {{'a', 0xFF, 0x05}, bytes("b"), {'a', 0xFF, 0x06}},
      {{'a', 0xFF, 0xFF}, bytes("b"), {'a', 0xFF, 0xFF}},
  };
  for (const auto& c : cases) {
    Bytes k = c.last;
    trim_separator(k, c.next);
    EXPECT_EQ(k, c.expected);
  }
}

TEST(SstableFormat, EmptySstable) {
  Bytes b = build({});
  // terminator, u64 0 (no index), footer: index_offset 4, 0 keys, version 3.
  Bytes expected(4 + 8, 0);
  Bytes footer(20, 0);
  footer[0] = 4;
  footer[16] = 3;
  expected.insert(expected.end(), footer.begin(), footer.end());
  EXPECT_EQ(b, expected);
  Dictionary d = open_dict(b);
  EXPECT_EQ(d.num_terms(), 0u);
  EXPECT_FALSE(d.term_ord("a")->has_value());
  auto s = d.stream_all();
  ASSERT_TRUE(s.has_value());
  EXPECT_FALSE(*s->advance());
}

TEST(SstableFormat, BlockFraming) {
  struct Case {
    Bytes content;
    uint8_t flag;
  } cases[] = {
      {Bytes(2048, 'a'), 0},  // at the threshold: raw
      {Bytes(5000, 'a'), 1},  // repetitive: compressed
      {[] {
         std::mt19937 rng(1);
         Bytes b(2049);
         for (auto& x : b) x = static_cast<uint8_t>(rng());
         return b;
       }(),
       0},  // incompressible: raw
  };
  for (const auto& c : cases) {
    Bytes out;
    ASSERT_TRUE(frame_block(c.content, out).has_value());
    ASSERT_GE(out.size(), 5u);
    EXPECT_EQ(out[4], c.flag);
    uint32_t word;
    std::memcpy(&word, out.data(), 4);
    EXPECT_EQ(word, out.size() - 4);
    BlockReader r(out);
    ASSERT_TRUE(*r.read_block());
    EXPECT_TRUE(std::ranges::equal(r.content(), c.content));
    EXPECT_FALSE(*r.read_block());
  }
}

TEST(SstableFormat, OversizedZstdFrameIsRefused) {
  Bytes big(kMaxBlockContent + 1, 0);
  Bytes frame(ZSTD_compressBound(big.size()));
  frame.resize(ZSTD_compress(frame.data(), frame.size(), big.data(), big.size(), 3));
  Bytes block(4);
  uint32_t word = static_cast<uint32_t>(frame.size() + 1);
  std::memcpy(block.data(), &word, 4);
  block.push_back(1);
  block.insert(block.end(), frame.begin(), frame.end());
  BlockReader r(block);
  auto res = r.read_block();
  ASSERT_FALSE(res.has_value());
  EXPECT_EQ(res.error().kind(), IoErrorKind::InvalidData);
}

TEST(SstableFormat, FooterErrors) {
  Bytes b = build({"a", "b"});
  Bytes v4 = b;
  v4[v4.size() - 4] = 4;
  auto d = Dictionary::open(OwnedBytes::copy_of(v4), ValueKind::Ranges);
  ASSERT_FALSE(d.has_value());
  EXPECT_EQ(d.error().display(), "Unsupported sstable version, expected one of [2, 3], found 4");
  auto short_input = Dictionary::open(OwnedBytes::copy_of(Bytes(19, 0)), ValueKind::Ranges);
  EXPECT_EQ(short_input.error().display(), "failed to fill whole buffer");
  Bytes far = b;
  far[far.size() - 20] = 0xFF;  // index offset beyond the footer
  EXPECT_EQ(Dictionary::open(OwnedBytes::copy_of(far), ValueKind::Ranges).error().display(), "SSTable corruption");
}

TEST(SstableFormat, OneBlockDictionaryFindsEveryKey) {
  Dictionary d = open_dict(build({"apple", "banana", "cherry"}));
  EXPECT_EQ(d.num_terms(), 3u);
  EXPECT_EQ(*d.term_ord("banana"), std::optional<uint64_t>(1));
  EXPECT_FALSE(d.term_ord("zzz")->has_value());
  EXPECT_FALSE(d.term_ord("ban")->has_value());
  auto l = d.lookup(bytes("b"));
  EXPECT_FALSE(l->found);
  EXPECT_EQ(l->ord, 1u);
  auto s = d.stream_range(Bound::excluded("apple"), Bound::included("cherry"));
  std::vector<std::string> got;
  while (*s->advance()) got.emplace_back(s->key().begin(), s->key().end());
  EXPECT_EQ(got, (std::vector<std::string>{"banana", "cherry"}));
}

TEST(SstableFormat, OutOfOrderKeysAreRefused) {
  Bytes out;
  VecWriter w(&out);
  Writer sst(&w, ValueKind::KeysOnly);
  ASSERT_TRUE(sst.insert("b").has_value());
  EXPECT_FALSE(sst.insert("b").has_value());
  EXPECT_FALSE(sst.insert("a").has_value());
}

// term_ord, lookup and stream_range against a std::map, many blocks.
TEST(SstableModel, MatchesOrderedMap) {
  std::mt19937_64 rng(42);
  std::map<std::string, uint64_t> model;
  while (model.size() < 100000) {
    std::string k;
    size_t len = 1 + rng() % 12;
    for (size_t i = 0; i < len; ++i) k.push_back(static_cast<char>('a' + rng() % 6));
    if (rng() % 50 == 0) k += std::string(30, 'q');
    model.emplace(k, 0);
  }
  std::vector<std::string> keys;
  for (auto& [k, v] : model) {
    v = keys.size();
    keys.push_back(k);
  }
  Dictionary d = open_dict(build(keys));
  EXPECT_EQ(d.num_terms(), keys.size());
  for (int i = 0; i < 2000; ++i) {
    std::string probe = keys[rng() % keys.size()];
    if (i % 2) probe.back() = static_cast<char>('a' + rng() % 7);
    auto it = model.lower_bound(probe);
    auto l = d.lookup(bytes(probe));
    ASSERT_TRUE(l.has_value());
    EXPECT_EQ(l->found, it != model.end() && it->first == probe) << probe;
    if (it != model.end()) {
      EXPECT_EQ(l->ord, it->second) << probe;
    }
  }
  for (int i = 0; i < 60; ++i) {
    std::string lo = keys[rng() % keys.size()];
    std::string hi = keys[rng() % keys.size()];
    if (hi < lo) std::swap(lo, hi);
    bool lo_inc = rng() % 2;
    bool hi_inc = rng() % 2;
    auto s = d.stream_range(lo_inc ? Bound::included(lo) : Bound::excluded(lo),
                            i % 10 == 0 ? Bound::unbounded() : hi_inc ? Bound::included(hi) : Bound::excluded(hi));
    ASSERT_TRUE(s.has_value());
    auto it = lo_inc ? model.lower_bound(lo) : model.upper_bound(lo);
    auto end = i % 10 == 0 ? model.end() : hi_inc ? model.upper_bound(hi) : model.lower_bound(hi);
    for (; it != end && it != model.end() && (it->first <= hi || i % 10 == 0); ++it) {
      ASSERT_TRUE(*s->advance());
      ASSERT_EQ(std::string(s->key().begin(), s->key().end()), it->first);
      ASSERT_EQ(s->term_ord(), it->second);
      ASSERT_EQ(s->value(), (Range{10 * it->second, 10 * it->second + 10}));
    }
    EXPECT_FALSE(*s->advance());
  }
}

TEST(BlockAddrStore, GroupsRoundTrip) {
  BlockAddrStoreWriter w;
  std::vector<BlockAddr> addrs;
  std::mt19937 rng(3);
  uint64_t pos = 0;
  uint64_t ord = 0;
  for (int i = 0; i < 129; ++i) {
    uint64_t len = 3000 + rng() % 2000;
    addrs.push_back({pos, pos + len, ord});
    pos += len;
    ord += 1 + rng() % 300;
    ASSERT_TRUE(w.write_block_addr(addrs.back()).has_value());
  }
  Bytes out;
  ASSERT_TRUE(w.serialize(out).has_value());
  auto store = BlockAddrStore::open(OwnedBytes::copy_of(out));
  ASSERT_TRUE(store.has_value());
  EXPECT_EQ(store->num_blocks(), 129u);
  for (size_t i = 0; i < addrs.size(); ++i) EXPECT_EQ(store->get(i), addrs[i]) << i;
  EXPECT_FALSE(store->get(129).has_value());
  // A stored width above 56 is corrupt data, not an abort.
  Bytes bad = out;
  bad[8 + 33] = 57;
  EXPECT_EQ(BlockAddrStore::open(OwnedBytes::copy_of(bad)).error().display(), "SSTable corruption");
}

TEST(SstableFuzz, DamagedBytesGiveErrors) {
  std::vector<std::string> keys;
  for (int i = 0; i < 3000; ++i) keys.push_back("key" + std::to_string(100000 + i * 7));
  Bytes good = build(keys);
  std::mt19937 rng(9);
  for (int round = 0; round < 3000; ++round) {
    Bytes b = good;
    int flips = 1 + rng() % 4;
    for (int f = 0; f < flips; ++f) b[rng() % b.size()] = static_cast<uint8_t>(rng());
    if (round % 7 == 0) b.resize(rng() % b.size());
    auto d = Dictionary::open(OwnedBytes::copy_of(b), ValueKind::Ranges);
    if (!d) continue;
    (void)d->term_ord("key100700");
    auto s = d->stream_range(Bound::included("key1005"), Bound::unbounded());
    if (!s) continue;
    for (int i = 0; i < 5000; ++i) {
      auto r = s->advance();
      if (!r || !*r) break;
    }
  }
}

}  // namespace
}  // namespace fendral::sstable
