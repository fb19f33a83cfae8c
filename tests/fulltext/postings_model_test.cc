// Random documents through FieldSerializer, read back through the inverted
// index reader and compared with a std::map reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "fulltext/fieldnorm/fieldnorm_code.h"
#include "fulltext/index/inverted_index_reader.h"
#include "postings_fixture.h"

namespace fendral::postings {
namespace {

struct Model {
  std::map<std::string, std::map<uint32_t, std::vector<uint32_t>>> terms;  // term -> doc -> positions
  std::vector<uint8_t> norms;                                             // fieldnorm id per doc
  uint64_t tokens = 0;
};

Model random_model(uint32_t num_docs, uint32_t seed) {
  std::mt19937 rng(seed);
  Model m;
  // Zipf-like vocabulary: a few terms in most documents, a long tail.
  std::vector<std::string> vocab;
  for (int i = 0; i < 400; ++i) vocab.push_back("t" + std::to_string(i));
  std::vector<double> weights;
  for (int i = 0; i < 400; ++i) weights.push_back(1.0 / (i + 1));
  std::discrete_distribution<int> pick(weights.begin(), weights.end());
  for (uint32_t doc = 0; doc < num_docs; ++doc) {
    uint32_t len = 1 + rng() % (rng() % 8 == 0 ? 400 : 40);
    m.norms.push_back(fieldnorm::id_of_length(len));
    m.tokens += len;
    for (uint32_t p = 0; p < len; ++p) m.terms[vocab[pick(rng)]][doc].push_back(p);
  }
  return m;
}

struct Built {
  testing::FieldBytes bytes;
  std::shared_ptr<const index::InvertedIndexReader> reader;
};

Built build(const Model& m) {
  testing::TermPostings terms;
  for (const auto& [t, docs] : m.terms) {
    for (const auto& [doc, pos] : docs) terms[t].push_back({doc, 0, pos});
  }
  Built b;
  b.bytes = testing::write_field(terms, RecordOption::WithFreqsAndPositions,
                                 fieldnorm::FieldNormReader::from_bytes(OwnedBytes::copy_of(m.norms)), true, m.tokens);
  auto r = index::InvertedIndexReader::open(FileSlice(OwnedBytes::copy_of(b.bytes.terms)),
                                            FileSlice(OwnedBytes::copy_of(b.bytes.postings)),
                                            FileSlice(OwnedBytes::copy_of(b.bytes.positions)),
                                            RecordOption::WithFreqsAndPositions);
  if (!r) throw std::runtime_error(r.error().display());
  b.reader = *r;
  return b;
}

termdict::TermInfo info_of(const index::InvertedIndexReader& r, const std::string& t) {
  auto i = r.terms().get(std::span((const uint8_t*)t.data(), t.size()));
  EXPECT_TRUE(i && i->has_value());
  return **i;
}

class PostingsModel : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    model_ = new Model(random_model(10000, 42));
    built_ = new Built(build(*model_));
  }
  static void TearDownTestSuite() {
    delete built_;
    delete model_;
  }
  static Model* model_;
  static Built* built_;
};
Model* PostingsModel::model_ = nullptr;
Built* PostingsModel::built_ = nullptr;

TEST_F(PostingsModel, AdvanceYieldsEveryDocWithFrequencyAndPositions) {
  const auto& reader = *built_->reader;
  EXPECT_EQ(reader.total_num_tokens(), model_->tokens);
  EXPECT_EQ(reader.terms().num_terms(), model_->terms.size());
  std::mt19937 rng(1);
  for (const auto& [t, docs] : model_->terms) {
    for (auto option : {RecordOption::Basic, RecordOption::WithFreqs, RecordOption::WithFreqsAndPositions}) {
      auto p = reader.read_postings(info_of(reader, t), option);
      ASSERT_TRUE(p) << p.error().display();
      EXPECT_EQ(p->doc_freq(), docs.size());
      for (const auto& [doc, pos] : docs) {
        ASSERT_EQ(p->doc(), doc) << t;
        EXPECT_EQ(p->term_freq(), option == RecordOption::Basic ? 1u : pos.size());
        if (option == RecordOption::WithFreqsAndPositions && rng() % 4 == 0) {
          std::vector<uint32_t> got;
          ASSERT_TRUE(p->positions_with_offset(10, got));
          std::vector<uint32_t> want = pos;
          for (auto& x : want) x += 10;
          ASSERT_EQ(got, want) << t << " doc " << doc;
        } else if (option != RecordOption::WithFreqsAndPositions) {
          std::vector<uint32_t> got;
          ASSERT_TRUE(p->positions(got));
          EXPECT_TRUE(got.empty());
        }
        p->advance();
      }
      EXPECT_EQ(p->doc(), TERMINATED);
      EXPECT_EQ(p->advance(), TERMINATED);
      EXPECT_FALSE(p->error().has_value());
    }
  }
}

