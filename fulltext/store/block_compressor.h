// The part of the document-store writer that turns raw blocks into the
// ".store" file: compresses each block, writes it, records its checkpoint,
// and at finish writes the skip index and the footers. It runs either in the
// writer's thread or on a dedicated "docstore-compressor-thread" fed through
// a bounded channel of 3 messages; both forms write the same bytes.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <variant>
#include <vector>

#include "fulltext/common/io.h"
#include "fulltext/error/error.h"
#include "fulltext/index/index_meta.h"
#include "fulltext/store/skip_index.h"

namespace fendral::store {

class StoreReader;

// Compression state; owned by exactly one thread at a time.
class BlockCompressorImpl {
 public:
  BlockCompressorImpl(index::Compressor compressor, std::unique_ptr<TerminatingWrite> out)
      : compressor_(compressor), out_(std::move(out)), counting_(out_.get()) {}

  // Contract: num_docs > 0 ("assertion failed: num_docs_in_block > 0").
  IoResult<void> compress_and_write(std::span<const uint8_t> raw, uint32_t num_docs);
  // Copies another store's blocks verbatim and shifts its checkpoints.
  Result<void> append_store(const StoreReader& other);
  // Skip index, footers, flush and terminate.
  IoResult<void> finish();

 private:
  index::Compressor compressor_;
  std::unique_ptr<TerminatingWrite> out_;
  CountingWriter counting_;
  uint32_t first_doc_in_block_ = 0;
  SkipIndexBuilder skip_index_;
  std::vector<uint8_t> scratch_;
};

// Either form, behind one interface.
class BlockCompressor {
 public:
  // The dedicated form starts its thread here; failing to start it is an
  // I/O error.
  static Result<BlockCompressor> create(index::Compressor compressor, std::unique_ptr<TerminatingWrite> out,
                                        bool dedicated_thread);
  BlockCompressor(BlockCompressor&&) noexcept;
  BlockCompressor& operator=(BlockCompressor&&) = delete;
  // Dropped without finish: the dedicated thread is told to stop, its
  // channel closed and the thread joined; the file stays unterminated.
  ~BlockCompressor();

  IoResult<void> compress_and_write(std::span<const uint8_t> raw, uint32_t num_docs);
  Result<void> append_store(std::shared_ptr<const StoreReader> other);
  // Finishes the file; in the dedicated form closes the channel and joins
  // the thread, returning its result.
  Result<void> finish();

 private:
  struct Channel;
  BlockCompressor() = default;
  Result<void> send(std::variant<std::pair<std::vector<uint8_t>, uint32_t>, std::shared_ptr<const StoreReader>> msg);
  Result<void> join_thread();
  static void run_thread(std::shared_ptr<Channel> ch, std::unique_ptr<BlockCompressorImpl> impl);

  std::unique_ptr<BlockCompressorImpl> in_thread_;
  std::shared_ptr<Channel> channel_;
  std::thread thread_;
};

}  // namespace fendral::store
