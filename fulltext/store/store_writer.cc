#include "fulltext/store/store_writer.h"

namespace fendral::store {

Result<std::unique_ptr<StoreWriter>> StoreWriter::create(std::unique_ptr<TerminatingWrite> file,
                                                         const index::IndexSettings& settings) {
  auto bc = BlockCompressor::create(settings.docstore_compression, std::move(file),
                                    settings.docstore_compress_dedicated_thread);
  if (!bc) return fail(bc.error());
  return std::unique_ptr<StoreWriter>(new StoreWriter(settings.docstore_blocksize, std::move(*bc)));
}

Result<void> StoreWriter::after_document() {
  ++docs_in_block_;
  if (block_.size() + 8 * offsets_.size() > block_size_) return flush_block();
  return {};
}

Result<void> StoreWriter::store_document(const schema::CompactDoc& doc, const schema::Schema& schema) {
  offsets_.push_back(static_cast<uint32_t>(block_.size()));
  auto r = schema::serialize_doc(doc, schema, block_);
  if (!r) return fail(r.error());
  return after_document();
}

Result<void> StoreWriter::store_document(const std::vector<std::pair<schema::Field, schema::OwnedValue>>& values,
                                        const schema::Schema& schema) {
  offsets_.push_back(static_cast<uint32_t>(block_.size()));
  auto r = schema::serialize_doc(values, schema, block_);
  if (!r) return fail(r.error());
  return after_document();
}

Result<void> StoreWriter::store_bytes(std::span<const uint8_t> doc) {
  offsets_.push_back(static_cast<uint32_t>(block_.size()));
  block_.insert(block_.end(), doc.begin(), doc.end());
  return after_document();
}

Result<void> StoreWriter::flush_block() {
  if (block_.empty() && docs_in_block_ == 0) return {};
  for (uint32_t off : offsets_) {
    for (int i = 0; i < 4; ++i) block_.push_back(static_cast<uint8_t>(off >> (8 * i)));
  }
  for (int i = 0; i < 4; ++i) block_.push_back(static_cast<uint8_t>(docs_in_block_ >> (8 * i)));
  auto r = compressor_.compress_and_write(block_, docs_in_block_);
  offsets_.clear();
  block_.clear();
  docs_in_block_ = 0;
  if (!r) return fail(r.error());
  return {};
}

Result<void> StoreWriter::append_store(std::shared_ptr<const StoreReader> other) {
  auto r = flush_block();
  if (!r) return r;
  return compressor_.append_store(std::move(other));
}

Result<void> StoreWriter::finish() {
  if (finished_) return fail(IoError(IoErrorKind::Other, "Thread already joined."));
  finished_ = true;
  auto r = flush_block();
  // On failure the compressor is dropped with the writer: its thread, if
  // any, is told to stop and joined, never left running.
  if (!r) return r;
  return compressor_.finish();
}

}  // namespace fendral::store
