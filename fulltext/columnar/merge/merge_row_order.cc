#include "fulltext/columnar/merge/merge_row_order.h"

namespace fendral::columnar {

const ReadOnlyBitSet* MergeRowOrder::alive_bitset(size_t input) const {
  const auto* s = std::get_if<ShuffledOrder>(&order);
  if (!s || input >= s->alive_bitsets.size() || !s->alive_bitsets[input]) return nullptr;
  return &*s->alive_bitsets[input];
}

uint32_t MergeRowOrder::num_rows() const {
  if (const auto* s = std::get_if<StackedOrder>(&order)) {
    return s->cumulative_rows.empty() ? 0 : s->cumulative_rows.back();
  }
  return static_cast<uint32_t>(std::get<ShuffledOrder>(order).new_to_old.size());
}

void for_each_output_doc(const MergeRowOrder& order, const std::vector<ColumnIndex>& indexes,
                         const std::function<void(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t)>& f) {
  if (const auto* s = std::get_if<StackedOrder>(&order.order)) {
    uint32_t start = 0;
    for (uint32_t i = 0; i < s->cumulative_rows.size(); ++i) {
      const uint32_t end = s->cumulative_rows[i];
      if (i < indexes.size()) {
        for (uint32_t d = 0; start + d < end; ++d) {
          auto [a, b] = indexes[i].value_row_range(d);
          f(start + d, i, d, a, b);
        }
      }
      start = end;
    }
    return;
  }
  const auto& new_to_old = std::get<ShuffledOrder>(order.order).new_to_old;
  for (uint32_t r = 0; r < new_to_old.size(); ++r) {
    const RowAddress addr = new_to_old[r];
    if (addr.segment_ord >= indexes.size()) {
      f(r, addr.segment_ord, addr.row_id, 0, 0);
      continue;
    }
    auto [a, b] = indexes[addr.segment_ord].value_row_range(addr.row_id);
    f(r, addr.segment_ord, addr.row_id, a, b);
  }
}

void for_each_alive(const ReadOnlyBitSet& alive, uint32_t num_docs, const std::function<bool(uint32_t)>& f) {
  auto it = alive.iter();
  while (auto d = it.next()) {
    if (*d >= num_docs || !f(*d)) return;
  }
}

}  // namespace fendral::columnar
