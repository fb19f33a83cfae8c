#include "graph/open.h"

#include <chrono>
#include <thread>

#include "common/log.h"
#include "graph/adjacency_load.h"
#include "graph/banner.h"
#include "graph/in_memory_wal.h"
#include "graph/open_leftovers.h"
#include "graph/recovery.h"
#include "index/fulltext_index.h"
#include "index/taxonomy.h"
#include "storage/storage_keys.h"

namespace zudizid::graph {

namespace {

DbResult<std::unique_ptr<index::Index>> open_fulltext_index(const std::optional<std::filesystem::path>& dir) {
  auto opened = index::FullTextIndex::open(dir);
  if (!opened) return std::unexpected(std::move(opened.error()));
  return std::unique_ptr<index::Index>(std::move(*opened));
}

// The stored graph as the index loader sees it before the handle exists.
class StorageSource final : public index::RecordSource {
 public:
  explicit StorageSource(const storage::Storage& s) : s_(s) {}
  DbResult<std::vector<Node>> scan_current_nodes() override { return s_.scan_current_nodes(); }
  DbResult<std::vector<Edge>> scan_edges() override { return s_.scan_edges(); }

 private:
  const storage::Storage& s_;
};

void rebuild_class_hierarchy(Graph& graph) {
  auto nodes = graph.storage()->scan_current_nodes();
  if (!nodes) {
    ZLOG(Warn, "zudizid::graph", "Taxonomy rebuild skipped: {}", nodes.error().display());
    return;
  }
  taxonomy::TaxonomyIndex hierarchy;
  bool any = false;
  for (const Node& n : *nodes) {
    if (n.kind != NodeKind::Class) continue;
    hierarchy.register_class(n.id, n.label);
    any = true;
  }
  if (!any) return;
  auto edges = graph.storage()->scan_edges();
  if (!edges) {
    ZLOG(Warn, "zudizid::graph", "Taxonomy rebuild skipped: {}", edges.error().display());
    return;
  }
  for (const Edge& e : *edges) {
    if (e.edge_type == "subClassOf") (void)hierarchy.add_subclass(e.target, e.source);
  }
  if (graph.index_manager()) graph.index_manager()->register_taxonomy(std::move(hierarchy));
}

// Another handle of the directory holds the engine's file lock.
bool lock_held_elsewhere(const kelm::Error& error) {
  return error.display().find("could not acquire lock") != std::string::npos;
}

// The last clone of a just-dropped handle of this directory may still be on
// its way out on the applier thread, holding the engine's file lock for a
// moment: wait briefly for it rather than failing a close-then-reopen.
kelm::Result<kelm::Db> open_engine(const kelm::config::Config& config) {
  for (int attempt = 0;; ++attempt) {
    auto db = config.open();
    if (db || attempt == 200 || !lock_held_elsewhere(db.error())) return db;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// Waits (briefly) until the last clone of a failed open's handle is gone
// from the applier thread; false if it is still alive.
bool released(const std::weak_ptr<const storage::Storage>& store) {
  for (int attempt = 0; attempt < 200 && !store.expired(); ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return store.expired();
}

// The open itself; `store` follows the engine it started so that a failure
// can wait for the engine to stop before its files are removed.
DbResult<Graph> open_directory(const std::filesystem::path& path, Profile profile,
                               const kelm::config::Config& engine_config, std::weak_ptr<const storage::Storage>& store) {
  auto db = open_engine(engine_config);
  if (!db) return std::unexpected(DbError(db.error()));
  auto storage = std::make_shared<storage::Storage>(std::move(*db), static_cast<std::uint8_t>(profile));
  store = storage;

  auto wal = wal::Wal::open(path / wal::kWalFileName);
  if (!wal) return std::unexpected(std::move(wal.error()));
  std::shared_ptr<wal::Wal> shared_wal = std::move(*wal);

  auto indexes = std::make_shared<index::IndexManager>(path / "indexes");
  indexes->set_fulltext_opener(open_fulltext_index);
  ZLOG(Info, "zudizid::graph", "Loading and rebuilding indices...");
  {
    StorageSource source(*storage);
    if (auto r = indexes->load_metadata(source); !r) return std::unexpected(std::move(r.error()));
  }

  auto records = shared_wal->read_all();
  if (!records) return std::unexpected(std::move(records.error()));
  WalAnalysis analysis = analyse_wal(*records);
  if (!analysis.uncommitted.empty()) {
    ZLOG(Warn, "zudizid::graph", "Found {} uncommitted transactions, will be rolled back",
         analysis.uncommitted.size());
  }

  auto adjacency = load_adjacency_at_open(*storage);
  if (!adjacency) return std::unexpected(std::move(adjacency.error()));
  // A committed log rebuilds the lists from the edges anyway.
  bool stale_lists = false;
  if (analysis.committed.empty() && (!adjacency->outgoing.empty() || !adjacency->incoming.empty())) {
    auto covered = stored_lists_cover_edges(*storage, *adjacency);
    if (!covered) return std::unexpected(std::move(covered.error()));
    stale_lists = !*covered;
  }

  auto stored_ts = storage::Storage::get_counter(storage->db(), storage::keys::kNextTimestamp);
  if (!stored_ts) return std::unexpected(std::move(stored_ts.error()));
  std::optional<std::uint64_t> seen;
  if (!*stored_ts) {
    auto largest = largest_stored_timestamp(*storage);
    if (!largest) return std::unexpected(std::move(largest.error()));
    seen = *largest;
  }
  auto stored_tx = storage::Storage::get_counter(storage->db(), storage::keys::kNextTxId);
  if (!stored_tx) return std::unexpected(std::move(stored_tx.error()));
  std::uint64_t next_ts = restore_next_timestamp(*stored_ts, seen, analysis);
  std::uint64_t next_tx = restore_next_tx_id(*stored_tx, analysis);
  ZLOG(Info, "zudizid::graph", "Logical clocks restored: next_timestamp={}, next_tx_id={}", next_ts, next_tx);

  GraphParts parts;
  parts.storage = storage;
  parts.wal = shared_wal;
  parts.index_manager = indexes;
  parts.adjacency = std::move(*adjacency);
  parts.next_tx_id = next_tx;
  parts.next_timestamp = next_ts;
  Graph graph = Graph::build(std::move(parts));

  if (analysis.total_records > 0) {
    if (auto r = replay_wal(graph, *records); !r) return std::unexpected(std::move(r.error()));
  }
  if (!analysis.committed.empty() || stale_lists) {
    if (auto r = rebuild_adjacency(graph); !r) return std::unexpected(std::move(r.error()));
  }
  if (!analysis.committed.empty()) {
    if (auto r = mark_replayed(graph, analysis.max_timestamp); !r) return std::unexpected(std::move(r.error()));
  }

  rebuild_class_hierarchy(graph);
  maybe_print_first_run_banner();
  return graph;
}

}  // namespace

DbResult<Graph> open_graph(const std::filesystem::path& path, Profile profile) {
  return open_graph(path, profile, directory_config(path, profile));
}

DbResult<Graph> open_graph(const std::filesystem::path& path, Profile profile, const kelm::config::Config& engine_config) {
  OpenLeftovers leftovers(path);
  std::weak_ptr<const storage::Storage> store;
  auto opened = open_directory(path, profile, engine_config, store);
  if (opened) return opened;
  // A directory another handle holds is not this open's to clean.
  const kelm::Error* engine = opened.error().storage();
  if (!(engine && lock_held_elsewhere(*engine)) && released(store)) leftovers.remove();
  return opened;
}

DbResult<Graph> open_in_memory(Profile profile) {
  auto db = temporary_config(profile).open();
  if (!db) return std::unexpected(DbError(db.error()));
  auto storage = std::make_shared<storage::Storage>(std::move(*db), static_cast<std::uint8_t>(profile));

  auto owner = std::make_shared<TemporaryWalFile>(wal::in_memory_wal_path());
  auto wal = wal::Wal::open(owner->path());
  if (!wal) return std::unexpected(std::move(wal.error()));
  // The log goes with the last handle: closed first, then its file removed.
  std::shared_ptr<wal::Wal> shared_wal(wal->release(), [owner](wal::Wal* w) mutable {
    delete w;
    owner.reset();
  });

  auto clock = [&](std::string_view key) -> std::uint64_t {
    auto v = storage::Storage::get_counter(storage->db(), key);
    return v && *v && **v != 0 ? **v : 1;
  };
  GraphParts parts;
  parts.storage = storage;
  parts.wal = shared_wal;
  parts.index_manager = std::make_shared<index::IndexManager>(std::nullopt);
  parts.index_manager->set_fulltext_opener(open_fulltext_index);
  parts.next_timestamp = clock(storage::keys::kNextTimestamp);
  parts.next_tx_id = clock(storage::keys::kNextTxId);
  return Graph::build(std::move(parts));
}

}  // namespace zudizid::graph
