// Graph methods of the Arrow group: `to_arrow`, `edges_to_arrow`,
// `to_arrow_complete`. Reading, building the batches and encoding the IPC
// streams all run with the interpreter lock released; the lock is taken back
// only to turn the finished byte strings into `bytes` objects.
#include <optional>
#include <string>
#include <vector>

#include "algorithms/parallel.h"
#include "arrow_export/edge_batches.h"
#include "arrow_export/ipc_stream.h"
#include "arrow_export/node_batches.h"
#include "common/msgpack.h"
#include "graph/view/parallel_scan.h"
#include "python/args.h"
#include "python/graph_call.h"
#include "python/graph_methods.h"
#include "python/method_def.h"
#include "storage/ordered_reads.h"
#include "storage/storage_keys.h"

namespace zudizid::python {

namespace {

using arrow_export::IpcStage;

// What a body hands back: the encoded streams, or the Python exception to
// raise (engine errors travel as DbError and become RuntimeError instead).
struct ArrowReply {
  // The streams laid out over their batches, copied into `bytes` objects
  // once the interpreter lock is back: one copy of each stream in all.
  std::vector<arrow_export::RecordBatch> batches;
  std::vector<arrow_export::IpcLayout> streams;
  enum class Raise { Nothing, Runtime, Value } raise = Raise::Nothing;
  std::string text;

  static ArrowReply failure(Raise kind, std::string text) {
    ArrowReply r;
    r.raise = kind;
    r.text = std::move(text);
    return r;
  }
};

// `to_arrow` prefixes writer failures by stage; the other two methods raise
// the writer's text alone.
std::string prefixed_writer_error(const arrow_export::IpcError& error) {
  switch (error.stage) {
    case IpcStage::Open: return "Failed to create Arrow writer: " + error.text;
    case IpcStage::Write: return "Failed to write Arrow batch: " + error.text;
    case IpcStage::Finish: return "Failed to finish Arrow stream: " + error.text;
  }
  return error.text;
}

// Lays out each batch in order as a stream of `reply`, which keeps the
// batches; the first failure replaces whatever was laid out before it.
ArrowReply encode(std::vector<arrow_export::RecordBatch> batches, bool prefix_errors) {
  ArrowReply reply;
  reply.batches = std::move(batches);  // not moved again: the layouts point into them
  for (const arrow_export::RecordBatch& batch : reply.batches) {
    auto layout = arrow_export::lay_out_ipc_stream(batch);
    if (!layout) {
      return ArrowReply::failure(ArrowReply::Raise::Runtime,
                                 prefix_errors ? prefixed_writer_error(layout.error()) : layout.error().text);
    }
    reply.streams.push_back(std::move(*layout));
  }
  return reply;
}

PyObject* reply_to_py(const ArrowReply& reply, bool as_pair) {
  switch (reply.raise) {
    case ArrowReply::Raise::Runtime: return raise(PyExc_RuntimeError, reply.text);
    case ArrowReply::Raise::Value: return raise(PyExc_ValueError, reply.text);
    case ArrowReply::Raise::Nothing: break;
  }
  std::vector<PyRef> bytes;
  for (const arrow_export::IpcLayout& stream : reply.streams) {
    bytes.push_back(PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(stream.size()))));
    if (!bytes.back()) return nullptr;
    stream.copy_to(PyBytes_AS_STRING(bytes.back().get()));
  }
  if (!as_pair) return bytes.at(0).release();
  return PyTuple_Pack(2, bytes.at(0).get(), bytes.at(1).get());
}

// The optional `label` argument: None or absent gives no label; anything
// but a str is refused with TypeError naming the parameter.
bool optional_label(PyObject* obj, std::optional<std::string>& out) {
  if (obj == nullptr || obj == Py_None) return true;
  std::string text;
  if (!extract_str(obj, "label", text)) return false;
  out = std::move(text);
  return true;
}

