#include "fulltext/store/skip_index.h"

#include "fulltext/common/vint.h"

namespace fendral::store {

namespace {
FendralError corrupt(std::string what) { return FendralError::data_corruption(std::nullopt, "doc store skip index: " + what); }
}  // namespace

Checkpoint SkipIndexBuilder::Layer::close_block() {
  uint64_t start = buffer.size();
  vint::append(buffer, pending.size());
  vint::append(buffer, pending.front().doc_start);
  vint::append(buffer, pending.front().byte_start);
  for (const auto& c : pending) {
    vint::append(buffer, c.doc_end - c.doc_start);
    vint::append(buffer, c.byte_end - c.byte_start);
  }
  Checkpoint summary{start, buffer.size(), pending.front().doc_start, pending.back().doc_end};
  pending.clear();
  return summary;
}

void SkipIndexBuilder::insert(Checkpoint checkpoint) {
  for (size_t level = 0;; ++level) {
    if (level == layers_.size()) layers_.emplace_back();
    Layer& layer = layers_[level];
    if (!layer.pending.empty() && !checkpoint.follows(layer.pending.back())) {
      contract_violation("assertion failed: checkpoint.follows(prev_checkpoint)");
    }
    layer.pending.push_back(checkpoint);
    if (layer.pending.size() < 8) return;
    checkpoint = layer.close_block();
  }
}

void SkipIndexBuilder::write(std::vector<uint8_t>& out) {
  std::optional<Checkpoint> carried;
  for (auto& layer : layers_) {
    if (carried) {
      if (!layer.pending.empty() && !carried->follows(layer.pending.back())) {
        contract_violation("assertion failed: checkpoint.follows(prev_checkpoint)");
      }
      layer.pending.push_back(*carried);
    }
    carried.reset();
    if (!layer.pending.empty()) carried = layer.close_block();
  }
  vint::append(out, layers_.size());
  uint64_t end = 0;
  for (auto it = layers_.rbegin(); it != layers_.rend(); ++it) {
    end += it->buffer.size();
    vint::append(out, end);
  }
  for (auto it = layers_.rbegin(); it != layers_.rend(); ++it) out.insert(out.end(), it->buffer.begin(), it->buffer.end());
}

Result<std::optional<Checkpoint>> LayerCursor::next_checkpoint() {
  if (next_ < block_.size()) return std::optional<Checkpoint>(block_[next_++]);
  if (rest_.empty()) return std::optional<Checkpoint>();
  auto count = vint::read_u32(rest_);
  if (!count) return fail(count.error());
  if (*count == 0 || *count > 8) return fail(corrupt("checkpoint block count out of range"));
  auto first_doc = vint::read_u32(rest_);
  if (!first_doc) return fail(corrupt("checkpoint block: " + first_doc.error().display()));
  auto first_byte = vint::read_u64(rest_);
  if (!first_byte) {
    rest_ = {};
    return std::optional<Checkpoint>();
  }
  block_.clear();
  next_ = 0;
  uint64_t doc = *first_doc, byte = *first_byte;
  for (uint32_t i = 0; i < *count; ++i) {
    auto docs = vint::read_u32(rest_);
    if (!docs) return fail(corrupt("checkpoint block: " + docs.error().display()));
    auto bytes = vint::read_u32(rest_);
    if (!bytes) return fail(corrupt("checkpoint block: " + bytes.error().display()));
    Checkpoint c{byte, byte + *bytes, static_cast<uint32_t>(doc), static_cast<uint32_t>(doc + *docs)};
    if (doc + *docs > UINT32_MAX) return fail(corrupt("checkpoint doc range overflows"));
    block_.push_back(c);
    doc += *docs;
    byte += *bytes;
  }
  return std::optional<Checkpoint>(block_[next_++]);
}

Result<SkipIndex> SkipIndex::open(OwnedBytes area) {
  std::span<const uint8_t> in = area.as_bytes();
  auto num_layers = vint::read_u64(in);
  if (!num_layers) return fail(num_layers.error());
  if (*num_layers > in.size()) return fail(corrupt("more layers than bytes"));
  std::vector<uint64_t> ends;
  for (uint64_t i = 0; i < *num_layers; ++i) {
    auto e = vint::read_u64(in);
    if (!e) return fail(e.error());
    ends.push_back(*e);
  }
  SkipIndex idx;
  uint64_t start = 0;
  for (uint64_t e : ends) {
    if (e < start || e > in.size()) return fail(corrupt("layer end offset out of range"));
    idx.layers_.push_back(in.subspan(start, e - start));
    start = e;
  }
  idx.area_ = std::move(area);
  return idx;
}

Result<std::optional<Checkpoint>> SkipIndex::find_checkpoint(uint32_t doc) const {
  if (layers_.empty()) return std::optional<Checkpoint>();
  uint64_t start = 0;
  std::optional<Checkpoint> found;
  for (const auto& layer : layers_) {
    if (start > layer.size()) return fail(corrupt("checkpoint points past its layer"));
    LayerCursor cursor(layer.subspan(start));
    found.reset();
    while (true) {
      auto c = cursor.next_checkpoint();
      if (!c) return fail(c.error());
      if (!*c) return std::optional<Checkpoint>();
      if ((*c)->doc_end > doc) {
        found = *c;
        break;
      }
    }
    start = found->byte_start;
  }
  return found;
}

LayerCursor SkipIndex::block_checkpoints() const {
  return LayerCursor(layers_.empty() ? std::span<const uint8_t>() : layers_.back());
}

}  // namespace fendral::store
