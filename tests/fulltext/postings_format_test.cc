#include <gtest/gtest.h>

#include <limits>

#include "fulltext/common/bitset.h"
#include "fulltext/common/vint.h"
#include "postings_fixture.h"

namespace fendral::postings {
namespace {

using testing::Posting;
using testing::TermPostings;
using testing::write_field;

std::vector<Posting> docs_every(uint32_t n, uint32_t step, uint32_t tf = 1) {
  std::vector<Posting> v;
  for (uint32_t i = 0; i < n; ++i) v.push_back({i * step, tf, {}});
  return v;
}

termdict::TermDictionary open_dict(const testing::FieldBytes& f) {
  std::vector<uint8_t> body(f.terms.begin(), f.terms.end() - 4);  // kind word stripped
  auto d = termdict::TermDictionary::open(FileSlice(OwnedBytes::from_vector(body)));
  if (!d) throw std::runtime_error(d.error().display());
  return std::move(*d);
}

TEST(PostingsFormat, SkipDataAppearsFrom128Documents) {
  struct Case {
    uint32_t docs;
    RecordOption option;
    bool wants_freqs;
    uint64_t skip_len;  // 0: no skip length at all
  } cases[] = {
      {127, RecordOption::WithFreqs, true, 0},
      {128, RecordOption::Basic, true, 5},
      {128, RecordOption::WithFreqs, true, 8},
      {128, RecordOption::WithFreqsAndPositions, true, 12},
      {256, RecordOption::WithFreqs, false, 10},
  };
  for (const auto& c : cases) {
    TermPostings terms;
    std::vector<Posting> docs;
    for (uint32_t i = 0; i < c.docs; ++i) {
      Posting p{i * 2, 1, {}};
      if (c.option == RecordOption::WithFreqsAndPositions) p.positions = {i % 5};
      docs.push_back(p);
    }
    terms["t"] = docs;
    auto f = write_field(terms, c.option, std::nullopt, c.wants_freqs);
    auto dict = open_dict(f);
    auto info = dict.term_info_from_ord(0);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->doc_freq, c.docs);
    std::span<const uint8_t> bytes(f.postings.data() + 8 + info->postings_range.start, info->postings_range.len());
    if (c.skip_len == 0) {
      // Tail only: the first VInt is the first doc itself.
      EXPECT_EQ(bytes[0], 0x80);
      continue;
    }
    auto s = vint::read_u64(bytes);
    ASSERT_TRUE(s);
    EXPECT_EQ(*s, c.skip_len) << c.docs << " " << int(c.option);
    auto block = BlockSegmentPostings::open(c.docs, OwnedBytes::copy_of(std::span(f.postings).subspan(
                                                        8 + info->postings_range.start, info->postings_range.len())),
                                            c.option, c.option);
    ASSERT_TRUE(block) << block.error().display();
    if (!c.wants_freqs && c.option != RecordOption::Basic) EXPECT_EQ(block->freq_mode(), FreqMode::Absent);
    EXPECT_EQ(block->docs().size(), 128u);
    EXPECT_EQ(block->block_last_doc(), 254u);
  }
}

TEST(PostingsFormat, HeaderAndFirstBlockEncoding) {
  TermPostings terms;
  terms["a"] = docs_every(128, 1, 2);  // docs 0..127: first difference 0, width 0
  auto f = write_field(terms, RecordOption::WithFreqs, std::nullopt, true, 77);
  uint64_t token_count;
  std::memcpy(&token_count, f.postings.data(), 8);
  EXPECT_EQ(token_count, 77u);
  // VInt 8, entry: last doc 127, width 0 | 0x40, tf width 1 (tf - 1 = 1),
  // block-max (0 without norms, 2), then one 16-byte frequency block.
  std::vector<uint8_t> expected = {0x88, 127, 0, 0, 0, 0x40, 1, 0, 2};
  EXPECT_EQ(testing::slice(f.postings, 8, 17), expected);
  EXPECT_EQ(f.postings.size(), 8u + 9 + 16);
}

TEST(PostingsFormat, BlockMaxPairIsSmallestNormWithLargestSaturatedFrequency) {
  std::vector<uint8_t> norms(256, 30);
  norms[5] = 12;   // shortest document, low frequency
  norms[90] = 60;  // longest document, highest frequency
  TermPostings terms;
  std::vector<Posting> docs = docs_every(256, 1, 3);
  docs[90].tf = 300;
  terms["x"] = docs;
  auto f = write_field(terms, RecordOption::WithFreqs, fieldnorm::FieldNormReader::from_bytes(OwnedBytes::from_vector(norms)));
  auto dict = open_dict(f);
  auto info = *dict.term_info_from_ord(0);
  auto block = BlockSegmentPostings::open(
      256, OwnedBytes::copy_of(std::span(f.postings).subspan(8 + info.postings_range.start, info.postings_range.len())),
      RecordOption::WithFreqs, RecordOption::WithFreqs);
  ASSERT_TRUE(block);
  EXPECT_EQ(block->block_max_fieldnorm_id(), 12);
  EXPECT_EQ(block->block_max_term_freq(), std::numeric_limits<uint32_t>::max());  // 300 stored as 255
  EXPECT_EQ(block->freqs()[90], 300u);
  block->advance();
  EXPECT_EQ(block->block_max_fieldnorm_id(), 30);
  EXPECT_EQ(block->block_max_term_freq(), 3u);
  block->advance();  // past the two blocks: empty tail, all TERMINATED
  EXPECT_TRUE(block->docs().empty());
  EXPECT_EQ(block->full_docs()[0], TERMINATED);
}

TEST(PostingsFormat, PositionsOfThreeDocumentsOfHundred) {
  TermPostings terms;
  std::vector<Posting> docs;
  for (uint32_t d = 0; d < 3; ++d) {
    Posting p{d, 0, {}};
    for (uint32_t i = 0; i < 100; ++i) p.positions.push_back(i * 3 + d);
    docs.push_back(p);
  }
  terms["p"] = docs;
  auto f = write_field(terms, RecordOption::WithFreqsAndPositions);
  std::span<const uint8_t> pos(f.positions);
  auto m = vint::read_u64(pos);
  ASSERT_TRUE(m);
  EXPECT_EQ(*m, 2u);
  uint64_t block_bytes = 16u * (pos[0] + pos[1]);
  pos = pos.subspan(2 + block_bytes);
  size_t tail = 0;
  while (!pos.empty()) {
    ASSERT_TRUE(vint::read_u32(pos));
    ++tail;
  }
  EXPECT_EQ(tail, 44u);
}

TEST(PostingsFormat, OutOfOrderTermIsAnIoError) {
  std::vector<uint8_t> t, p, q;
  VecWriter tw(&t), pw(&p), qw(&q);
  auto fs = FieldSerializer::create(0, std::nullopt, RecordOption::Basic, tw, pw, qw);
  ASSERT_TRUE(fs);
  ASSERT_TRUE((*fs)->new_term(std::span<const uint8_t>((const uint8_t*)"b", 1), 0, false));
  ASSERT_TRUE((*fs)->close_term());
  auto r = (*fs)->new_term(std::span<const uint8_t>((const uint8_t*)"a", 1), 0, false);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), FendralError::Kind::IoError);
  EXPECT_THROW((*fs)->new_term(std::span<const uint8_t>((const uint8_t*)"c", 1), 0, false), ContractViolation);
}

}  // namespace
}  // namespace fendral::postings

