#include "fulltext/columnar/merge/merge_dictionary.h"

#include <algorithm>

#include "fulltext/columnar/merge/merged_column.h"
#include "fulltext/common/le_bytes.h"
#include "fulltext/sstable/writer.h"

namespace fendral::columnar {

TermMerger::TermMerger(std::vector<std::optional<sstable::Streamer>> streamers) : streamers_(std::move(streamers)) {
  for (uint32_t i = 0; i < streamers_.size(); ++i) {
    if (streamers_[i]) pending_.push_back(i);
  }
}

IoResult<bool> TermMerger::advance() {
  // Heap order: smallest key first, then the lower input.
  auto greater = [this](uint32_t a, uint32_t b) {
    auto ka = streamers_[a]->key();
    auto kb = streamers_[b]->key();
    if (std::ranges::equal(ka, kb)) return a > b;
    return std::lexicographical_compare(kb.begin(), kb.end(), ka.begin(), ka.end());
  };
  for (uint32_t i : pending_) {
    auto more = streamers_[i]->advance();
    if (!more) return std::unexpected(more.error());
    if (*more) {
      heap_.push_back(i);
      std::push_heap(heap_.begin(), heap_.end(), greater);
    }
  }
  pending_.clear();
  current_.clear();
  if (heap_.empty()) return false;
  std::pop_heap(heap_.begin(), heap_.end(), greater);
  uint32_t first = heap_.back();
  heap_.pop_back();
  key_.assign(streamers_[first]->key().begin(), streamers_[first]->key().end());
  current_.push_back({first, streamers_[first]->term_ord()});
  pending_.push_back(first);
  while (!heap_.empty() && std::ranges::equal(streamers_[heap_.front()]->key(), key_)) {
    std::pop_heap(heap_.begin(), heap_.end(), greater);
    uint32_t i = heap_.back();
    heap_.pop_back();
    current_.push_back({i, streamers_[i]->term_ord()});
    pending_.push_back(i);
  }
  return true;
}

namespace {

IoResult<uint64_t> count_keys(const sstable::Dictionary& dict) {
  auto s = dict.stream_all();
  if (!s) return std::unexpected(s.error());
  uint64_t n = 0;
  while (true) {
    auto more = s->advance();
    if (!more) return std::unexpected(more.error());
    if (!*more) return n;
    ++n;
  }
}

}  // namespace

IoResult<void> merge_dictionary_column(const std::vector<uint32_t>& num_docs,
                                       const std::vector<std::optional<DictionaryInput>>& inputs,
                                       const MergeRowOrder& order, std::vector<uint8_t>& out) {
  std::vector<ColumnIndex> indexes;
  std::vector<std::shared_ptr<const ColumnValues<uint64_t>>> values;
  std::vector<std::optional<sstable::Streamer>> streamers;
  std::vector<std::vector<uint64_t>> mapping(inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    if (!inputs[i]) {
      indexes.push_back(ColumnIndex::empty(num_docs[i]));
      values.push_back(nullptr);
      streamers.emplace_back();
      continue;
    }
    indexes.push_back(inputs[i]->ords.index);
    values.push_back(inputs[i]->ords.values);
    // The footer's key count sizes the tables below, so it is checked
    // against the keys actually stored first.
    auto count = count_keys(*inputs[i]->dictionary);
    if (!count) return std::unexpected(count.error());
    if (*count != inputs[i]->dictionary->num_terms()) {
      return io_fail(IoErrorKind::InvalidData, "Dictionary key count differs from its footer");
    }
    auto s = inputs[i]->dictionary->stream_all();
    if (!s) return std::unexpected(s.error());
    streamers.emplace_back(std::move(*s));
    mapping[i].assign(*count, 0);
  }
  // Terms used by alive documents, for inputs with deletes.
  std::vector<std::vector<bool>> used(inputs.size());
  if (!order.is_stacked()) {
    for (size_t i = 0; i < inputs.size(); ++i) {
      const ReadOnlyBitSet* alive = order.alive_bitset(i);
      if (!alive || !inputs[i]) continue;
      used[i].assign(mapping[i].size(), false);
      const Column<uint64_t>& ords = inputs[i]->ords;
      for_each_alive(*alive, num_docs[i], [&](uint32_t d) {
        auto [a, b] = ords.index.value_row_range(d);
        for (uint32_t r = a; r < b && r < ords.values->num_vals(); ++r) {
          uint64_t o = ords.values->get_val(r);
          if (o < used[i].size()) used[i][o] = true;
        }
        return true;
      });
    }
  }
  const size_t dict_start = out.size();
  VecWriter dict_out(&out);
  sstable::Writer sst(&dict_out, sstable::ValueKind::KeysOnly);
  TermMerger merger(std::move(streamers));
  uint64_t next = 0;
  while (true) {
    auto more = merger.advance();
    if (!more) return std::unexpected(more.error());
    if (!*more) break;
    bool keep = order.is_stacked() ||
                std::ranges::any_of(merger.current(), [&](const TermMerger::Holder& h) {
                  return used[h.input].empty() || (h.ord < used[h.input].size() && used[h.input][h.ord]);
                });
    if (!keep) continue;
    if (auto r = sst.insert(merger.current_key()); !r) return r;
    for (const auto& h : merger.current()) {
      if (h.ord < mapping[h.input].size()) mapping[h.input][h.ord] = next;
    }
    ++next;
  }
  if (auto r = sst.finish(); !r) return std::unexpected(r.error());
  const uint32_t dict_len = static_cast<uint32_t>(out.size() - dict_start);
  MergedColumnIndex index(indexes, order);
  auto index_len = ColumnIndex::serialize(index.to_write(), out);
  if (!index_len) return std::unexpected(index_len.error());
  MergedColumnValues merged(indexes, values, order, &mapping);
  if (auto r = serialize_u64_based_column_values(merged, kColumnValueCodecs, out); !r) return r;
  append_le<uint32_t>(out, *index_len);
  append_le<uint32_t>(out, dict_len);
  return {};
}

}  // namespace fendral::columnar
