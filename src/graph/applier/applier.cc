#include "graph/applier/applier.h"

#include <system_error>
#include <thread>

#include "common/log.h"
#include "common/thread_name.h"

namespace zudizid::graph::applier {

namespace {

constexpr const char* kTarget = "zudizid::graph::applier";

// Messages accepted into the current append group: commits with their
// timestamps and records, and operations, in queue order.
struct Group {
  struct Entry {
    ApplierMessage* message;
    uint64_t commit_ts = 0;  // commits only
  };
  std::vector<Entry> entries;
  std::vector<wal::WalRecord> records;
  size_t commits = 0;
  Graph::PendingNodes pending;
};

void reply(ApplierMessage& m, DbResult<void> result) { m.reply.send(std::move(result)); }

// Logs the group's commit records with one append, then applies and
// answers every message of the group in queue order.
void flush(Graph& graph, Group& group) {
  DbResult<uint64_t> appended = 0;
  if (!group.records.empty()) appended = graph.wal().append_batch(group.records);
  if (group.commits >= 2) {
    ZLOG(Debug, kTarget, "Group commit: {} transactions, {} WAL records, 1 fsync", group.commits,
         group.records.size());
  }
  for (Group::Entry& e : group.entries) {
    ApplierMessage& m = *e.message;
    if (auto* commit = std::get_if<transaction::CommitRequest>(&m.payload)) {
      if (!appended) {
        reply(m, std::unexpected(DbError::message(
                     "group WAL fsync failed, commit aborted before apply: " + appended.error().display())));
        continue;
      }
      m.graph.apply_durable_commit(commit->writes, e.commit_ts);
      reply(m, {});
    } else {
      if (auto stop = m.graph.write_stop()) {
        reply(m, std::unexpected(*stop));
        continue;
      }
      reply(m, m.graph.apply_write_op(std::get<WriteOp>(m.payload)));
    }
  }
  group = Group{};
}

// Accepts one commit into the group: validation (after the group so far has
// been applied), applicability, a commit timestamp and its records.
void accept_commit(Graph& graph, ApplierMessage& m, Group& group) {
  auto& request = std::get<transaction::CommitRequest>(m.payload);
  if (request.validate) {
    if (!group.entries.empty()) flush(graph, group);
    if (auto valid = request.validate(); !valid) {
      reply(m, std::move(valid));
      return;
    }
  }
  if (auto ok = m.graph.check_applicable(request.writes, group.pending); !ok) {
    reply(m, std::move(ok));
    return;
  }
  const uint64_t commit_ts = graph.next_timestamp().fetch_add(1);
  auto records = applier::commit_records(request.writes, commit_ts);
  for (const wal::WalRecord& r : records) {
    // A record the log cannot carry fails its own commit, not the group's.
    if (auto loggable = r.validate_for_log(); !loggable) {
      reply(m, std::unexpected(std::move(loggable.error())));
      return;
    }
  }
  Graph::note_pending(request.writes, group.pending);
  for (auto& r : records) group.records.push_back(std::move(r));
  group.entries.push_back({&m, commit_ts});
  ++group.commits;
}

void note_op(const WriteOp& op, Graph::PendingNodes& pending) {
  if (const auto* put = std::get_if<WriteOp::PutNode>(&op.op)) pending[put->node.id] = true;
  if (const auto* del = std::get_if<WriteOp::DeleteNode>(&op.op)) pending[del->node_id] = false;
}

void apply_batch(std::vector<ApplierMessage>& batch) {
  Graph graph = batch.front().graph.clone();
  std::lock_guard lock(graph.storage_write_lock());
  Group group;
  for (ApplierMessage& m : batch) {
    if (auto stop = graph.write_stop()) {
      reply(m, std::unexpected(*stop));
      continue;
    }
    if (std::holds_alternative<transaction::CommitRequest>(m.payload)) {
      accept_commit(graph, m, group);
    } else {
      note_op(std::get<WriteOp>(m.payload), group.pending);
      group.entries.push_back({&m});
    }
  }
  flush(graph, group);
  if (auto persisted = graph.persist_clocks(); !persisted) {
    ZLOG(Warn, kTarget, "applier: failed to persist logical clocks after batch: {}", persisted.error().display());
  }
}

}  // namespace

void run_write_applier(const std::shared_ptr<ApplierQueue>& queue) {
  for (;;) {
    std::vector<ApplierMessage> batch = queue->receive_batch(kMaxBatch);
    if (batch.empty()) break;
    apply_batch(batch);
    // The batch (and the graph handles it carries) is dropped here, outside
    // every lock.
  }
  ZLOG(Debug, kTarget, "Write applier task exited (all graph handles dropped)");
  queue->close_receiver();
}

std::shared_ptr<Sender> spawn_write_applier() {
  auto queue = std::make_shared<ApplierQueue>();
  auto sender = std::make_shared<Sender>(queue);
  try {
    queue->set_thread(std::thread([queue] {
      common::set_current_thread_name("zudizid-applier");
      run_write_applier(queue);
    }));
  } catch (const std::system_error& e) {
    ZLOG(Error, kTarget, "could not start the write applier thread: {}; writers apply their own writes", e.what());
    queue->close_receiver();
  }
  return sender;
}

std::shared_ptr<Sender> closed_write_applier() {
  auto queue = std::make_shared<ApplierQueue>();
  queue->close_receiver();
  return std::make_shared<Sender>(queue);
}

}  // namespace zudizid::graph::applier
