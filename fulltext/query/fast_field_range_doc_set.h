// The documents of one segment whose value in one column lies in an
// inclusive range [start, end] of the column's value space (u64 forms of
// numbers, dates and term ordinals; 128-bit IP addresses). No postings: the
// doc set walks the documents in windows, asks the column index for each
// window's rows and the column values for the rows in range, and maps them
// back to doc ids. A window that finds nothing doubles the next (128 doc ids
// up to 100000); a seek far ahead starts again at 128.
//
//   FastFieldRangeDocSet<uint64_t> docs(column, 5, 9, reader.max_doc());
//
// Doc ids never reach max_doc, whatever the column's stored counts say.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "fulltext/columnar/reader/column.h"
#include "fulltext/query/doc_set.h"

namespace fendral::query {

template <class T>
class FastFieldRangeDocSet final : public DocSet {
 public:
  static constexpr uint32_t kFirstHorizon = 128;
  static constexpr uint32_t kMaxHorizon = 100000;

  // `exhausted`: built at TERMINATED without reading the column (the range
  // lies outside the column's values).
  FastFieldRangeDocSet(columnar::Column<T> column, T start, T end, uint32_t max_doc, bool exhausted = false)
      : column_(std::move(column)), start_(start), end_(end) {
    num_docs_ = std::min(column_.index.num_docs(column_.values->num_vals()), max_doc);
    buffer_.reserve(32);
    if (exhausted) {
      next_fetch_start_ = TERMINATED;
    } else {
      fetch_block();
    }
  }

  uint32_t doc() const override { return cursor_ < buffer_.size() ? buffer_[cursor_] : TERMINATED; }
  uint32_t advance() override {
    if (cursor_ < buffer_.size()) ++cursor_;
    if (cursor_ >= buffer_.size()) fetch_block();
    return doc();
  }
  uint32_t seek(uint32_t target) override {
    if (doc() >= target) return doc();
    if (!last_seek_ || target - *last_seek_ >= kFirstHorizon) horizon_ = kFirstHorizon;
    next_fetch_start_ = std::max(next_fetch_start_, target);
    last_seek_ = target;
    for (;;) {
      while (cursor_ < buffer_.size() && buffer_[cursor_] < target) ++cursor_;
      if (cursor_ < buffer_.size()) return buffer_[cursor_];
      fetch_block();
      if (cursor_ >= buffer_.size()) return TERMINATED;
    }
  }
  uint32_t size_hint() const override { return num_docs_ / 10; }
  uint64_t cost() const override { return static_cast<uint64_t>(num_docs_ * 0.8); }

 private:
  void fetch_block() {
    if (next_fetch_start_ >= num_docs_ || cursor_ < buffer_.size()) return;
    std::optional<uint32_t> last;
    if (!buffer_.empty()) last = buffer_.back();
    for (;;) {
      const uint64_t end = uint64_t{next_fetch_start_} + horizon_;
      const uint32_t stop = static_cast<uint32_t>(std::min<uint64_t>(end, num_docs_));
      buffer_.clear();
      cursor_ = 0;
      auto [row_start, row_end] = column_.index.docid_range_to_rowids(next_fetch_start_, stop);
      column_.values->get_row_ids_for_value_range(start_, end_, row_start, row_end, buffer_);
      column_.index.rowids_to_docids(next_fetch_start_, buffer_);
      // Damaged indexes must not hand out docs outside the window.
      std::erase_if(buffer_, [&](uint32_t d) { return d < next_fetch_start_ || d >= stop; });
      if (last) {
        while (cursor_ < buffer_.size() && buffer_[cursor_] <= *last) ++cursor_;
      }
      next_fetch_start_ = stop;
      if (end >= num_docs_) return;
      horizon_ = std::min(horizon_ * 2, kMaxHorizon);
      if (cursor_ < buffer_.size()) return;
    }
  }

  columnar::Column<T> column_;
  T start_;
  T end_;
  uint32_t num_docs_ = 0;
  std::vector<uint32_t> buffer_;
  size_t cursor_ = 0;
  std::optional<uint32_t> last_seek_;
  uint32_t next_fetch_start_ = 0;
  uint32_t horizon_ = kFirstHorizon;
};

}  // namespace fendral::query
