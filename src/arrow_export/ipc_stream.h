// The Arrow IPC stream writer: one record batch in, the bytes of a complete
// stream out.
//
// Layout written (every integer little-endian):
//   FF FF FF FF | i32 M | Message(Schema) flatbuffer, zero-padded to 8 + M ≡ 0 (mod 8)
//   FF FF FF FF | i32 M | Message(RecordBatch) flatbuffer, padded | body
//   FF FF FF FF 00 00 00 00                       (end of stream)
// Messages carry metadata version V5 and no custom metadata; the body is
// uncompressed, every buffer starts at a multiple of 64 bytes from the body
// start and is zero-padded to the next one, and `bodyLength` counts that
// padding. There are no dictionaries.
//
// The writer reads only the batch it is given; it is pure and thread-safe.
#pragma once

#include <expected>
#include <string>
#include <vector>

#include "arrow_export/record_batch.h"

namespace zudizid::arrow_export {

// Which step of the stream failed: opening it (the schema message), writing
// the batch, or finishing it (the end marker). Callers put their own prefix
// on `text` by stage.
enum class IpcStage { Open, Write, Finish };

struct IpcError {
  IpcStage stage;
  std::string text;
};

// A stream laid out but not yet copied: the framing and message bytes are
// held, the column buffers borrowed from the batch, which must outlive it
// unchanged. `copy_to` writes the exact bytes write_ipc_stream returns into
// `size()` bytes at `out`, so a caller can fill its own buffer with one copy.
class IpcLayout {
 public:
  size_t size() const { return size_; }
  void copy_to(char* out) const;

 private:
  friend std::expected<IpcLayout, IpcError> lay_out_ipc_stream(const RecordBatch& batch);
  struct Piece {
    const char* data;
    size_t length;
    size_t padding;  // zero bytes after it
  };
  std::string head_;          // the schema and record batch messages
  std::vector<Piece> body_;
  size_t size_ = 0;
};

std::expected<IpcLayout, IpcError> lay_out_ipc_stream(const RecordBatch& batch);
std::expected<std::string, IpcError> write_ipc_stream(const RecordBatch& batch);

}  // namespace zudizid::arrow_export
