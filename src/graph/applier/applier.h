// The write applier: one thread per open graph ("zudizid-applier") that
// applies every committed write set and every single write operation.
//
// Per batch (up to 16 queued messages, taken without waiting for more):
// under the graph's storage_write_lock, commits draw their commit
// timestamps in queue order; the log records of the batch's commits are
// appended with one write and one fsync; then the messages are applied in
// queue order as new record versions and answered on their one-shot
// channels; the clocks are persisted once per batch.
//
// A commit that carries a validation step is validated after every earlier
// commit of the batch has been applied (the commit-order contract of
// transaction/transaction_host.h): commits gathered before it are logged
// and applied first, so validated commits may split a batch into several
// appends.
//
// A commit is answered only after it is applied. Once its Commit record is
// durable it is answered as committed; if applying it then fails, the graph
// stops accepting writes (see graph/graph.h).
#pragma once

#include <memory>
#include <vector>

#include "graph/applier/applier_queue.h"
#include "wal/wal_record.h"
#include "transaction/commit_writes.h"

namespace zudizid::graph::applier {

// Creates the queue and starts the applier thread. When the thread cannot
// be started the queue is closed for senders, and writers apply their own
// writes.
std::shared_ptr<Sender> spawn_write_applier();
// Same, without a thread: every writer applies its own writes.
std::shared_ptr<Sender> closed_write_applier();

// The thread body; returns when the queue is closed and drained.
void run_write_applier(const std::shared_ptr<ApplierQueue>& queue);

}  // namespace zudizid::graph::applier
