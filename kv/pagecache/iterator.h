// Iterating over the log for recovery.
//
// scan_segment_headers reads every segment slot's header on the IO pool and
// maps the lsn of each valid segment to its offset. LogIter walks such a map
// in ascending lsn order, one segment image at a time, and yields one item per
// page-changing message. It stops at the first place the log cannot be relied
// on; afterwards cur_lsn, segment_base and segments tell where.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "kv/error.h"
#include "kv/pagecache/log_config.h"
#include "kv/pagecache/message.h"

namespace kelm::pagecache {

struct LogItem {
  LogKind kind;
  PageId pid;
  Lsn lsn;
  DiskPtr pointer;
  uint64_t size;
};

class LogIter {
 public:
  LogIter(LogConfig config, std::map<Lsn, LogOffset> segments, std::optional<Lsn> max_lsn,
          bool skip_segment_on_corruption)
      : max_lsn(max_lsn),
        segments(std::move(segments)),
        skip_segment_on_corruption(skip_segment_on_corruption),
        config_(std::move(config)) {}

  // The next item, or nothing once the iteration has ended.
  std::optional<LogItem> next();

  struct SegmentImage {
    std::vector<uint8_t> bytes;
    LogOffset lid;
  };

  std::optional<Lsn> max_lsn;
  std::optional<Lsn> cur_lsn;
  std::optional<SegmentImage> segment_base;
  std::map<Lsn, LogOffset> segments;
  bool skip_segment_on_corruption;
  // Set when the iteration ended on an operating-system read error (not a
  // torn or short tail): the log may be intact beyond it, so recovery must
  // fail instead of cutting the log here.
  std::optional<Error> io_error;

 private:
  Result<void> read_segment();
  void note_error(const Error& e);
  LogConfig config_;
};

struct HeaderScan {
  std::map<Lsn, LogOffset> ordering;
  Lsn max_header_stable_lsn;
};

// A map of segment lsn to offset as the logs print it: "{lsn: lid, ...}".
std::string ordering_debug(const std::map<Lsn, LogOffset>& ordering);

// Reads every whole header slot of `db` in parallel. A header that cannot be
// read because of an operating-system error fails the scan.
Result<HeaderScan> scan_segment_headers(Lsn min, const LogConfig& config);

}  // namespace kelm::pagecache
