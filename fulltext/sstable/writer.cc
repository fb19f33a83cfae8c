#include "fulltext/sstable/writer.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "fulltext/sstable/vint.h"

namespace fendral::sstable {

namespace {

std::string debug_bytes(std::span<const uint8_t> b) {
  std::string s = "[";
  for (size_t i = 0; i < b.size(); ++i) {
    if (i) s += ", ";
    s += std::to_string(b[i]);
  }
  return s + "]";
}

}  // namespace

Writer::Writer(Write* out, ValueKind kind, size_t block_len) : out_(out), kind_(kind), block_len_(block_len) {}

IoResult<void> Writer::emit(std::span<const uint8_t> bytes) {
  if (auto r = out_->write_all(bytes); !r) return r;
  written_ += bytes.size();
  return {};
}

IoResult<void> Writer::insert(std::span<const uint8_t> key, Range value) {
  if (has_last_ && !std::lexicographical_compare(last_key_.begin(), last_key_.end(), key.begin(), key.end())) {
    return io_fail(IoErrorKind::InvalidInput,
                   "Keys should be increasing. (" + debug_bytes(last_key_) + " > " + debug_bytes(key) + ")");
  }
  if (kind_ == ValueKind::Ranges && !boundaries_.empty() && boundaries_.back() != value.start) {
    return io_fail(IoErrorKind::InvalidInput, "ranges must follow each other");
  }
  if (num_keys_ == block_first_ord_ && any_block_) index_.trim_last_block_key(key);
  encode_key(block_prev_, key, keys_);
  block_prev_.assign(key.begin(), key.end());
  last_key_.assign(key.begin(), key.end());
  has_last_ = true;
  if (kind_ == ValueKind::Ranges) {
    if (boundaries_.empty()) boundaries_.push_back(value.start);
    boundaries_.push_back(value.end);
  }
  ++num_keys_;
  if (keys_.size() > block_len_) return flush_block();
  return {};
}

IoResult<void> Writer::flush_block() {
  if (keys_.empty()) return {};
  scratch_.clear();
  if (kind_ == ValueKind::Ranges) {
    vint::serialize_into_vec(boundaries_.size(), scratch_);
    uint64_t prev = 0;
    for (size_t i = 0; i < boundaries_.size(); ++i) {
      vint::serialize_into_vec(i == 0 ? boundaries_[i] : boundaries_[i] - prev, scratch_);
      prev = boundaries_[i];
    }
  }
  scratch_.insert(scratch_.end(), keys_.begin(), keys_.end());
  std::vector<uint8_t> framed;
  if (auto r = frame_block(scratch_, framed); !r) return r;
  uint64_t start = written_;
  if (auto r = emit(framed); !r) return r;
  index_.add_block(block_prev_, Range{start, written_}, block_first_ord_);
  any_block_ = true;
  block_first_ord_ = num_keys_;
  block_prev_.clear();
  keys_.clear();
  boundaries_.clear();
  return {};
}

IoResult<uint64_t> Writer::finish() {
  if (auto r = flush_block(); !r) return std::unexpected(r.error());
  std::vector<uint8_t> tail(4, 0);
  uint64_t index_offset = written_ + 4;
  if (auto r = index_.serialize(tail); !r) return std::unexpected(r.error());
  uint8_t footer[20];
  std::memcpy(footer, &index_offset, 8);
  std::memcpy(footer + 8, &num_keys_, 8);
  std::memcpy(footer + 16, &kSSTableVersion, 4);
  tail.insert(tail.end(), footer, footer + 20);
  if (auto r = emit(tail); !r) return std::unexpected(r.error());
  return written_;
}

}  // namespace fendral::sstable
