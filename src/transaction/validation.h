// Serializable validation of a commit against the committed state.
#pragma once

#include <cstdint>

#include "transaction/transaction.h"

namespace zudizid::transaction {

// Runs, in this order, the write-write test over the write set, the
// read-write test over the read set, the delete test over `deleted_nodes`
// (each: a node whose last commit timestamp is greater than
// `start_timestamp` conflicts), and the phantom test, which repeats every
// recorded scan against the committed state and compares the sets. The first
// failure is returned: TransactionConflict for a conflict, the read's own
// error when a repeated read fails. Holds the read locks of the tracking sets
// for the whole run.
DbResult<void> validate_serializable(TransactionHost& host, const ReadTracking& tracking,
                                   const NodeIdSet& deleted_nodes, std::uint64_t start_timestamp);

// Repeats one recorded scan against the committed state; true when its
// result equals the recorded one.
DbResult<bool> scan_unchanged(TransactionHost& host, const ScanRecord& record);

}  // namespace zudizid::transaction
