// Reads the stored documents of one segment from its ".store" file (format
// in store_writer.h): finds a document's block through the skip index,
// decompresses the block, keeps recently used blocks in a small LRU cache and
// slices the document's bytes out of the block. Shared by every thread that
// searches the segment; the cache lock is held for one lookup or insert.
//
// Every offset, length and range read from the file is checked before use:
// damaged files give DataCorruption or an I/O error, never a read outside
// the file or an allocation the file's size cannot justify.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>

#include "fulltext/common/bitset.h"
#include "fulltext/common/file_slice.h"
#include "fulltext/error/error.h"
#include "fulltext/store/skip_index.h"

namespace fendral::store {

class StoreReader {
 public:
  // `file` is the ".store" body without the general footer. Capacity 0: no
  // cache (the searcher uses 100 blocks, the merger 1).
  static Result<StoreReader> open(const FileSlice& file, size_t block_cache_capacity);
  StoreReader(StoreReader&& o) noexcept;
  StoreReader& operator=(StoreReader&&) = delete;

  // The stored bytes of document `doc` (a slice of the cached block);
  // InvalidArgument "Failed to lookup Doc #{}." when no block holds it.
  Result<OwnedBytes> document_bytes(uint32_t doc) const;
  // The decompressed block of a checkpoint.
  Result<OwnedBytes> read_block(const Checkpoint& checkpoint) const;
  // Byte range [start, end) of the p-th document inside a decompressed block.
  static Result<std::pair<size_t, size_t>> doc_bytes(const OwnedBytes& block, uint32_t p);

  // Iterates the bytes of every alive document in id order.
  class RawDocuments {
   public:
    // None at the end; an error for a document whose block cannot be read.
    std::optional<Result<OwnedBytes>> next();

   private:
    friend class StoreReader;
    RawDocuments(const StoreReader* r, const ReadOnlyBitSet* alive, LayerCursor c)
        : reader_(r), alive_(alive), cursor_(std::move(c)) {}
    const StoreReader* reader_;
    const ReadOnlyBitSet* alive_;
    LayerCursor cursor_;
    std::optional<Checkpoint> current_;
    std::optional<Result<OwnedBytes>> block_;
    uint32_t doc_ = 0;
    bool started_ = false;
  };
  // `alive` may be null (every document alive); it must outlive the iterator.
  RawDocuments raw_documents(const ReadOnlyBitSet* alive) const;

  uint8_t compressor_id() const { return compressor_id_; }
  uint32_t doc_store_version() const { return version_; }
  const SkipIndex& skip_index() const { return skip_index_; }
  // The blocks area [0, D), for copying a whole store.
  IoResult<OwnedBytes> blocks_area() const { return data_.read_all(); }
  uint64_t cache_hits() const { return hits_.load(std::memory_order_relaxed); }
  uint64_t cache_misses() const { return misses_.load(std::memory_order_relaxed); }
  uint64_t data_bytes() const { return data_.len(); }
  uint64_t skip_index_bytes() const { return skip_index_len_; }

 private:
  StoreReader(FileSlice data, SkipIndex skip, uint64_t skip_len, uint8_t compressor, uint32_t version,
              size_t capacity)
      : data_(std::move(data)), skip_index_(std::move(skip)), skip_index_len_(skip_len),
        compressor_id_(compressor), version_(version), capacity_(capacity) {}
  Result<OwnedBytes> decompress(const OwnedBytes& stored) const;

  FileSlice data_;
  SkipIndex skip_index_;
  uint64_t skip_index_len_;
  uint8_t compressor_id_;
  uint32_t version_;
  size_t capacity_;
  mutable std::mutex cache_mu_;
  mutable std::list<std::pair<uint64_t, OwnedBytes>> lru_;  // most recent first
  mutable std::unordered_map<uint64_t, std::list<std::pair<uint64_t, OwnedBytes>>::iterator> index_;
  mutable std::atomic<uint64_t> hits_{0}, misses_{0};
};

}  // namespace fendral::store
