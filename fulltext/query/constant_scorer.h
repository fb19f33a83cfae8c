// Doc sets built in memory, and the scorer that gives every doc of a doc set
// one score. The range and automaton weights collect the documents of many
// terms into a DocBitSet of max_doc bits, then hand out a ConstantScorer over
// its BitSetDocSet.
//
//   DocBitSet bits(reader.max_doc());
//   bits.insert(d);                      // contract: d < max_doc
//   ConstantScorer s(std::make_unique<BitSetDocSet>(std::move(bits)), boost);
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "fulltext/query/doc_set.h"

namespace fendral::query {

// A mutable set of doc ids below max_doc.
class DocBitSet {
 public:
  explicit DocBitSet(uint32_t max_doc) : max_doc_(max_doc), words_((uint64_t{max_doc} + 63) / 64, 0) {}
  uint32_t max_doc() const { return max_doc_; }
  // Contract: doc < max_doc.
  void insert(uint32_t doc) {
    uint64_t& w = words_[doc / 64];
    const uint64_t bit = uint64_t{1} << (doc % 64);
    len_ += (w & bit) == 0 ? 1 : 0;
    w |= bit;
  }
  bool contains(uint32_t doc) const { return doc < max_doc_ && (words_[doc / 64] >> (doc % 64) & 1) != 0; }
  uint32_t len() const { return len_; }
  const std::vector<uint64_t>& words() const { return words_; }

 private:
  uint32_t max_doc_;
  uint32_t len_ = 0;
  std::vector<uint64_t> words_;
};

// The set bits in ascending order, word by word.
class BitSetDocSet final : public DocSet {
 public:
  explicit BitSetDocSet(DocBitSet bits);
  uint32_t advance() override;
  uint32_t seek(uint32_t target) override;
  uint32_t doc() const override { return doc_; }
  uint32_t size_hint() const override { return bits_.len(); }

 private:
  // The first set bit at or after `from`, TERMINATED when none.
  uint32_t next_from(uint32_t from) const;
  DocBitSet bits_;
  uint32_t doc_ = TERMINATED;
};

// Every doc of the inner doc set, scoring `score`.
class ConstantScorer final : public Scorer {
 public:
  ConstantScorer(std::unique_ptr<DocSet> docs, float score) : docs_(std::move(docs)), score_(score) {}
  uint32_t advance() override { return docs_->advance(); }
  uint32_t doc() const override { return docs_->doc(); }
  uint32_t seek(uint32_t target) override { return docs_->seek(target); }
  bool seek_exact(uint32_t target) override { return docs_->seek_exact(target); }
  size_t fill_buffer(std::span<uint32_t, 64> buffer) override { return docs_->fill_buffer(buffer); }
  uint32_t size_hint() const override { return docs_->size_hint(); }
  uint64_t cost() const override { return docs_->cost(); }
  uint32_t count(const ReadOnlyBitSet& alive) override { return docs_->count(alive); }
  uint32_t count_including_deleted() override { return docs_->count_including_deleted(); }
  float score() override { return score_; }

 private:
  std::unique_ptr<DocSet> docs_;
  float score_;
};

}  // namespace fendral::query
