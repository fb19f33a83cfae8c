// Snapshots of page locations, and their file format.
//
// A snapshot records, for every page id, where the page's base fragment and
// later fragments lie in the log (or that the page is free), together with the
// lsn up to which the log has been replayed. File "snap.<16 upper-case hex
// digits of stable_lsn>" in the database directory (written under
// ".generating", fsynced, renamed, directory fsynced):
//
//   stable_lsn      8 bytes i64 LE: 0 absent; v >= 0 -> v + 1; v < 0 -> v
//   active_segment  varint: 0 absent, else offset + 1
//   page states     until the body ends:
//                     Present: count = frags + 1 (1..255), base, frags...
//                     Free:    0, lsn (8), DiskPtr
//                   fragment = lsn (8) | DiskPtr | size (varint)
//                   DiskPtr  = tag (0 Inline, 1 Blob) | lid (varint) | [blob id (8)]
//   body length     8 bytes u64 LE
//   crc32           4 bytes LE of the body, not inverted
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "kv/error.h"
#include "kv/pagecache/log_config.h"
#include "kv/pagecache/message.h"

namespace kelm::pagecache {

class LogIter;

struct Fragment {
  Lsn lsn = 0;
  DiskPtr pointer;
  uint64_t size = 0;  // bytes the message occupies in the log
  friend bool operator==(const Fragment&, const Fragment&) = default;
  std::string debug() const;
};

struct PageState {
  struct Present {
    Fragment base;
    std::vector<Fragment> frags;  // oldest first, lsns strictly increasing, at most 254
    friend bool operator==(const Present&, const Present&) = default;
  };
  struct Free {
    Lsn lsn = 0;
    DiskPtr pointer;
    friend bool operator==(const Free&, const Free&) = default;
  };
  struct Uninitialized {
    friend bool operator==(const Uninitialized&, const Uninitialized&) = default;
  };
  std::variant<Uninitialized, Present, Free> v;

  bool is_present() const { return std::holds_alternative<Present>(v); }
  bool is_free() const { return std::holds_alternative<Free>(v); }
  bool is_uninitialized() const { return std::holds_alternative<Uninitialized>(v); }
  friend bool operator==(const PageState&, const PageState&) = default;
  std::string debug() const;
};

inline constexpr size_t kMaxSnapshotFrags = 254;

struct Snapshot {
  std::optional<Lsn> stable_lsn;
  std::optional<LogOffset> active_segment;
  std::vector<PageState> pt;

  friend bool operator==(const Snapshot&, const Snapshot&) = default;
  std::string debug() const;

  // Applies one replayed log item. Corruption for kinds that never carry a
  // page change and for a dangling link that would undo a real entry.
  Result<void> apply(LogKind kind, PageId pid, Lsn lsn, DiskPtr pointer, uint64_t size);
};

// Encoding of the body (without length and checksum). ReportableBug for an
// Uninitialized state or more than 254 frags.
Result<std::vector<uint8_t>> serialize_snapshot_body(const Snapshot& snapshot);
// Corruption without location for a truncated field or a bad DiskPtr tag.
Result<Snapshot> deserialize_snapshot_body(std::span<const uint8_t> body);

// "snap." + 16 upper-case hex digits of stable_lsn (0 when absent).
std::string snapshot_file_name(std::optional<Lsn> stable_lsn);

// Entries of `dir` whose names start with "snap." and do not end with
// ".in___motion"; unsorted.
Result<std::vector<std::filesystem::path>> list_snapshot_files(const std::filesystem::path& dir);

// The newest snapshot file, or nothing when there is none or the newest one
// is too short or fails its checksum (older files are not tried).
Result<std::optional<Snapshot>> read_snapshot(const LogConfig& config);

// Writes a snapshot durably and removes every other snapshot file.
Result<void> write_snapshot(const LogConfig& config, const Snapshot& snapshot);

// Replays the iterator's items onto the snapshot, fixes stable_lsn and
// active_segment, zeroes the rest of the segment the replay stopped in, and
// writes a new snapshot file when stable_lsn advanced.
Result<Snapshot> advance_snapshot(LogIter& iter, Snapshot snapshot, const LogConfig& config);

// Where the log continues: (offset, lsn). Both present: inside the active
// segment; only the lsn: at a fresh segment; neither: a fresh log.
struct RecoveredTip {
  std::optional<LogOffset> lid;
  std::optional<Lsn> lsn;
};
RecoveredTip recovered_tip(const Snapshot& snapshot, uint64_t segment_size);

}  // namespace kelm::pagecache