namespace fendral::postings {
namespace {

SegmentPostings open_only_term(const testing::FieldBytes& f, RecordOption field, RecordOption requested) {
  std::vector<uint8_t> body(f.terms.begin(), f.terms.end() - 4);
  auto dict = termdict::TermDictionary::open(FileSlice(OwnedBytes::from_vector(body)));
  auto info = *dict->term_info_from_ord(0);
  auto block = BlockSegmentPostings::open(
      info.doc_freq,
      OwnedBytes::copy_of(std::span(f.postings).subspan(8 + info.postings_range.start, info.postings_range.len())),
      field, requested);
  EXPECT_TRUE(block);
  return SegmentPostings(std::move(*block), std::nullopt);
}

TEST(SegmentPostingsEdges, FillBufferCountAndSeekAhead) {
  testing::TermPostings terms;
  for (uint32_t d = 0; d < 300; ++d) terms["t"].push_back({d * 3, 1, {}});
  auto f = testing::write_field(terms, RecordOption::Basic);

  auto p = open_only_term(f, RecordOption::Basic, RecordOption::Basic);
  EXPECT_EQ(p.seek(870), 870u);
  std::array<uint32_t, 64> buf;
  EXPECT_EQ(p.fill_buffer(buf), 10u);
  EXPECT_EQ(buf[9], 897u);
  EXPECT_EQ(p.doc(), TERMINATED);
  EXPECT_EQ(p.fill_buffer(buf), 0u);

  auto q = open_only_term(f, RecordOption::Basic, RecordOption::Basic);
  EXPECT_EQ(q.seek(0), 0u);
  EXPECT_EQ(q.seek(1), 3u);  // the look-ahead
  EXPECT_EQ(q.seek(3), 3u);  // already there
  EXPECT_FALSE(q.seek_exact(TERMINATED));
  EXPECT_EQ(q.doc(), 3u);
  BitSetBuilder alive(900);
  for (uint32_t d = 0; d < 900; d += 6) alive.insert(d);  // every other doc of the term
  auto bits = ReadOnlyBitSet::open(OwnedBytes::from_vector(alive.serialize()));
  ASSERT_TRUE(bits);
  EXPECT_EQ(q.count(*bits), 149u);  // docs 6, 12, ..., 894 from doc 3 on
  EXPECT_EQ(q.doc(), TERMINATED);
}

TEST(SegmentPostingsEdges, BlockWithoutTheStrictFlagHoldsPlainDifferences) {
  // One packed block of docs 0, 2, 4, ... 254 stored as plain differences.
  uint32_t docs[128], diffs[128];
  for (uint32_t i = 0; i < 128; ++i) {
    docs[i] = 2 * i;
    diffs[i] = i == 0 ? 0 : 2;
  }
  uint8_t packed[512];
  uint8_t width = pack_block(diffs, packed);
  std::vector<uint8_t> bytes = {0x85, 254, 0, 0, 0, width};  // skip length 5, one 5-byte entry, no 0x40
  bytes.insert(bytes.end(), packed, packed + 16 * width);
  auto block = BlockSegmentPostings::open(128, OwnedBytes::from_vector(bytes), RecordOption::Basic,
                                          RecordOption::Basic);
  ASSERT_TRUE(block) << block.error().display();
  EXPECT_TRUE(std::equal(block->docs().begin(), block->docs().end(), docs));
  EXPECT_FALSE(block->error().has_value());

  // A block whose docs contradict its entry ends the list and says why.
  bytes[1] = 250;
  auto bad = BlockSegmentPostings::open(128, OwnedBytes::from_vector(bytes), RecordOption::Basic, RecordOption::Basic);
  ASSERT_TRUE(bad);
  EXPECT_TRUE(bad->docs().empty());
  ASSERT_TRUE(bad->error().has_value());
  EXPECT_EQ(bad->error()->kind(), FendralError::Kind::DataCorruption);
}

}  // namespace
}  // namespace fendral::postings
