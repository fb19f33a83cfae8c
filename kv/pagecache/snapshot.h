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
#include <vector>

#include "kv/error.h"
#include "kv/pagecache/log_api.h"
#include "kv/pagecache/log_config.h"
#include "kv/pagecache/message.h"

namespace kelm::pagecache {

class LogIter;

// Fragment, PageState and Snapshot are the seam's types (log_api.h).
inline constexpr size_t kMaxSnapshotFrags = 254;

std::string fragment_debug(const Fragment& f);
std::string snapshot_debug(const Snapshot& s);
bool same_snapshot(const Snapshot& a, const Snapshot& b);
inline PageState present_page(Fragment base, std::vector<Fragment> frags = {}) {
  return PageState{PageState::Kind::Present, base, std::move(frags)};
}
inline PageState free_page(Lsn lsn, DiskPtr ptr) { return PageState{PageState::Kind::Free, Fragment{lsn, ptr, 0}, {}}; }

// Applies one replayed log item. Corruption for a kind that never carries a
// page change and for a dangling link that would undo a real entry.
Result<void> apply_to_snapshot(Snapshot& snapshot, LogKind kind, PageId pid, Lsn lsn, DiskPtr pointer, uint64_t size);

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
