#include "fulltext/postings/block_codec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace fendral::postings {
namespace {

// Reference layout: bit k*w of lane i % 4's stream, words at 16*j + 4*lane.
std::vector<uint8_t> reference_pack(const uint32_t* v, uint8_t w) {
  std::vector<uint8_t> out(16 * w, 0);
  for (int i = 0; i < 128; ++i) {
    int lane = i % 4, k = i / 4;
    for (int b = 0; b < w; ++b) {
      if (!((v[i] >> b) & 1)) continue;
      int bit = k * w + b;
      int word = bit / 32, in_word = bit % 32;
      int byte = 16 * word + 4 * lane + in_word / 8;
      out[byte] |= static_cast<uint8_t>(1u << (in_word % 8));
    }
  }
  return out;
}

TEST(BlockCodec, BothKernelsMatchTheReferenceLayoutAtEveryWidth) {
  std::mt19937 rng(7);
  for (uint8_t w = 0; w <= 32; ++w) {
    uint32_t values[128];
    uint64_t mask = w == 32 ? 0xFFFFFFFFull : (uint64_t{1} << w) - 1;
    for (auto& x : values) x = static_cast<uint32_t>(rng() & mask);
    if (w > 0) values[77] = static_cast<uint32_t>(mask);  // width exactly w
    auto expected = reference_pack(values, w);
    uint8_t scalar[512] = {}, vec[512] = {};
    detail::pack_scalar(values, w, scalar);
    expected.resize(512, 0);  // width 0 stores nothing; compare whole buffers
    EXPECT_EQ(0, std::memcmp(scalar, expected.data(), 16 * w)) << int(w);
    if (detail::vector_kernel_available()) {
      detail::pack_vector(values, w, vec);
      EXPECT_EQ(0, std::memcmp(vec, expected.data(), 16 * w)) << int(w);
    }
    uint8_t packed[512] = {};
    EXPECT_EQ(pack_block(values, packed), w);
    uint32_t a[128], b[128];
    detail::unpack_scalar(expected.data(), w, a);
    unpack_block(expected.data(), w, b);
    EXPECT_EQ(0, std::memcmp(a, values, sizeof a)) << int(w);
    EXPECT_EQ(0, std::memcmp(b, values, sizeof b)) << int(w);
  }
}

TEST(BlockCodec, SortedBlocksStoreDifferencesMinusOne) {
  uint32_t docs[128];
  for (int i = 0; i < 128; ++i) docs[i] = 3 * i;  // first doc 0
  uint8_t out[512];
  // Without previous value the first difference is the first doc itself.
  uint8_t w = pack_block_sorted(docs, kNoPrevious, out);
  uint32_t diffs[128];
  unpack_block(out, w, diffs);
  EXPECT_EQ(diffs[0], 0u);
  EXPECT_EQ(diffs[1], 2u);
  uint32_t back[128];
  unpack_block_running(out, w, kNoPrevious, 1, back);
  EXPECT_EQ(0, std::memcmp(back, docs, sizeof docs));

  for (int i = 0; i < 128; ++i) docs[i] = 1000 + i;  // consecutive: width 0
  EXPECT_EQ(pack_block_sorted(docs, 999, out), 0);
  unpack_block_running(out, 0, 999, 1, back);
  EXPECT_EQ(0, std::memcmp(back, docs, sizeof docs));
}

}  // namespace
}  // namespace fendral::postings
