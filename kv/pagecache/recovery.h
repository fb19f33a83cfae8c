// Recovery at open: find how far the log can be relied on, replay it onto
// the newest snapshot, make the torn part unreadable and remove blobs of the
// lost part.
//
// Segment headers carry the stable lsn of the log when each segment was
// started. From the segment holding the highest such lsn onward (the unstable
// tail) segments must follow each other without a gap and their messages
// must read back; the first gap or unreadable message ends the log. A batch
// whose manifest requires more than that is dropped whole.
#pragma once

#include <map>

#include "kv/error.h"
#include "kv/pagecache/log_config.h"
#include "kv/pagecache/snapshot.h"

namespace kelm::pagecache {

// The whole recovery; its result seeds the page table, the segment
// accountant and the log tip.
Result<Snapshot> read_snapshot_or_default(const LogConfig& config);

// The last lsn of the last readable message of the unstable tail, or -1 when
// nothing of it could be loaded.
Result<Lsn> clean_tail_tears(Lsn max_header_stable_lsn, const std::map<Lsn, LogOffset>& ordering,
                             const LogConfig& config);

}  // namespace kelm::pagecache
