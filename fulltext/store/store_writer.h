// Writes a segment's ".store" file: the stored documents in compressed
// blocks of whole documents, a skip index from doc ids to blocks, a 28-byte
// doc-store footer (doc_store_footer.h) and, on termination, the general
// file footer.
//
// Raw block holding n >= 1 documents: the documents' bytes back to back,
// n u32 start offsets (relative to the block), u32 n. Stored block: the raw
// block as is (compressor None), or u32 raw length + LZ4 block format (Lz4).
// A block is closed once its bytes plus 8 per document exceed the block size
// (checked after each document, so a large document is never split).
//
// Usage:
//   auto w = StoreWriter::create(std::move(file), settings);
//   w->store_bytes(doc_bytes);    // or store_document / append_store
//   w->finish();                  // consumes the writer's file
// Both compression forms (in the calling thread, or on a dedicated
// "docstore-compressor-thread") write byte-identical files. A writer dropped
// without finish leaves the file unterminated and joins its thread.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "fulltext/common/io.h"
#include "fulltext/error/error.h"
#include "fulltext/index/index_meta.h"
#include "fulltext/schema/document/compact_doc.h"
#include "fulltext/store/block_compressor.h"

namespace fendral::store {

class StoreReader;

class StoreWriter {
 public:
  static Result<std::unique_ptr<StoreWriter>> create(std::unique_ptr<TerminatingWrite> file,
                                                     const index::IndexSettings& settings);

  // Serialises the document's stored values and appends them.
  Result<void> store_document(const schema::CompactDoc& doc, const schema::Schema& schema);
  // The same bytes from the document's values already decoded.
  Result<void> store_document(const std::vector<std::pair<schema::Field, schema::OwnedValue>>& values,
                              const schema::Schema& schema);
  // Appends an already serialised document.
  Result<void> store_bytes(std::span<const uint8_t> doc);
  // Appends every document of another store by copying its blocks. Contract
  // of the caller: same compressor, no deleted documents.
  Result<void> append_store(std::shared_ptr<const StoreReader> other);
  // Closes the current block (nothing when empty).
  Result<void> flush_block();
  // Flushes, then writes the skip index and the footers and terminates the
  // file. Called once.
  Result<void> finish();

 private:
  StoreWriter(uint64_t block_size, BlockCompressor bc) : block_size_(block_size), compressor_(std::move(bc)) {}
  Result<void> after_document();

  uint64_t block_size_;
  uint32_t docs_in_block_ = 0;
  std::vector<uint32_t> offsets_;
  std::vector<uint8_t> block_;
  BlockCompressor compressor_;
  bool finished_ = false;
};

}  // namespace fendral::store
