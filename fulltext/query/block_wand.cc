#include "fulltext/query/block_wand.h"

#include <algorithm>

namespace fendral::query {
namespace {

struct Entry {
  TermScorer* scorer;
  float max_score;
  uint32_t ord;  // position in the caller's list: the order scores are summed in
  uint32_t doc() const { return scorer->doc(); }
};

// Stable insertion sort by current doc: the list is nearly sorted each time.
void sort_by_doc(std::vector<Entry>& entries) {
  for (size_t i = 1; i < entries.size(); ++i) {
    Entry e = entries[i];
    const uint32_t d = e.doc();
    size_t j = i;
    for (; j > 0 && entries[j - 1].doc() > d; --j) entries[j] = entries[j - 1];
    entries[j] = e;
  }
}

// Moves the entry at i towards the end past every entry on a smaller doc.
void restore_order(std::vector<Entry>& entries, size_t i) {
  const uint32_t d = entries[i].doc();
  while (i + 1 < entries.size() && entries[i + 1].doc() < d) {
    std::swap(entries[i], entries[i + 1]);
    ++i;
  }
}

}  // namespace

void block_wand(std::vector<std::unique_ptr<TermScorer>>& scorers, float threshold, const PruningCallback& callback) {
  std::vector<Entry> entries;
  entries.reserve(scorers.size());
  for (size_t i = 0; i < scorers.size(); ++i) {
    entries.push_back({scorers[i].get(), scorers[i]->max_score(), static_cast<uint32_t>(i)});
  }
  std::erase_if(entries, [](const Entry& e) { return e.doc() == TERMINATED; });
  sort_by_doc(entries);
  std::vector<std::pair<uint32_t, float>> on_pivot;  // (ord, score), summed in ord order

  while (!entries.empty()) {
    // Pivot: the first entry at which the whole-term bounds could beat the
    // threshold. Docs before it cannot.
    float sum = 0.0f;
    size_t p = entries.size();
    for (size_t i = 0; i < entries.size(); ++i) {
      sum = sum + entries[i].max_score;
      if (bound_may_beat(sum, threshold, i + 1)) {
        p = i;
        break;
      }
    }
    if (p == entries.size()) return;
    const uint32_t d = entries[p].doc();
    if (d == TERMINATED) return;
    size_t q = p + 1;
    while (q < entries.size() && entries[q].doc() == d) ++q;

    // Block bound of the pivot range on d.
    float block_sum = 0.0f;
    for (size_t i = 0; i < q; ++i) {
      entries[i].scorer->shallow_seek(d);
      block_sum = block_sum + entries[i].scorer->block_max_score();
    }
    if (!bound_may_beat(block_sum, threshold, q)) {
      // Nothing in these blocks can win: move the strongest term past the
      // shortest block, or up to the next doc of a term outside the range.
      uint32_t target = TERMINATED;
      for (size_t i = 0; i < q; ++i) {
        uint32_t last = entries[i].scorer->last_doc_in_block();
        if (last != TERMINATED) target = std::min(target, last + 1);
      }
      if (q < entries.size()) target = std::min(target, entries[q].doc());
      size_t strongest = 0;
      for (size_t i = 0; i < q; ++i) {
        if (entries[i].max_score >= entries[strongest].max_score) strongest = i;
      }
      entries[strongest].scorer->seek(target);
      restore_order(entries, strongest);
      continue;
    }

    // Align the entries before the pivot on d.
    bool aligned = true;
    for (size_t i = p; i-- > 0;) {
      if (entries[i].scorer->seek(d) == d) continue;
      if (entries[i].doc() == TERMINATED) {
        entries[i] = entries.back();
        entries.pop_back();
      }
      restore_order(entries, i);
      aligned = false;
      break;
    }
    if (!aligned) continue;

    // Score d in clause order.
    on_pivot.clear();
    for (size_t i = 0; i < q; ++i) on_pivot.emplace_back(entries[i].ord, entries[i].scorer->score());
    std::sort(on_pivot.begin(), on_pivot.end());
    float score = 0.0f;
    for (const auto& [ord, s] : on_pivot) score = score + s;
    if (score > threshold) threshold = callback(d, score);

    for (size_t i = 0; i < q; ++i) entries[i].scorer->advance();
    for (size_t i = 0; i < entries.size();) {
      if (entries[i].doc() == TERMINATED) {
        entries[i] = entries.back();
        entries.pop_back();
      } else {
        ++i;
      }
    }
    sort_by_doc(entries);
  }
}

}  // namespace fendral::query
