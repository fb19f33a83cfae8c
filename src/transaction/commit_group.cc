#include "transaction/commit_group.h"

#include "common/log.h"

namespace zudizid::transaction {

namespace {
constexpr const char* kTarget = "zudizid::transaction";
}  // namespace

void note_pending(const CommitWrites& w, PendingNodes& pending) {
  for (const auto& [id, _] : w.deleted_nodes) pending[id] = false;
  for (const Node& n : w.nodes) pending[n.id] = true;
}

CommitGroup::CommitGroup(TransactionHost& host, Options options) : host_(host), options_(std::move(options)) {}

void CommitGroup::add_commit(CommitRequest& request, Done done) {
  if (request.validate) {
    // Validation reads the committed state: everything ahead of this commit
    // must be applied first.
    if (!entries_.empty()) flush();
    if (auto stop = host_.write_stop()) return done(std::unexpected(*stop));
    if (auto valid = request.validate(); !valid) return done(std::move(valid));
  } else if (auto stop = host_.write_stop()) {
    return done(std::unexpected(*stop));
  }
  if (auto ok = host_.check_applicable(request.writes, pending_); !ok) return done(std::move(ok));
  const std::uint64_t commit_ts = host_.next_timestamp().fetch_add(1);
  auto records = commit_records(request.writes, commit_ts);
  for (const wal::WalRecord& r : records) {
    // A record the log cannot carry fails its own commit, not the group's.
    if (auto loggable = r.validate_for_log(); !loggable) return done(std::unexpected(std::move(loggable.error())));
  }
  note_pending(request.writes, pending_);
  for (auto& r : records) records_.push_back(std::move(r));
  entries_.push_back(Entry{&request, commit_ts, nullptr, std::move(done)});
  ++commits_;
}

void CommitGroup::add_step(Step step, Done done, const PendingNodes& node_writes) {
  for (const auto& [id, exists] : node_writes) pending_[id] = exists;
  entries_.push_back(Entry{nullptr, 0, std::move(step), std::move(done)});
}

void CommitGroup::flush() {
  std::vector<Entry> entries = std::move(entries_);
  std::vector<wal::WalRecord> records = std::move(records_);
  const std::size_t commits = commits_;
  entries_.clear();
  records_.clear();
  commits_ = 0;
  pending_.clear();

  DbResult<std::uint64_t> appended = 0;
  if (!records.empty()) {
    appended = host_.wal().append_batch(records);
    if (options_.on_append) options_.on_append(commits, records.size());
  }
  for (Entry& e : entries) {
    if (e.commit == nullptr) {
      if (auto stop = host_.write_stop()) {
        e.done(std::unexpected(*stop));
      } else {
        e.done(e.step());
      }
      continue;
    }
    if (!appended) {
      const DbError& failure = appended.error();
      e.done(std::unexpected(options_.append_failure_prefix.empty()
                                 ? failure
                                 : DbError::message(options_.append_failure_prefix + failure.display())));
      continue;
    }
    // From here the Commit record is durable: the transaction is committed
    // whatever follows, and the next open redoes what the stored state lacks.
    const CommitWrites& w = e.commit->writes;
    if (auto applied = host_.apply_commit(w, e.commit_ts); !applied) {
      ZLOG(Error, kTarget, "Transaction {}: commit is logged but applying it failed: {}", w.tx_id,
           error_text(applied.error()));
    }
    e.done({});
  }
}

DbResult<void> commit_in_order(TransactionHost& host, CommitRequest request) {
  std::lock_guard lock(host.commit_lock());
  DbResult<void> result;
  CommitGroup group(host);
  group.add_commit(request, [&](DbResult<void> r) { result = std::move(r); });
  group.flush();
  if (result) {
    if (auto persisted = host.persist_clocks(); !persisted) {
      ZLOG(Warn, kTarget, "Transaction {}: failed to persist logical clocks after commit: {}", request.writes.tx_id,
           error_text(persisted.error()));
    }
  }
  return result;
}

}  // namespace zudizid::transaction
