// Sstable writer: keys in strictly increasing byte order, each with a value
// of the sstable's kind (none, or a byte range). Blocks are cut once their
// keys take more than `block_len` bytes (4000 for every sstable the engine
// writes), then the terminator u32 0, the version-3 block index and the
// footer u64 index_offset, u64 number of keys, u32 version 3.
//
//   Writer w(&out, ValueKind::KeysOnly);
//   w.insert(key1); w.insert(key2);
//   auto bytes_written = w.finish();
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "fulltext/common/io.h"
#include "fulltext/error/error.h"
#include "fulltext/sstable/block.h"
#include "fulltext/sstable/index.h"

namespace fendral::sstable {

constexpr size_t kDefaultBlockLen = 4000;
constexpr uint32_t kSSTableVersion = 3;

class Writer {
 public:
  // `out` is not owned and must outlive the writer.
  Writer(Write* out, ValueKind kind, size_t block_len = kDefaultBlockLen);

  // A key not above the previous one is the invalid-input error
  // "Keys should be increasing. ({prev} > {key})". With range values each
  // range starts where the previous one ended (the first anywhere).
  IoResult<void> insert(std::span<const uint8_t> key, Range value = {});
  IoResult<void> insert(std::string_view key, Range value = {}) {
    return insert(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(key.data()), key.size()), value);
  }
  // Writes the last block, the terminator, the index and the footer;
  // returns the total number of bytes written.
  IoResult<uint64_t> finish();

  uint64_t num_keys() const { return num_keys_; }

 private:
  IoResult<void> flush_block();
  IoResult<void> emit(std::span<const uint8_t> bytes);

  Write* out_;
  ValueKind kind_;
  size_t block_len_;
  uint64_t written_ = 0;
  uint64_t num_keys_ = 0;
  uint64_t block_first_ord_ = 0;
  bool any_block_ = false;
  bool has_last_ = false;
  std::vector<uint8_t> last_key_;   // the previous key, across blocks
  std::vector<uint8_t> block_prev_;  // the previous key of the current block
  std::vector<uint8_t> keys_;
  std::vector<uint64_t> boundaries_;
  std::vector<uint8_t> scratch_;
  SSTableIndexBuilder index_;
};

}  // namespace fendral::sstable
