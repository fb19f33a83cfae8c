// Bulk loading: many new nodes and edges written straight into the store in
// large atomic batches under the storage write lock. No log record, no
// transaction, no node lock, no versions, no index or schema maintenance.
//
// Every flush leaves the stored adjacency keys of the nodes it touches equal
// to their in-memory lists, so edges survive a crash or a drop without close.
//
// A flush that fails writes nothing of its batch to memory and puts the batch
// back at the front of its buffer: nothing buffered is lost, and the next
// flush tries again. A caller whose own add failed drops that entry with
// drop_last_node / drop_last_edge.
#pragma once

#include <chrono>
#include <cstdint>
#include <unordered_set>
#include <vector>

#include "graph/graph.h"
#include "storage/db_error.h"
#include "storage/node.h"

namespace zudizid::graph {

class BulkLoader {
 public:
  // Room reserved up front in each buffer, at most: a huge batch size must
  // not turn into a huge (or impossible) allocation before anything is added.
  static constexpr std::uint64_t kMaxReserved = 1u << 14;

  // Keeps its own clone of the handle for as long as it lives.
  BulkLoader(const Graph& graph, std::uint64_t batch_size);
  // Stores the lists its edge flushes grew (store_lists); a failure is
  // logged.
  ~BulkLoader();
  BulkLoader(const BulkLoader&) = delete;
  BulkLoader& operator=(const BulkLoader&) = delete;

  // Buffers one record; true once the buffer has reached batch_size.
  bool add_node(Node node);
  bool add_edge(Edge edge);
  // Removes the most recently buffered entry, if any.
  void drop_last_node();
  void drop_last_edge();

  // Write and empty the buffer; on failure the buffer is kept (see above)
  // and the totals are unchanged.
  DbResult<void> flush_nodes();
  DbResult<void> flush_edges();
  // Nodes first, then edges, then store_lists.
  DbResult<void> finish();
  // Writes, once each, the stored lists ("idx:out:", "idx:in:") of every
  // node whose in-memory list an edge flush of this loader grew since the
  // last call, from the in-memory lists.
  DbResult<void> store_lists();
  // The caller has just stored every list of the graph
  // (Graph::flush_adjacency): nothing is left for store_lists.
  void lists_stored() {
    unstored_out_.clear();
    unstored_in_.clear();
  }

  std::uint64_t batch_size() const { return batch_size_; }
  std::uint64_t total_nodes() const { return total_nodes_; }
  std::uint64_t total_edges() const { return total_edges_; }
  std::size_t buffered_nodes() const { return node_buffer_.size(); }
  std::size_t buffered_edges() const { return edge_buffer_.size(); }
  std::chrono::steady_clock::time_point start_time() const { return start_time_; }
  const Graph& graph() const { return graph_; }

 private:
  DbResult<void> write_nodes(const std::vector<Node>& nodes);
  DbResult<void> write_edges(const std::vector<Edge>& edges);

  std::vector<Node> node_buffer_;
  std::vector<Edge> edge_buffer_;
  std::chrono::steady_clock::time_point start_time_;
  Graph graph_;
  std::uint64_t batch_size_;
  std::uint64_t total_nodes_ = 0;
  std::uint64_t total_edges_ = 0;
  // Endpoints whose stored list lags the in-memory one.
  std::unordered_set<Uuid> unstored_out_;
  std::unordered_set<Uuid> unstored_in_;
};

}  // namespace zudizid::graph
