#include "graph/applier/applier.h"

#include <system_error>
#include <thread>

#include "common/log.h"
#include "common/thread_name.h"
#include "transaction/commit_group.h"

namespace zudizid::graph::applier {

// The applier's way to a graph's write application (private to the handle).
struct WriteOpApplier {
  static DbResult<void> apply(Graph& graph, const WriteOp& op) { return graph.apply_write_op(op); }
};

namespace {

constexpr const char* kTarget = "zudizid::graph::applier";

// What a single write does to node existence, for the applicability checks
// of the commits queued after it.
transaction::PendingNodes node_writes(const WriteOp& op) {
  transaction::PendingNodes out;
  if (const auto* put = std::get_if<WriteOp::PutNode>(&op.op)) out[put->node.id] = true;
  if (const auto* del = std::get_if<WriteOp::DeleteNode>(&op.op)) out[del->node_id] = false;
  return out;
}

void apply_batch(std::vector<ApplierMessage>& batch) {
  Graph graph = batch.front().graph.clone();
  std::lock_guard lock(graph.storage_write_lock());
  transaction::CommitGroup group(
      graph, {.append_failure_prefix = "group WAL fsync failed, commit aborted before apply: ",
              .on_append = [](size_t commits, size_t records) {
                if (commits >= 2) {
                  ZLOG(Debug, kTarget, "Group commit: {} transactions, {} WAL records, 1 fsync", commits, records);
                }
              }});
  for (ApplierMessage& m : batch) {
    auto done = [&m](DbResult<void> result) { m.reply.send(std::move(result)); };
    if (auto stop = graph.write_stop()) {
      done(std::unexpected(*stop));
    } else if (auto* commit = std::get_if<transaction::CommitRequest>(&m.payload)) {
      group.add_commit(*commit, std::move(done));
    } else {
      const WriteOp& op = std::get<WriteOp>(m.payload);
      group.add_step([&m, &op] { return WriteOpApplier::apply(m.graph, op); }, std::move(done), node_writes(op));
    }
  }
  group.flush();
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