// A record of the store as our encoder wrote it, decoded in full.
template <class T>
DbResult<T> decode_record(std::span<const uint8_t> bytes) {
  common::msgpack::Reader reader(bytes);
  auto record = T::from_msgpack(reader);
  if (!record) return std::unexpected(DbError::msgpack_decode(record.error().message));
  return std::move(*record);
}

// The summary rows of every current node, in id order; the records are
// read and decoded in key ranges in parallel.
DbResult<std::vector<arrow_export::NodeSummary>> node_summaries(const graph::Graph& g) {
  return graph::parallel_scan<arrow_export::NodeSummary>(
      g.storage()->db().default_tree(), storage::keys::kNodePrefix, graph::is_current_node_key,
      [](std::span<const uint8_t> bytes) -> DbResult<arrow_export::NodeSummary> {
        auto node = decode_record<Node>(bytes);
        if (!node) return std::unexpected(std::move(node.error()));
        return arrow_export::NodeSummary{node->id, std::move(node->label),
                                         static_cast<int64_t>(node->properties.size())};
      });
}

// Every stored edge, in id order, read as node_summaries reads nodes.
DbResult<std::vector<Edge>> all_edges(const graph::Graph& g) {
  auto tree = g.storage()->db().open_tree(storage::keys::kEdgesTree);
  if (!tree) return std::unexpected(DbError(tree.error()));
  return graph::parallel_scan<Edge>(*tree, "", [](std::string_view) { return true; }, decode_record<Edge>);
}

// The property batch of the nodes labelled `label`, read through the label
// map. Without such nodes, the first node of the graph (if any) decides the
// error: "No nodes found with label" for a graph with nodes, "No nodes to
// export" for an empty one.
DbResult<std::vector<Node>> labelled_nodes(const graph::Graph& g, const std::string& label) {
  if (!g.labels().loaded()) return g.nodes_with_label(label).collect();
  // The label's ids, ascending, cut into runs read in parallel, each in one
  // ordered pass; a listed id whose record is gone or relabelled is left
  // out, as the label read leaves it out.
  const std::vector<Uuid> ids = g.labels().ids(label);
  const size_t blocks = algorithms::blocks_for(ids.size(), 1 << 14, 16);
  std::vector<DbResult<std::vector<Node>>> parts(blocks, std::vector<Node>{});
  algorithms::for_each_block(blocks, [&](size_t b) {
    auto [lo, hi] = algorithms::block_range(ids.size(), blocks, b);
    auto records = storage::node_records_of(*g.storage(), std::vector<Uuid>(ids.begin() + static_cast<ptrdiff_t>(lo),
                                                                             ids.begin() + static_cast<ptrdiff_t>(hi)));
    while (auto node = records.next()) {
      if (!*node) {
        parts[b] = std::unexpected(std::move(node->error()));
        return;
      }
      if ((*node)->label == label) parts[b]->push_back(std::move(**node));
    }
  });
  std::vector<Node> out;
  for (auto& part : parts) {
    if (!part) return std::unexpected(std::move(part.error()));
    out.insert(out.end(), std::make_move_iterator(part->begin()), std::make_move_iterator(part->end()));
  }
  return out;
}

DbResult<arrow_export::RecordBatch> labelled_nodes_batch(const graph::Graph& g, const std::string& label) {
  auto nodes = labelled_nodes(g, label);
  if (!nodes) return std::unexpected(std::move(nodes.error()));
  if (nodes->empty()) {
    if (auto first = g.nodes().next()) {
      if (!*first) return std::unexpected(std::move(first->error()));
      nodes->push_back(std::move(**first));
    }
  }
  return arrow_export::nodes_to_arrow_with_properties(*nodes, label);
}

