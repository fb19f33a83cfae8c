#include "fulltext/query/union_scorer.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace fendral::query {

BufferedUnionScorer::BufferedUnionScorer(std::vector<std::unique_ptr<Scorer>> members, ScoreCombiner combiner,
                                         uint32_t num_docs)
    : combiner_(combiner), num_docs_(num_docs) {
  for (auto& m : members) {
    if (m->doc() != TERMINATED) members_.push_back(std::move(m));
  }
  if (combiner_ == ScoreCombiner::Summing) scores_.assign(kWindow, 0.0f);
  if (refill()) {
    advance();
  } else {
    doc_ = TERMINATED;
  }
}

bool BufferedUnionScorer::refill() {
  if (members_.empty()) return false;
  uint32_t m = TERMINATED;
  for (const auto& s : members_) m = std::min(m, s->doc());
  window_start_ = m;
  cursor_ = 0;
  doc_ = m;
  const uint64_t end = static_cast<uint64_t>(m) + kWindow;
  for (size_t i = 0; i < members_.size();) {
    auto& s = *members_[i];
    uint32_t d = s.doc();
    bool exhausted = false;
    while (d < end) {
      uint32_t off = d - m;
      bits_[off / 64] |= uint64_t{1} << (off % 64);
      if (combiner_ == ScoreCombiner::Summing) scores_[off] = scores_[off] + s.score();
      d = s.advance();
      if (d == TERMINATED) {
        exhausted = true;
        break;
      }
    }
    if (exhausted) {
      members_.erase(members_.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
  return true;
}

uint32_t BufferedUnionScorer::advance() {
  if (doc_ == TERMINATED) return doc_;
  for (;;) {
    while (cursor_ < bits_.size()) {
      uint64_t& word = bits_[cursor_];
      if (word != 0) {
        uint32_t bit = static_cast<uint32_t>(std::countr_zero(word));
        word &= word - 1;
        uint32_t off = cursor_ * 64 + bit;
        doc_ = window_start_ + off;
        if (combiner_ == ScoreCombiner::Summing) {
          score_ = scores_[off];
          scores_[off] = 0.0f;
        } else {
          score_ = 1.0f;
        }
        return doc_;
      }
      ++cursor_;
    }
    if (!refill()) {
      doc_ = TERMINATED;
      return doc_;
    }
  }
}

uint32_t BufferedUnionScorer::seek(uint32_t target) {
  if (doc_ >= target) return doc_;
  if (target - window_start_ < kWindow) {
    uint32_t w = (target - window_start_) / 64;
    for (uint32_t c = cursor_; c < w; ++c) {
      bits_[c] = 0;
      if (combiner_ == ScoreCombiner::Summing) std::fill_n(scores_.begin() + c * 64, 64, 0.0f);
    }
    cursor_ = std::max(cursor_, w);
    while (doc_ < target) advance();
    return doc_;
  }
  bits_.fill(0);
  if (combiner_ == ScoreCombiner::Summing) std::fill(scores_.begin(), scores_.end(), 0.0f);
  for (size_t i = 0; i < members_.size();) {
    if (members_[i]->doc() < target && members_[i]->seek(target) == TERMINATED) {
      members_.erase(members_.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
  cursor_ = bits_.size();
  if (!refill()) {
    doc_ = TERMINATED;
    return doc_;
  }
  return advance();
}

uint32_t BufferedUnionScorer::size_hint() const {
  double n = num_docs_;
  double p = 1.0;
  for (const auto& m : members_) p *= 1.0 - 0.8 * m->size_hint() / n;
  double e = std::round(n * (1.0 - p));
  e = std::isnan(e) ? n : std::min(e, n);
  e = std::min(std::max(e, 0.0), 4294967295.0);
  return static_cast<uint32_t>(e);
}

uint64_t BufferedUnionScorer::cost() const {
  uint64_t c = 0;
  for (const auto& m : members_) c += m->cost();
  return c;
}

namespace {

template <typename E>
bool heap_less(const E& a, const E& b) {
  return a.doc > b.doc;  // std heap is a max-heap: invert for the smallest doc on top
}

}  // namespace

HeapUnionScorer::HeapUnionScorer(std::vector<std::unique_ptr<Scorer>> members, uint32_t minimum_matches,
                                 ScoreCombiner combiner)
    : minimum_matches_(minimum_matches), combiner_(combiner) {
  const size_t n = members.size();
  for (auto& m : members) {
    uint32_t d = m->doc();
    heap_.push_back({std::move(m), d});
  }
  std::make_heap(heap_.begin(), heap_.end(), heap_less<Entry>);
  if (n >= minimum_matches_) advance();
}

uint32_t HeapUnionScorer::advance() {
  uint32_t candidate = doc_;
  uint32_t count = 0;
  float total = 0.0f;
  auto emit = [&] {
    score_ = combiner_ == ScoreCombiner::Summing ? total : 1.0f;
    doc_ = candidate;
    return doc_;
  };
  while (!heap_.empty()) {
    std::pop_heap(heap_.begin(), heap_.end(), heap_less<Entry>);
    Entry e = std::move(heap_.back());
    heap_.pop_back();
    if (e.doc == TERMINATED) continue;
    if (e.doc == candidate) {
      ++count;
    } else {
      if (count >= minimum_matches_) {
        heap_.push_back(std::move(e));
        std::push_heap(heap_.begin(), heap_.end(), heap_less<Entry>);
        return emit();
      }
      candidate = e.doc;
      count = 1;
      total = 0.0f;
    }
    if (combiner_ == ScoreCombiner::Summing) total = e.scorer->score() + total;
    e.doc = e.scorer->advance();
    heap_.push_back(std::move(e));
    std::push_heap(heap_.begin(), heap_.end(), heap_less<Entry>);
  }
  if (count < minimum_matches_) {
    doc_ = TERMINATED;
    return doc_;
  }
  return emit();
}

uint32_t HeapUnionScorer::size_hint() const {
  uint32_t h = 0;
  for (const auto& e : heap_) h = std::max(h, e.scorer->size_hint());
  return h;
}

uint64_t HeapUnionScorer::cost() const {
  uint64_t c = 0;
  for (const auto& e : heap_) c = std::max(c, e.scorer->cost());
  return c;
}

}  // namespace fendral::query
