#include <gtest/gtest.h>

#include <cstring>

#include "fulltext/termdict/term_dictionary.h"
#include "fulltext/termdict/term_info_store.h"

namespace fendral::termdict {
namespace {

TermInfo info_of(uint64_t i) {
  // Varied lengths; positions stay empty for odd terms.
  TermInfo t;
  t.doc_freq = static_cast<uint32_t>(1 + i * 7 % 1000);
  return t;
}

std::vector<TermInfo> chained(size_t n) {
  std::vector<TermInfo> v;
  uint64_t post = 0, pos = 0;
  for (size_t i = 0; i < n; ++i) {
    TermInfo t = info_of(i);
    t.postings_range = {post, post + 3 + i % 17};
    t.positions_range = {pos, pos + (i % 2 ? 0 : 5 + i % 3)};
    post = t.postings_range.end;
    pos = t.positions_range.end;
    v.push_back(t);
  }
  return v;
}

TEST(TermInfoStore, BlocksOf256RoundTrip) {
  for (size_t n : {size_t{1}, size_t{256}, size_t{257}, size_t{1000}}) {
    auto infos = chained(n);
    TermInfoStoreWriter w;
    for (const auto& t : infos) w.write_term_info(t);
    std::vector<uint8_t> bytes;
    VecWriter out(&bytes);
    auto len = w.serialize(out);
    ASSERT_TRUE(len);
    EXPECT_EQ(*len, bytes.size());
    uint64_t metas_len;
    std::memcpy(&metas_len, bytes.data(), 8);
    EXPECT_EQ(metas_len, kBlockMetaLen * ((n + 255) / 256)) << n;
    if (n == 1) {
      EXPECT_EQ(bytes[16 + 36], 0);  // doc_freq width of a lone term
    }
    auto store = TermInfoStore::open(OwnedBytes::from_vector(bytes));
    ASSERT_TRUE(store);
    EXPECT_EQ(store->num_terms(), n);
    for (size_t i = 0; i < n; ++i) {
      auto got = store->get(i);
      ASSERT_TRUE(got);
      EXPECT_EQ(*got, infos[i]) << n << " ord " << i;
    }
    auto past = store->get(n);
    ASSERT_FALSE(past);
    EXPECT_EQ(past.error().kind(), FendralError::Kind::DataCorruption);
  }
}

TEST(TermInfoStore, DamagedMetasAreDataCorruption) {
  auto infos = chained(300);
  TermInfoStoreWriter w;
  for (const auto& t : infos) w.write_term_info(t);
  std::vector<uint8_t> bytes;
  VecWriter out(&bytes);
  ASSERT_TRUE(w.serialize(out));
  auto wide = bytes;
  wide[16 + 37] = 60;  // postings width of block 0 above 56
  auto store = TermInfoStore::open(OwnedBytes::from_vector(wide));
  ASSERT_TRUE(store);
  auto r = store->get(3);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), FendralError::Kind::DataCorruption);
  auto more_terms = bytes;
  more_terms[8] = 0xFF;  // 255 + ... terms but metas for two blocks
  more_terms[9] = 0xFF;
  EXPECT_FALSE(TermInfoStore::open(OwnedBytes::from_vector(more_terms)));
}

std::vector<uint8_t> dictionary_of(const std::vector<std::string>& keys) {
  std::vector<uint8_t> bytes;
  VecWriter out(&bytes);
  auto b = TermDictionaryBuilder::create(&out);
  EXPECT_TRUE(b);
  auto infos = chained(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    EXPECT_TRUE(b->insert_key(std::span((const uint8_t*)keys[i].data(), keys[i].size())));
    b->insert_value(infos[i]);
  }
  EXPECT_TRUE(b->finish());
  return bytes;
}

TEST(TermDictionary, LooksUpKeysAndTheirInfos) {
  std::vector<std::string> keys = {"apple", "banana", "cherry", "date"};
  auto dict = TermDictionary::open(FileSlice(OwnedBytes::from_vector(dictionary_of(keys))));
  ASSERT_TRUE(dict);
  EXPECT_EQ(dict->num_terms(), 4u);
  auto infos = chained(4);
  for (size_t i = 0; i < keys.size(); ++i) {
    auto got = dict->get(std::span((const uint8_t*)keys[i].data(), keys[i].size()));
    ASSERT_TRUE(got && got->has_value());
    EXPECT_EQ(**got, infos[i]);
  }
  auto missing = dict->term_ord(std::span((const uint8_t*)"bananas", 7));
  ASSERT_TRUE(missing);
  EXPECT_FALSE(missing->has_value());
}

TEST(TermDictionary, EmptyAndTrailerErrors) {
  const auto& empty = TermDictionary::empty();
  EXPECT_EQ(empty.num_terms(), 0u);
  EXPECT_FALSE(empty.get(std::span((const uint8_t*)"a", 1))->has_value());

  auto bytes = dictionary_of({});
  // The empty dictionary: an FST without keys, u64 0, u64 0, u64 16, u32 1.
  std::vector<uint8_t> tail(bytes.end() - 28, bytes.end());
  std::vector<uint8_t> expected(28, 0);
  expected[16] = 16;
  expected[24] = 1;
  EXPECT_EQ(tail, expected);

  auto v2 = bytes;
  v2[v2.size() - 4] = 2;
  auto r = TermDictionary::open(FileSlice(OwnedBytes::from_vector(v2)));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().display(), "An IO error occurred: 'Unsupported fst version, expected 1, found 2'");
  auto huge = bytes;
  huge[huge.size() - 6] = 0x7F;  // store length beyond the section
  r = TermDictionary::open(FileSlice(OwnedBytes::from_vector(huge)));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), FendralError::Kind::DataCorruption);
  r = TermDictionary::open(FileSlice(OwnedBytes::from_vector(std::vector<uint8_t>(5, 0))));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().display(), "An IO error occurred: 'failed to fill whole buffer'");
}

}  // namespace
}  // namespace fendral::termdict
