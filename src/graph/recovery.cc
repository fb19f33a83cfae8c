#include "graph/recovery.h"

#include "common/log.h"
#include "graph/adjacency_load.h"
#include "storage/storage_keys.h"
#include "storage/storage_lists.h"
#include "storage/versioned.h"

namespace zudizid::graph {

DbResult<std::optional<std::uint64_t>> largest_stored_timestamp(const storage::Storage& storage) {
  std::optional<std::uint64_t> best;
  auto take = [&best](std::uint64_t v) { best = best ? std::max(*best, v) : v; };
  kelm::Iter it = storage.db().default_tree().range(
      kelm::Bound::included(kelm::IVec::from_slice(std::string_view("ts:"))),
      kelm::Bound::excluded(kelm::IVec::from_slice(std::string_view("ts;"))));
  while (auto item = it.next()) {
    if (!*item) return std::unexpected(DbError((*item).error()));
    if (auto v = parse_ts_key_number((*item)->first.view().substr(3))) take(*v);
  }
  auto tree = storage.db().open_tree(storage::keys::kVersionedEdgesTree);
  if (!tree) return std::unexpected(DbError(tree.error()));
  kelm::Iter vit = tree->iter();
  while (auto item = vit.next()) {
    if (!*item) return std::unexpected(DbError((*item).error()));
    auto ve = VersionedEdge::from_msgpack((*item)->second.bytes());
    if (!ve) continue;
    take(ve->timestamp);
    if (ve->valid_to) take(*ve->valid_to);
  }
  return best;
}

namespace {

// Node replay: a new version unless the stored current one is as new as the
// commit, then the current record through the applier.
DbResult<bool> replay_node(Graph& graph, const Node& node, std::uint64_t t) {
  const storage::Storage& st = *graph.storage();
  {
    std::lock_guard g(graph.storage_write_lock());
    auto current = st.find_current_version(node.id);
    if (!current) return std::unexpected(std::move(current.error()));
    VersionedNode v;
    v.id = node.id;
    v.timestamp = t;
    v.valid_from = t;
    v.node_data = node;
    if (*current) {
      auto old = st.get_node_version(node.id, **current);
      if (!old) return std::unexpected(std::move(old.error()));
      if (old->timestamp >= t) return false;
      VersionedNode closed = std::move(*old);
      closed.valid_to = t;
      v.version = closed.version + 1;
      v.prev_version = closed.version;
      if (auto r = st.commit_node_version(node, v, &closed); !r) return std::unexpected(std::move(r.error()));
    } else {
      v.version = 1;
      if (auto r = st.commit_node_version(node, v, nullptr); !r) return std::unexpected(std::move(r.error()));
    }
  }
  if (auto r = graph.submit_write(WriteOp{WriteOp::PutNode{node, false}}); !r) return std::unexpected(r.error());
  return true;
}

DbResult<bool> replay_insert_edge(Graph& graph, const Edge& edge) {
  const storage::Storage& st = *graph.storage();
  auto exists = st.edge_exists(edge.id);
  if (!exists) return std::unexpected(std::move(exists.error()));
  if (*exists) return false;
  // An edge with a version history was applied once and deleted since
  // (possibly by a write that bypasses the log): never bring it back.
  auto versions = st.db().open_tree(storage::keys::kVersionedEdgesTree);
  if (!versions) return std::unexpected(DbError(versions.error()));
  const std::string version_key = storage::keys::edge_version(edge.id, 1);
  auto had = versions->contains_key(kelm::Tree::as_bytes(version_key));
  if (!had) return std::unexpected(DbError(had.error()));
  if (*had) return false;
  auto src = st.node_exists(edge.source);
  if (!src) return std::unexpected(std::move(src.error()));
  auto dst = st.node_exists(edge.target);
  if (!dst) return std::unexpected(std::move(dst.error()));
  if (!*src || !*dst) {
    ZLOG(Debug, "zudizid::graph", "WAL replay: skipping edge {} — endpoint(s) removed by later non-WAL writes",
         edge.id.to_string());
    return false;
  }
  std::uint64_t ts = graph.next_timestamp().fetch_add(1);
  if (auto r = graph.submit_write(WriteOp{WriteOp::PutEdge{edge, ts}}); !r) return std::unexpected(r.error());
  return true;
}

}  // namespace

DbResult<std::uint64_t> replay_wal(Graph& graph, std::span<const wal::WalRecord> records) {
  ZLOG(Info, "zudizid::graph", "Replaying committed operations from WAL...");
  auto mark = storage::Storage::get_counter(graph.storage()->db(), kWalReplayedThroughKey);
  if (!mark) return std::unexpected(std::move(mark.error()));
  std::uint64_t applied = 0;
  for (const ReplayOp& op : replay_ops(records, mark->value_or(0))) {
    const wal::WalRecord& r = *op.record;
    DbResult<bool> done = false;
    if (const auto* ins = r.get_if<wal::InsertNode>()) {
      done = replay_node(graph, ins->node, op.commit_timestamp);
    } else if (const auto* upd = r.get_if<wal::UpdateNode>()) {
      done = replay_node(graph, upd->new_node, op.commit_timestamp);
    } else if (const auto* del = r.get_if<wal::DeleteNode>()) {
      auto exists = graph.storage()->node_exists(del->node_id);
      if (!exists) return std::unexpected(std::move(exists.error()));
      done = false;
      if (*exists) {
        if (auto w = graph.submit_write(WriteOp{WriteOp::DeleteNode{del->node_id}}); !w) return std::unexpected(w.error());
        done = true;
      }
    } else if (const auto* ie = r.get_if<wal::InsertEdge>()) {
      done = replay_insert_edge(graph, ie->edge);
    } else if (const auto* de = r.get_if<wal::DeleteEdge>()) {
      auto exists = graph.storage()->edge_exists(de->edge_id);
      if (!exists) return std::unexpected(std::move(exists.error()));
      done = false;
      if (*exists) {
        std::uint64_t ts = graph.next_timestamp().fetch_add(1);
        if (auto w = graph.submit_write(WriteOp{WriteOp::DeleteEdge{de->edge_id, ts}}); !w) {
          return std::unexpected(w.error());
        }
        done = true;
      }
    }
    if (!done) return std::unexpected(std::move(done.error()));
    if (*done) ++applied;
  }
  ZLOG(Info, "zudizid::graph", "Replayed {} operations from WAL", applied);
  return applied;
}

DbResult<void> rebuild_adjacency(Graph& graph) {
  ZLOG(Info, "zudizid::graph", "Crash recovery detected: rebuilding adjacency from edges...");
  const storage::Storage& st = *graph.storage();
  std::lock_guard g(graph.storage_write_lock());
  auto fresh = st.load_adjacency();
  if (!fresh) return std::unexpected(std::move(fresh.error()));
  {
    std::unique_lock out(graph.outgoing_adjacency().mu);
    std::unique_lock in(graph.incoming_adjacency().mu);
    graph.outgoing_adjacency().map = fresh->outgoing;
    graph.incoming_adjacency().map = fresh->incoming;
  }
  if (auto r = store_adjacency(st, fresh->outgoing, fresh->incoming); !r) return r;
  graph.graph_version().fetch_add(1);
  return {};
}

DbResult<void> mark_replayed(Graph& graph, std::uint64_t through) {
  const kelm::Db& db = graph.storage()->db();
  // The replayed writes must be durable before the mark says so.
  if (auto r = db.flush(); !r) return std::unexpected(DbError(r.error()));
  if (auto r = graph.storage()->store_counter_max(kWalReplayedThroughKey, through); !r) return r;
  if (auto r = db.flush(); !r) return std::unexpected(DbError(r.error()));
  return {};
}

}  // namespace zudizid::graph
