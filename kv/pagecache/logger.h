// Reading single log messages and segment headers back from `db`.
//
// A message is accepted only when its header parses, its length fits the
// segment, its kind is known, its checksum matches and it carries the segment
// number the caller expects (a message left by an earlier use of the segment
// reads as Corrupted). Blob messages are resolved against their blob file.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "kv/error.h"
#include "kv/file_io.h"
#include "kv/pagecache/log_config.h"
#include "kv/pagecache/message.h"

namespace kelm::pagecache {

struct LogRead {
  enum class Kind : uint8_t { Inline, Blob, Canceled, Cap, Corrupted, DanglingBlob, BatchManifest };
  Kind kind = Kind::Corrupted;
  MessageHeader header;       // Inline, Blob, DanglingBlob
  std::vector<uint8_t> data;  // Inline: the body; Blob: the blob's data
  Lsn blob_id = 0;            // Blob, DanglingBlob
  Lsn batch_lsn = 0;          // BatchManifest: the batch's required stable lsn
  uint32_t length = 0;        // bytes the message occupies in the log
  uint64_t segment_number = 0;  // Cap

  static LogRead corrupted() { return {}; }
  bool is(Kind k) const { return kind == k; }
  std::string debug() const;
};

// Reads the 20-byte header at lid. A checksum mismatch is not an error: the
// header comes back with ok = false.
Result<SegmentHeader> read_segment_header(File& file, LogOffset lid);

// Reads and checks the message at lid of `db`.
Result<LogRead> read_message(const LogConfig& config, LogOffset lid, uint64_t expected_segment_number);

// The same checks on a segment image held in memory; `image` starts at the
// segment's log offset `image_lid`. Reading beyond the image is an Io error
// of the UnexpectedEof kind, "failed to fill buffer".
Result<LogRead> read_message_from_image(const LogConfig& config, std::span<const uint8_t> image, LogOffset image_lid,
                                        LogOffset lid, uint64_t expected_segment_number);

}  // namespace kelm::pagecache
