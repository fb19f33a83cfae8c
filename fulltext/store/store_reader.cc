#include "fulltext/store/store_reader.h"

#include <lz4.h>

#include <cstring>
#include <string>

#include "fulltext/common/vint.h"
#include "fulltext/store/doc_store_footer.h"

namespace fendral::store {

namespace {

FendralError corrupt(std::string what) { return FendralError::data_corruption(std::nullopt, "doc store: " + what); }

uint32_t read_u32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// LZ4 cannot expand input by more than 255:1 (plus a few bytes of header).
constexpr uint64_t kMaxLz4Ratio = 255;

}  // namespace

StoreReader::StoreReader(StoreReader&& o) noexcept
    : data_(std::move(o.data_)), skip_index_(std::move(o.skip_index_)), skip_index_len_(o.skip_index_len_),
      compressor_id_(o.compressor_id_), version_(o.version_), capacity_(o.capacity_), lru_(std::move(o.lru_)),
      index_(std::move(o.index_)), hits_(o.hits_.load()), misses_(o.misses_.load()) {}

Result<StoreReader> StoreReader::open(const FileSlice& file, size_t capacity) {
  if (file.len() < DocStoreFooter::SIZE_IN_BYTES) {
    return fail(IoError(IoErrorKind::UnexpectedEof, "File corrupted. The file is smaller than Footer::SIZE_IN_BYTES (len=" +
                                                        std::to_string(file.len()) + ")."));
  }
  size_t body = file.len() - DocStoreFooter::SIZE_IN_BYTES;
  auto footer = file.read_range(body, file.len());
  if (!footer) return fail(footer.error());
  uint32_t version = read_u32(footer->data());
  if (version != 1 && version != 2) {
    return fail(IoError(IoErrorKind::InvalidData, "Invalid doc store version " + std::to_string(version)));
  }
  uint64_t data_end;
  std::memcpy(&data_end, footer->data() + 4, 8);
  uint8_t compressor = footer->data()[12];
  if (compressor > 1) return fail(IoError(IoErrorKind::InvalidData, "unknown compressor id " + std::to_string(compressor)));
  if (data_end > body) return fail(corrupt("blocks area past the end of the file"));
  auto skip_bytes = file.read_range(data_end, body);
  if (!skip_bytes) return fail(skip_bytes.error());
  auto skip = SkipIndex::open(*skip_bytes);
  if (!skip) return fail(skip.error());
  return StoreReader(file.sub_slice(0, data_end), std::move(*skip), body - data_end, compressor, version, capacity);
}

Result<OwnedBytes> StoreReader::decompress(const OwnedBytes& stored) const {
  if (compressor_id_ == 0) return OwnedBytes::copy_of(stored.as_bytes());
  if (stored.len() < 4) return fail(corrupt("LZ4 block shorter than its length prefix"));
  uint64_t raw_len = read_u32(stored.data());
  uint64_t compressed = stored.len() - 4;
  // Refuse a length the compressed bytes cannot produce before allocating.
  if (raw_len > compressed * kMaxLz4Ratio + 16 || raw_len > static_cast<uint64_t>(LZ4_MAX_INPUT_SIZE) ||
      compressed > static_cast<uint64_t>(LZ4_MAX_INPUT_SIZE)) {
    return fail(corrupt("LZ4 block claims " + std::to_string(raw_len) + " bytes from " + std::to_string(compressed)));
  }
  std::vector<uint8_t> out(raw_len);
  int n = LZ4_decompress_safe(reinterpret_cast<const char*>(stored.data() + 4), reinterpret_cast<char*>(out.data()),
                              static_cast<int>(compressed), static_cast<int>(raw_len));
  if (n < 0) return fail(IoError(IoErrorKind::InvalidData, "LZ4 block is malformed"));
  if (static_cast<uint64_t>(n) != raw_len) {
    return fail(IoError(IoErrorKind::InvalidData, "doc store block not completely decompressed, data corruption"));
  }
  return OwnedBytes::from_vector(std::move(out));
}

Result<OwnedBytes> StoreReader::read_block(const Checkpoint& c) const {
  if (capacity_ > 0) {
    std::lock_guard<std::mutex> lock(cache_mu_);
    auto it = index_.find(c.byte_start);
    if (it != index_.end()) {
      lru_.splice(lru_.begin(), lru_, it->second);
      hits_.fetch_add(1, std::memory_order_relaxed);
      return it->second->second;
    }
  }
  misses_.fetch_add(1, std::memory_order_relaxed);
  if (c.byte_start > c.byte_end || c.byte_end > data_.len()) return fail(corrupt("checkpoint outside the blocks area"));
  auto stored = data_.read_range(c.byte_start, c.byte_end);
  if (!stored) return fail(stored.error());
  auto block = decompress(*stored);
  if (!block) return block;
  if (capacity_ > 0) {
    std::lock_guard<std::mutex> lock(cache_mu_);
    auto it = index_.find(c.byte_start);
    if (it != index_.end()) {
      lru_.erase(it->second);
      index_.erase(it);
    }
    lru_.emplace_front(c.byte_start, *block);
    index_[c.byte_start] = lru_.begin();
    if (lru_.size() > capacity_) {
      index_.erase(lru_.back().first);
      lru_.pop_back();
    }
  }
  return block;
}

Result<std::pair<size_t, size_t>> StoreReader::doc_bytes(const OwnedBytes& block, uint32_t p) {
  if (block.len() < 4) return fail(corrupt("block shorter than its document count"));
  uint64_t n = read_u32(block.data() + block.len() - 4);
  if (p > n) return fail(FendralError::internal_error("Attempted to read doc from wrong block"));
  if (4 * n > block.len() - 4) return fail(corrupt("block too short for its offset table"));
  size_t index_start = block.len() - 4 - 4 * n;
  if (p == n) return fail(IoError(IoErrorKind::UnexpectedEof, "failed to fill whole buffer"));
  size_t start = read_u32(block.data() + index_start + 4 * p);
  size_t end = p + 1 == n ? index_start : read_u32(block.data() + index_start + 4 * (p + 1));
  if (start > end || end > index_start) return fail(corrupt("document offset outside its block"));
  return std::make_pair(start, end);
}

Result<OwnedBytes> StoreReader::document_bytes(uint32_t doc) const {
  auto c = skip_index_.find_checkpoint(doc);
  if (!c) return fail(c.error());
  if (!*c || (*c)->doc_start > doc) {
    return fail(FendralError::invalid_argument("Failed to lookup Doc #" + std::to_string(doc) + "."));
  }
  auto block = read_block(**c);
  if (!block) return fail(block.error());
  auto range = doc_bytes(*block, doc - (*c)->doc_start);
  if (!range) return fail(range.error());
  return block->sub_range(range->first, range->second);
}

StoreReader::RawDocuments StoreReader::raw_documents(const ReadOnlyBitSet* alive) const {
  return RawDocuments(this, alive, skip_index_.block_checkpoints());
}

std::optional<Result<OwnedBytes>> StoreReader::RawDocuments::next() {
  while (true) {
    if (!started_ || (current_ && doc_ >= current_->doc_end)) {
      started_ = true;
      auto c = cursor_.next_checkpoint();
      if (!c) {
        current_.reset();
        return Result<OwnedBytes>(std::unexpected(c.error()));
      }
      current_ = *c;
      if (!current_) return std::nullopt;
      if (current_->doc_start != doc_ || current_->doc_end <= doc_) {
        current_.reset();
        return Result<OwnedBytes>(std::unexpected(corrupt("checkpoints do not follow each other")));
      }
      auto b = reader_->read_block(*current_);
      if (b) {
        block_ = std::move(b);
      } else {
        auto kind = b.error().kind() == FendralError::Kind::IoError
                        ? std::get<IoError>(b.error().payload()).kind()
                        : IoErrorKind::InvalidData;
        block_ = Result<OwnedBytes>(std::unexpected(FendralError(IoError(kind, "error when reading block in doc store"))));
      }
    }
    if (!current_) return std::nullopt;
    uint32_t d = doc_++;
    if (alive_ && !alive_->contains(d)) continue;
    if (!*block_) return Result<OwnedBytes>(std::unexpected(block_->error()));
    auto range = doc_bytes(**block_, d - current_->doc_start);
    if (!range) return Result<OwnedBytes>(std::unexpected(range.error()));
    return Result<OwnedBytes>((*block_)->sub_range(range->first, range->second));
  }
}

}  // namespace fendral::store
