// Graph methods of the Arrow group: `to_arrow`, `edges_to_arrow`,
// `to_arrow_complete`. Reading, building the batches and encoding the IPC
// streams all run with the interpreter lock released; the lock is taken back
// only to turn the finished byte strings into `bytes` objects.
#include <optional>
#include <string>
#include <vector>

#include "arrow_export/edge_batches.h"
#include "arrow_export/ipc_stream.h"
#include "arrow_export/node_batches.h"
#include "python/args.h"
#include "python/graph_call.h"
#include "python/graph_methods.h"
#include "python/method_def.h"

namespace zudizid::python {

namespace {

using arrow_export::IpcStage;

// What a body hands back: the encoded streams, or the Python exception to
// raise (engine errors travel as DbError and become RuntimeError instead).
struct ArrowReply {
  std::vector<std::string> streams;
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

// Encodes each batch in order into `reply`; the first failure replaces
// whatever was encoded before it.
template <class Batches>
ArrowReply encode(const Batches& batches, bool prefix_errors) {
  ArrowReply reply;
  for (const arrow_export::RecordBatch& batch : batches) {
    auto bytes = arrow_export::write_ipc_stream(batch);
    if (!bytes) {
      return ArrowReply::failure(ArrowReply::Raise::Runtime,
                                 prefix_errors ? prefixed_writer_error(bytes.error()) : bytes.error().text);
    }
    reply.streams.push_back(std::move(*bytes));
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
  for (const std::string& s : reply.streams) {
    bytes.push_back(PyRef::steal(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()))));
    if (!bytes.back()) return nullptr;
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

// The property batch of the nodes labelled `label`, read through the label
// map. Without such nodes, the first node of the graph (if any) decides the
// error: "No nodes found with label" for a graph with nodes, "No nodes to
// export" for an empty one.
DbResult<arrow_export::RecordBatch> labelled_nodes_batch(const graph::Graph& g, const std::string& label) {
  auto nodes = g.nodes_with_label(label).collect();
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
        auto batch = label ? labelled_nodes_batch(g, *label) : [&] {
          auto nodes = g.nodes();
          return arrow_export::nodes_to_arrow(nodes);
        }();
        if (!batch) return std::unexpected(std::move(batch.error()));
        return encode(std::span(&*batch, 1), /*prefix_errors=*/true);
      },
      [](const ArrowReply& reply) { return reply_to_py(reply, false); });
}

PyObject* edges_to_arrow(PyObject* self, PyObject*) {
  return call_blocking(
      self,
      [](graph::Graph& g) -> DbResult<ArrowReply> {
        auto edges = g.scan_edges();
        if (!edges) return std::unexpected(std::move(edges.error()));
        if (edges->empty()) return ArrowReply::failure(ArrowReply::Raise::Value, "No edges to export");
        auto batch = arrow_export::edges_to_arrow(*edges);
        if (!batch) return std::unexpected(std::move(batch.error()));
        edges->clear();
        return encode(std::span(&*batch, 1), /*prefix_errors=*/false);
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
        auto edges = g.scan_edges();
        if (!edges) return std::unexpected(std::move(edges.error()));
        auto pair = arrow_export::graph_to_arrow(*nodes, *edges, label);
        if (!pair) return std::unexpected(std::move(pair.error()));
        nodes->clear();
        edges->clear();
        const arrow_export::RecordBatch* batches[] = {&pair->first, &pair->second};
        ArrowReply reply;
        for (const auto* batch : batches) {
          ArrowReply one = encode(std::span(batch, 1), /*prefix_errors=*/false);
          if (one.raise != ArrowReply::Raise::Nothing) return one;
          reply.streams.push_back(std::move(one.streams[0]));
        }
        return reply;
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
