// Reading the frames of a write-ahead-log file from offset 0.
//
// A crash during an append can leave a torn tail: a partial length word, a
// length that runs past the end of the file, a short payload or a payload
// that does not decode. The scan stops at the first such frame; everything
// from there on lies beyond the valid end.
//
// A torn tail can only be the end of the log. When whole, decodable frames
// follow a bad frame, the bad frame is damage in the middle of the log, and
// cutting there would silently drop records behind it (committed
// transactions). The scan then fails with Corruption instead.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <variant>

#include "common/io_error.h"

namespace zudizid::wal {

// Decodes one payload. With `keep` set it also keeps the record; without it
// only checks that the payload decodes. Returns the decoder's error text on
// failure.
using FrameDecoder = std::function<std::expected<void, std::string>(std::string_view payload, bool keep)>;

struct FrameScanResult {
  std::uint64_t valid_end = 0;
  std::uint64_t file_size = 0;
  std::uint64_t frames = 0;
};

// A bad frame with whole records behind it.
struct FrameCorruption {
  std::uint64_t offset;       // start of the bad frame
  std::string reason;         // why the frame at `offset` is bad
  std::uint64_t next_record;  // start of the first whole, decodable frame after it
  std::string message() const;
};

using FrameScanError = std::variant<common::IoError, FrameCorruption>;

// Reads the whole file through `fd` (positioned reads; the file offset is not
// used). Logs the torn-tail warnings under "zudizid::wal".
std::expected<FrameScanResult, FrameScanError> scan_frames(int fd, const FrameDecoder& decode);

}  // namespace zudizid::wal