PyObject* to_arrow(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr Param kParams[] = {{"label", false}};
  PyObject* a[1] = {};
  if (!bind_args("to_arrow", kParams, args, nargsf, kwnames, a)) return nullptr;
  std::optional<std::string> label;
  if (!optional_label(a[0], label)) return nullptr;
  return call_blocking(
      self,
      [&](graph::Graph& g) -> DbResult<ArrowReply> {
        auto batch = label ? labelled_nodes_batch(g, *label) : [&]() -> DbResult<arrow_export::RecordBatch> {
          auto rows = node_summaries(g);
          if (!rows) return std::unexpected(std::move(rows.error()));
          return arrow_export::nodes_to_arrow(std::span<const arrow_export::NodeSummary>(*rows));
        }();
        if (!batch) return std::unexpected(std::move(batch.error()));
        std::vector<arrow_export::RecordBatch> batches;
        batches.push_back(std::move(*batch));
        return encode(std::move(batches), /*prefix_errors=*/true);
      },
      [](const ArrowReply& reply) { return reply_to_py(reply, false); });
}

PyObject* edges_to_arrow(PyObject* self, PyObject*) {
  return call_blocking(
      self,
      [](graph::Graph& g) -> DbResult<ArrowReply> {
        auto edges = all_edges(g);
        if (!edges) return std::unexpected(std::move(edges.error()));
        if (edges->empty()) return ArrowReply::failure(ArrowReply::Raise::Value, "No edges to export");
        auto batch = arrow_export::edges_to_arrow(*edges);
        if (!batch) return std::unexpected(std::move(batch.error()));
        edges->clear();
        std::vector<arrow_export::RecordBatch> batches;
        batches.push_back(std::move(*batch));
        return encode(std::move(batches), /*prefix_errors=*/false);
      },
      [](const ArrowReply& reply) { return reply_to_py(reply, false); });
}

PyObject* to_arrow_complete(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr Param kParams[] = {{"label", false}};
  PyObject* a[1] = {};
  if (!bind_args("to_arrow_complete", kParams, args, nargsf, kwnames, a)) return nullptr;
  std::optional<std::string> label;
  if (!optional_label(a[0], label)) return nullptr;
  return call_blocking(
      self,
      [&](graph::Graph& g) -> DbResult<ArrowReply> {
        auto nodes = label ? g.nodes_with_label(*label).collect() : g.nodes().collect();
        if (!nodes) return std::unexpected(std::move(nodes.error()));
        auto edges = all_edges(g);
        if (!edges) return std::unexpected(std::move(edges.error()));
        auto pair = arrow_export::graph_to_arrow(*nodes, *edges, label);
        if (!pair) return std::unexpected(std::move(pair.error()));
        nodes->clear();
        edges->clear();
        std::vector<arrow_export::RecordBatch> batches;
        batches.push_back(std::move(pair->first));
        batches.push_back(std::move(pair->second));
        return encode(std::move(batches), /*prefix_errors=*/false);
      },
      [](const ArrowReply& reply) { return reply_to_py(reply, true); });
}

const PyMethodDef kArrowMethods[] = {
    method_def<to_arrow>("to_arrow",
     "to_arrow($self, label=None)\n--\n\n"
     "Export graph to Apache Arrow format\n"
     "\n"
     "Returns bytes in Arrow IPC stream format.\n"
     "Load in Python with: pyarrow.ipc.open_stream(bytes)\n"
     "\n"
     "Returns:\n"
     "    bytes: Arrow IPC stream\n"
     "\n"
     "Example:\n"
     "    >>> import pyarrow as pa\n"
     "    >>> arrow_bytes = graph.to_arrow()\n"
     "    >>> reader = pa.ipc.open_stream(arrow_bytes)\n"
     "    >>> batch = reader.read_next_batch()\n"
     "    >>> df = batch.to_pandas()"),
    method_def<edges_to_arrow>("edges_to_arrow", "edges_to_arrow($self)\n--\n\nExport edges to Arrow format"),
    method_def<to_arrow_complete>("to_arrow_complete",
     "to_arrow_complete($self, label=None)\n--\n\n"
     "Export complete graph (nodes + edges) to Arrow format\n"
     "\n"
     "Returns: (nodes_bytes, edges_bytes)"),
};

}  // namespace

std::span<const PyMethodDef> graph_arrow_methods() { return kArrowMethods; }

}  // namespace zudizid::python
