// Doc sets and scorers: forward-only iterators over the doc ids of one
// segment, ended by TERMINATED. A doc set starts on its first doc; once at
// TERMINATED it stays there.
#pragma once

#include <cstdint>
#include <span>

#include "fulltext/common/bitset.h"
#include "fulltext/postings/postings_format.h"

namespace fendral::query {

using postings::TERMINATED;

class DocSet {
 public:
  virtual ~DocSet() = default;
  virtual uint32_t advance() = 0;
  virtual uint32_t doc() const = 0;
  virtual uint32_t size_hint() const = 0;
  virtual uint64_t cost() const { return size_hint(); }
  // First doc >= target (stays when already there).
  virtual uint32_t seek(uint32_t target);
  // seek, then whether target was reached. Contract: target >= doc().
  virtual bool seek_exact(uint32_t target);
  // The current doc and following ones until the buffer is full or the end.
  virtual size_t fill_buffer(std::span<uint32_t, 64> buffer);
  // Docs from the current one to the end whose alive bit is set.
  virtual uint32_t count(const ReadOnlyBitSet& alive);
  virtual uint32_t count_including_deleted();
};

class Scorer : public DocSet {
 public:
  virtual float score() = 0;
};

class EmptyScorer final : public Scorer {
 public:
  uint32_t advance() override { return TERMINATED; }
  uint32_t doc() const override { return TERMINATED; }
  uint32_t size_hint() const override { return 0; }
  float score() override { return 0.0f; }
};

// Every doc of a segment, each scoring 1.0.
class AllScorer final : public Scorer {
 public:
  explicit AllScorer(uint32_t max_doc) : max_doc_(max_doc), doc_(max_doc == 0 ? TERMINATED : 0) {}
  uint32_t advance() override;
  uint32_t doc() const override { return doc_; }
  uint32_t seek(uint32_t target) override;
  uint32_t size_hint() const override { return max_doc_; }
  float score() override { return 1.0f; }

 private:
  uint32_t max_doc_;
  uint32_t doc_;
};

}  // namespace fendral::query
