// Graph methods that report sizes: `node_count` (a full scan of the current
// nodes) and `get_stats` (the planner statistics, from the schema cache).
#include <cstdint>
#include <string>
#include <unordered_map>

#include "graph/schema_queries.h"
#include "graph/stats.h"
#include "python/graph_call.h"
#include "python/graph_methods.h"
#include "python/method_def.h"

namespace zudizid::python {

namespace {

PyObject* node_count(PyObject* self, PyObject*) {
  return call_blocking(
      self,
      [](graph::Graph& g) -> DbResult<std::uint64_t> {
        // Every current record is read and decoded (so an undecodable one
        // fails the count); the nodes are dropped here, off the interpreter.
        auto nodes = g.storage()->scan_current_nodes();
        if (!nodes) return std::unexpected(std::move(nodes.error()));
        return static_cast<std::uint64_t>(nodes->size());
      },
      [](std::uint64_t n) { return u64_to_py(n); });
}

// Three text entries; the other fields of the statistics stay in the engine.
PyObject* stats_to_py(const graph::GraphStats& stats) {
  std::unordered_map<std::string, std::string> entries{
      {"total_nodes", std::to_string(stats.total_nodes)},
      {"total_edges", std::to_string(stats.total_edges)},
      {"avg_degree", graph::format_avg_degree(stats.avg_degree)},
  };
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, value] : entries) {
    PyRef v = PyRef::steal(str_to_py(value));
    if (!v || PyDict_SetItemString(dict.get(), key.c_str(), v.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* get_stats(PyObject* self, PyObject*) {
  return call_blocking(
      self, [](graph::Graph& g) { return graph::get_stats(g); },
      [](graph::GraphStats& stats) { return stats_to_py(stats); });
}

const PyMethodDef kStatsMethods[] = {
    method_def<node_count>("node_count", "node_count($self)\n--\n\nGet node count"),
    method_def<get_stats>("get_stats",
                          "get_stats($self)\n--\n\n"
                          "Get query planner statistics\n"
                          "\n"
                          "Returns:\n"
                          "    dict: Statistics about the graph\n"
                          "\n"
                          "Example:\n"
                          "    >>> stats = graph.get_stats()\n"
                          "    >>> print(f\"Total nodes: {stats['total_nodes']}\")\n"
                          "    >>> print(f\"Avg degree: {stats['avg_degree']}\")"),
};

}  // namespace

std::span<const PyMethodDef> graph_stats_methods() { return kStatsMethods; }

}  // namespace zudizid::python
