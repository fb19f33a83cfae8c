// CommitGroup: the one commit pipeline. Both the write applier (many
// commits per group) and own application (a committer whose applier has
// ended, one commit) run every commit through it:
//
//   std::lock_guard lock(host.commit_lock());
//   CommitGroup group(host);
//   group.add_commit(request, [&](DbResult<void> r) { result = std::move(r); });
//   group.flush();
//   host.persist_clocks();   // the caller's choice of when, and of what to log
//
// Per commit, in add_commit: when it carries a validation step, everything
// gathered so far is flushed (logged and applied) first, then the host's
// write stop and the validation run; then the host's applicability check
// against the committed state plus what the group holds; then the commit
// timestamp is drawn and the commit's log records are built and checked. A
// commit refused by any of these is answered at once and nothing of it is
// logged.
//
// flush(): the records of every gathered commit go to the log with one
// append (one write, one fsync). If the append fails, every gathered commit
// is answered with that failure and nothing is applied. Otherwise the
// gathered entries are applied in the order they were added: each commit
// through host.apply_commit (a failure is logged, and the commit is still
// answered as committed: its Commit record is durable and replay redoes it),
// each step by running it unless the host's writes are stopped.
//
// Rules: the caller holds host.commit_lock() for the group's whole life and
// flushes before dropping it (entries left unflushed are never answered).
// Every answer is given exactly once, on the caller's thread.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "transaction/transaction_host.h"

namespace zudizid::transaction {

class CommitGroup {
 public:
  using Done = std::move_only_function<void(DbResult<void>)>;
  using Step = std::move_only_function<DbResult<void>()>;

  struct Options {
    // Put before the log's error text when the group's append fails; empty:
    // the log's error as it is.
    std::string append_failure_prefix;
    // Told the size of every append (commits, records).
    std::function<void(std::size_t commits, std::size_t records)> on_append;
  };

  explicit CommitGroup(TransactionHost& host, Options options = {});
  CommitGroup(const CommitGroup&) = delete;
  CommitGroup& operator=(const CommitGroup&) = delete;

  void add_commit(CommitRequest& request, Done done);
  // Work that is not logged, ordered among the commits (the applier's single
  // write operations). `node_writes` (node id -> exists afterwards) is what
  // the step will do to nodes, for the applicability checks of later commits.
  void add_step(Step step, Done done, const PendingNodes& node_writes = {});
  void flush();

 private:
  struct Entry {
    CommitRequest* commit = nullptr;  // or a step
    std::uint64_t commit_ts = 0;
    Step step;
    Done done;
  };

  TransactionHost& host_;
  Options options_;
  std::vector<Entry> entries_;
  std::vector<wal::WalRecord> records_;
  std::size_t commits_ = 0;
  PendingNodes pending_;
};

}  // namespace zudizid::transaction
