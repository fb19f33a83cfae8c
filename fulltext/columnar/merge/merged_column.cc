#include "fulltext/columnar/merge/merged_column.h"

#include <algorithm>

namespace fendral::columnar {

namespace {

Cardinality of_row_count(uint32_t n) {
  return n == 0 ? Cardinality::Optional : n == 1 ? Cardinality::Full : Cardinality::Multivalued;
}

// Batches values before handing them to a sink.
class Batcher {
 public:
  explicit Batcher(const std::function<void(std::span<const uint64_t>)>& sink) : sink_(sink) {}
  ~Batcher() { flush(); }
  void push(uint64_t v) {
    buf_[n_++] = v;
    if (n_ == kSize) flush();
  }
  void flush() {
    if (n_) sink_(std::span<const uint64_t>(buf_, n_));
    n_ = 0;
  }

 private:
  static constexpr size_t kSize = 256;
  const std::function<void(std::span<const uint64_t>)>& sink_;
  uint64_t buf_[kSize];
  size_t n_ = 0;
};

}  // namespace

Cardinality merged_cardinality(const std::vector<ColumnIndex>& indexes, const MergeRowOrder& order) {
  Cardinality c = Cardinality::Full;
  if (order.is_stacked()) {
    for (const ColumnIndex& idx : indexes) c = std::max(c, idx.cardinality());
    return c;
  }
  const auto& alive = std::get<ShuffledOrder>(order.order).alive_bitsets;
  const size_t n = std::min(alive.size(), indexes.size());
  for (size_t i = 0; i < n; ++i) {
    const ColumnIndex& idx = indexes[i];
    Cardinality s = Cardinality::Full;
    if (!alive[i]) {
      s = idx.cardinality();
    } else if (idx.kind() != ColumnIndex::Kind::Full) {
      const Cardinality bound = idx.cardinality();
      if (bound != Cardinality::Full) {
        const uint32_t num_docs = idx.num_docs(0);
        for_each_alive(*alive[i], num_docs, [&](uint32_t d) {
          auto [a, b] = idx.value_row_range(d);
          s = std::max(s, of_row_count(b - a));
          return s < bound;
        });
      }
    }
    if (s == Cardinality::Multivalued) return s;
    c = std::max(c, s);
  }
  return c;
}

MergedColumnIndex::MergedColumnIndex(const std::vector<ColumnIndex>& indexes, const MergeRowOrder& order)
    : indexes_(indexes), order_(order) {
  to_write_.cardinality = merged_cardinality(indexes, order);
  to_write_.num_rows = order.num_rows();
  to_write_.docs = [this](const std::function<void(uint32_t)>& f) {
    for_each_output_doc(order_, indexes_, [&](uint32_t out, uint32_t, uint32_t, uint32_t a, uint32_t b) {
      if (b > a) f(out);
    });
  };
  to_write_.start_offsets = this;
}

void MergedColumnIndex::visit(const std::function<void(std::span<const uint64_t>)>& sink) const {
  Batcher batch(sink);
  uint64_t total = 0;
  batch.push(0);
  for_each_output_doc(order_, indexes_, [&](uint32_t, uint32_t, uint32_t, uint32_t a, uint32_t b) {
    if (b > a) {
      total += b - a;
      batch.push(total);
    }
  });
}

void MergedColumnValues::visit(const std::function<void(std::span<const uint64_t>)>& sink) const {
  Batcher batch(sink);
  for_each_output_doc(order_, indexes_, [&](uint32_t, uint32_t input, uint32_t, uint32_t a, uint32_t b) {
    if (input >= values_.size() || !values_[input]) return;
    const ColumnValues<uint64_t>& vals = *values_[input];
    const uint32_t end = std::min(b, vals.num_vals());
    for (uint32_t row = a; row < end; ++row) {
      uint64_t v = vals.get_val(row);
      if (remap_) {
        const auto& table = (*remap_)[input];
        v = v < table.size() ? table[v] : 0;
      }
      batch.push(v);
    }
  });
}

U128Visitor merged_u128_values(const std::vector<ColumnIndex>& indexes,
                               const std::vector<std::shared_ptr<const ColumnValues<U128>>>& values,
                               const MergeRowOrder& order) {
  return [&indexes, &values, &order](const std::function<void(U128)>& f) {
    for_each_output_doc(order, indexes, [&](uint32_t, uint32_t input, uint32_t, uint32_t a, uint32_t b) {
      if (input >= values.size() || !values[input]) return;
      const uint32_t end = std::min(b, values[input]->num_vals());
      for (uint32_t row = a; row < end; ++row) f(values[input]->get_val(row));
    });
  };
}

}  // namespace fendral::columnar