TEST_F(PostingsModel, SeekMatchesTheReference) {
  const auto& reader = *built_->reader;
  std::mt19937 rng(2);
  for (const auto& [t, docs] : model_->terms) {
    std::vector<uint32_t> ids;
    for (const auto& d : docs) ids.push_back(d.first);
    for (int round = 0; round < 3; ++round) {
      auto p = reader.read_postings(info_of(reader, t), RecordOption::WithFreqsAndPositions);
      ASSERT_TRUE(p);
      uint32_t target = 0;
      while (true) {
        target += rng() % (round == 0 ? 3 : round == 1 ? 200 : 3000);
        if (target >= 10000) break;
        auto it = std::lower_bound(ids.begin(), ids.end(), std::max(target, p->doc()));
        uint32_t want = it == ids.end() ? TERMINATED : *it;
        bool exact = rng() % 2;
        if (exact) {
          EXPECT_EQ(p->seek_exact(target), want == target);
        } else {
          ASSERT_EQ(p->seek(target), want) << t << " target " << target;
        }
        if (p->doc() != TERMINATED && rng() % 3 == 0) {
          std::vector<uint32_t> got;
          ASSERT_TRUE(p->positions(got));
          ASSERT_EQ(got, docs.at(p->doc()));
        }
      }
      EXPECT_FALSE(p->seek_exact(TERMINATED));
      EXPECT_EQ(p->seek(TERMINATED), TERMINATED);
      std::array<uint32_t, 64> buf;
      EXPECT_EQ(p->fill_buffer(buf), 0u);
    }
  }
}

TEST_F(PostingsModel, PositionsReadInAnyOrder) {
  const auto& reader = *built_->reader;
  std::mt19937 rng(3);
  for (const auto& [t, docs] : model_->terms) {
    std::vector<uint32_t> deltas;  // the term's concatenated position deltas
    for (const auto& [doc, pos] : docs) {
      uint32_t prev = 0;
      for (uint32_t x : pos) {
        deltas.push_back(x - prev);
        prev = x;
      }
    }
    auto info = info_of(reader, t);
    std::vector<uint8_t> bytes = testing::slice(built_->bytes.positions, info.positions_range.start,
                                                info.positions_range.end);
    auto pr = positions::PositionsReader::open(OwnedBytes::from_vector(bytes));
    ASSERT_TRUE(pr);
    for (int i = 0; i < 20; ++i) {
      uint64_t at = rng() % deltas.size();
      size_t n = std::min<size_t>(1 + rng() % 300, deltas.size() - at);
      std::vector<uint32_t> got(n);
      ASSERT_TRUE(pr->read(at, got));
      ASSERT_TRUE(std::equal(got.begin(), got.end(), deltas.begin() + at)) << t << " at " << at;
    }
    std::vector<uint32_t> past(2);
    EXPECT_FALSE(pr->read(deltas.size() - 1, past));
  }
}

float bm25_factor(uint32_t tf, uint32_t len, float avg) {
  float norm = 1.2f * (1.0f - 0.75f + 0.75f * static_cast<float>(len) / avg);
  float t = static_cast<float>(tf);
  return t / (t + norm);
}

TEST_F(PostingsModel, BlockMaxPairBoundsEveryDocOfItsBlock) {
  const auto& reader = *built_->reader;
  size_t blocks_checked = 0;
  for (const auto& [t, docs] : model_->terms) {
    if (docs.size() < 128) continue;
    auto b = reader.read_block_postings(info_of(reader, t), RecordOption::WithFreqs);
    ASSERT_TRUE(b);
    while (b->docs().size() == 128) {
      uint32_t bound_len = fieldnorm::length_of_id(b->block_max_fieldnorm_id());
      uint32_t bound_tf = b->block_max_term_freq();
      for (float avg : {1.0f, 7.5f, 40.0f, 300.0f, 5000.0f}) {
        float bound = bm25_factor(bound_tf, bound_len, avg);
        for (size_t i = 0; i < 128; ++i) {
          uint32_t d = b->docs()[i];
          ASSERT_GE(bound, bm25_factor(b->freqs()[i], fieldnorm::length_of_id(model_->norms[d]), avg));
        }
      }
      ++blocks_checked;
      b->advance();
    }
  }
  EXPECT_GT(blocks_checked, 100u);
}

}  // namespace
}  // namespace fendral::postings
