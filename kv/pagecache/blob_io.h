// Blob files: one large message body each, in "<dir>/blobs/<blob id>".
//
//   [0..4)  crc32(kind ++ data), little-endian, NOT inverted
//   [4]     kind of the log message that points here (7, 9 or 11)
//   [5..)   data: the body the message would have carried inline
//
// A blob is written completely and closed before the message that points to
// it is completed, so a reader that found the message finds the whole blob.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <utility>
#include <vector>

#include "kv/error.h"
#include "kv/pagecache/message.h"

namespace kelm::pagecache::blob_io {

std::filesystem::path blob_path(const std::filesystem::path& db_dir, Lsn id);

// Creates the file exclusively (fails if it exists), writes it and closes it.
// With `durable`, the file and its directory entry are synced first: the
// message that points here may become durable right after, and must not
// outlive its body across a power loss.
Result<void> write_blob(const std::filesystem::path& db_dir, Lsn id, MessageKind kind, std::span<const uint8_t> data,
                        bool durable = false);

struct LoadedBlob {
  MessageKind kind;
  std::vector<uint8_t> data;
};
// Io on open/read failure (NotFound when missing); Corruption located at
// Blob(0, id) on a checksum mismatch.
Result<LoadedBlob> load_blob(const std::filesystem::path& db_dir, Lsn id);

// Deletes the blob file; failures are logged and ignored (recovery's blob
// collection removes what is left behind).
void remove_blob(const std::filesystem::path& db_dir, Lsn id);

// Removes every blob whose id is >= stable_lsn: those belong to log messages
// that did not survive. Names that are not numbers stay, with a warning.
Result<void> gc_blobs(const std::filesystem::path& db_dir, Lsn stable_lsn);

}  // namespace kelm::pagecache::blob_io
