#include "kv/pagecache/recovery.h"

#include <fmt/format.h>

#include "common/log.h"
#include "kv/pagecache/blob_io.h"
#include "kv/pagecache/iterator.h"

namespace kelm::pagecache {

namespace {
constexpr const char* kSnapTarget = "kelm::pagecache::snapshot";
constexpr const char* kIterTarget = "kelm::pagecache::iterator";
}  // namespace

Result<Lsn> clean_tail_tears(Lsn max_header_stable_lsn, const std::map<Lsn, LogOffset>& ordering,
                             const LogConfig& config) {
  const Lsn S = static_cast<Lsn>(config.segment_size);
  Lsn lowest = std::max<Lsn>(0, max_header_stable_lsn - max_header_stable_lsn % S);
  Lsn expected = lowest;
  std::optional<Lsn> missing;
  std::map<Lsn, LogOffset> tail;
  for (auto it = ordering.lower_bound(lowest); it != ordering.end(); ++it) {
    if (it->first != expected) {
      ZLOG(Debug, kIterTarget, "failed to find expected segment at lsn {}, tear detected", expected);
      missing = expected;
      break;
    }
    tail.emplace(*it);
    expected += S;
  }
  ZLOG(Debug, kIterTarget, "in clean_tail_tears, found missing item in tail: {} and we'll scan segments {} above lowest lsn {}",
       missing ? fmt::format("Some({})", *missing) : "None", ordering_debug(tail), lowest);
  LogIter iter(config, std::move(tail), missing, false);
  while (iter.next()) {
  }
  if (iter.io_error) return std::unexpected(*iter.io_error);
  Lsn end = iter.cur_lsn ? *iter.cur_lsn - 1 : -1;
  ZLOG(Debug, kIterTarget, "filtering out segments after detected tear at (lsn, lid) {}", end);
  return end;
}

Result<Snapshot> read_snapshot_or_default(const LogConfig& config) {
  auto read = read_snapshot(config);
  if (!read) return std::unexpected(read.error());
  Snapshot snapshot = read->value_or(Snapshot{});
  const Lsn S = static_cast<Lsn>(config.segment_size);
  const Lsn s = snapshot.stable_lsn.value_or(0);
  const Lsn normalized = s - s % S;

  auto scan = scan_segment_headers(normalized, config);
  if (!scan) return std::unexpected(scan.error());
  auto end = clean_tail_tears(scan->max_header_stable_lsn, scan->ordering, config);
  if (!end) return std::unexpected(end.error());

  std::map<Lsn, LogOffset> replay;
  for (auto it = scan->ordering.lower_bound(normalized); it != scan->ordering.end(); ++it) replay.emplace(*it);
  ZLOG(Trace, kSnapTarget, "generated iterator over segments {} with lsn >= {}", ordering_debug(replay), normalized);
  LogIter iter(config, std::move(replay), *end, true);
  auto advanced = advance_snapshot(iter, std::move(snapshot), config);
  if (!advanced) return std::unexpected(advanced.error());

  if (!iter.segments.empty()) {
    for (auto [lsn, lid] : iter.segments) {
      ZLOG(Debug, kSnapTarget, "zeroing torn segment at lsn {} lid {}", lsn, lid);
      if (auto r = write_zeros_at(*config.file, config.segment_size, lid); !r)
        return std::unexpected(Error::io(r.error()));
    }
    if (!config.temporary) {
      if (auto r = config.file->sync_all(); !r) return std::unexpected(Error::io(r.error()));
    }
  }
  if (advanced->stable_lsn) {
    if (auto r = blob_io::gc_blobs(config.path, *advanced->stable_lsn); !r) return std::unexpected(r.error());
  }
  return advanced;
}

}  // namespace kelm::pagecache
