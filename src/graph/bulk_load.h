// Bulk loading: many new nodes and edges written straight into the store in
// large atomic batches under the storage write lock. No log record, no
// transaction, no node lock, no versions, no index or schema maintenance.
//
// Every flush leaves the stored adjacency keys of the nodes it touches equal
// to their in-memory lists, so edges survive a crash or a drop without close.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "graph/graph.h"
#include "storage/db_error.h"
#include "storage/node.h"

namespace zudizid::graph {

class BulkLoader {
 public:
  // Keeps its own clone of the handle for as long as it lives.
  BulkLoader(const Graph& graph, std::uint64_t batch_size);

  // Buffers one record; true once the buffer has reached batch_size.
  bool add_node(Node node);
  bool add_edge(Edge edge);

  // Write and empty the buffer. The buffer is emptied even when the flush
  // fails; the totals grow only by successful flushes.
  DbResult<void> flush_nodes();
  DbResult<void> flush_edges();
  // Nodes first, then edges.
  DbResult<void> finish();

  std::uint64_t batch_size() const { return batch_size_; }
  std::uint64_t total_nodes() const { return total_nodes_; }
  std::uint64_t total_edges() const { return total_edges_; }
  std::chrono::steady_clock::time_point start_time() const { return start_time_; }

 private:
  std::vector<Node> node_buffer_;
  std::vector<Edge> edge_buffer_;
  std::chrono::steady_clock::time_point start_time_;
  Graph graph_;
  std::uint64_t batch_size_;
  std::uint64_t total_nodes_ = 0;
  std::uint64_t total_edges_ = 0;
};

}  // namespace zudizid::graph
