// Writes document stores into memory for the store tests.
#pragma once

#include <string>
#include <vector>

#include "fulltext/common/io.h"
#include "fulltext/store/store_reader.h"
#include "fulltext/store/store_writer.h"

namespace fendral::testing {

inline index::IndexSettings store_settings(index::Compressor c, bool thread, uint64_t block_size) {
  index::IndexSettings s;
  s.docstore_compression = c;
  s.docstore_compress_dedicated_thread = thread;
  s.docstore_blocksize = block_size;
  return s;
}

inline std::string doc_text(uint32_t i) { return "document " + std::to_string(i) + std::string(i % 13, 'x'); }

// n documents doc_text(0..n-1).
inline std::vector<uint8_t> write_store(uint32_t n, const index::IndexSettings& settings) {
  std::vector<uint8_t> out;
  auto w = store::StoreWriter::create(std::make_unique<VecWriter>(&out), settings);
  if (!w) throw std::runtime_error(w.error().display());
  for (uint32_t i = 0; i < n; ++i) {
    auto t = doc_text(i);
    if (!(*w)->store_bytes(std::span((const uint8_t*)t.data(), t.size()))) throw std::runtime_error("store");
  }
  if (!(*w)->finish()) throw std::runtime_error("finish");
  return out;
}

inline Result<store::StoreReader> open_store(const std::vector<uint8_t>& bytes, size_t cache = 0) {
  return store::StoreReader::open(FileSlice(OwnedBytes::copy_of(bytes)), cache);
}

}  // namespace fendral::testing
