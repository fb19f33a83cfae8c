// Graph methods: storing and reading embedding vectors of nodes, edges and
// named path references. They write the key-value trees directly (no
// transaction, lock or log record); a stored vector becomes durable at the
// engine's next flush.
#include <fmt/format.h>

#include <optional>
#include <string>
#include <vector>

#include "graph/embeddings.h"
#include "python/args.h"
#include "python/convert.h"
#include "python/graph_call.h"
#include "python/graph_methods.h"
#include "python/method_def.h"

namespace zudizid::python {

namespace {

std::optional<std::vector<float>> extract_vector(PyObject* obj, const char* param) {
  auto v = py_to_vector(obj);
  if (!v) add_note_to_current(fmt::format("while processing '{}'", param));
  return v;
}

// "Invalid node_id UUID: {}" / "Invalid edge_id UUID: {}" as ValueError.
std::optional<Uuid> parse_id(const std::string& text, const char* param) {
  auto id = Uuid::parse(text);
  if (!id) {
    raise(PyExc_ValueError, fmt::format("Invalid {} UUID: {}", param, id.error()));
    return std::nullopt;
  }
  return *id;
}

// The store's vector rule, checked before the interpreter lock is released.
bool check_vector(const std::vector<float>& vector) {
  if (auto fault = graph::embedding_vector_fault(vector)) {
    raise(PyExc_ValueError, *fault);
    return false;
  }
  return true;
}

// None, or ValueError for a vector refused for its length.
PyObject* stored_to_py(const graph::LengthRefusal& refused) {
  if (refused) return raise(PyExc_ValueError, *refused);
  return none_to_py();
}

PyObject* floats_to_py(const std::vector<float>& vector) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(vector.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < vector.size(); ++i) {
    PyObject* f = PyFloat_FromDouble(static_cast<double>(vector[i]));
    if (!f) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), f);
  }
  return list.release();
}

// add_node_embedding and add_edge_embedding: (id, vector, model).
template <class Store>
PyObject* add_item_embedding(const char* method, const char* id_param, Store store, PyObject* self,
                             PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const Param params[] = {{id_param, true}, {"vector", true}, {"model", true}};
  PyObject* a[3];
  if (!bind_args(method, params, args, nargs, kwnames, a)) return nullptr;
  auto borrow = SharedBorrow::take<GraphSlot>(self);
  if (!borrow) return nullptr;
  std::string id_text, model;
  if (!extract_str(a[0], id_param, id_text)) return nullptr;
  auto vector = extract_vector(a[1], "vector");
  if (!vector || !extract_str(a[2], "model", model)) return nullptr;

  std::shared_ptr<graph::Graph> handle = graph_handle(self);
  if (!handle) return nullptr;
  auto id = parse_id(id_text, id_param);
  if (!id || !check_vector(*vector)) return nullptr;

  return run_released(
      std::move(handle), [&](graph::Graph& g) { return store(g, *id, std::move(*vector), model); }, stored_to_py);
}

PyObject* graph_add_node_embedding(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return add_item_embedding("add_node_embedding", "node_id", graph::store_node_embedding, self, args, nargs, kwnames);
}

PyObject* graph_add_edge_embedding(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return add_item_embedding("add_edge_embedding", "edge_id", graph::store_edge_embedding, self, args, nargs, kwnames);
}

PyObject* graph_add_path_reference_embedding(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) {
  static constexpr Param params[] = {{"name", true}, {"node_model", true}, {"edge_model", true}, {"vector", true}};
  PyObject* a[4];
  if (!bind_args("add_path_reference_embedding", params, args, nargs, kwnames, a)) return nullptr;
  auto borrow = SharedBorrow::take<GraphSlot>(self);
  if (!borrow) return nullptr;
  std::string name, node_model, edge_model;
  if (!extract_str(a[0], "name", name) || !extract_str(a[1], "node_model", node_model) ||
      !extract_str(a[2], "edge_model", edge_model)) {
    return nullptr;
  }
  auto vector = extract_vector(a[3], "vector");
  if (!vector) return nullptr;

  std::shared_ptr<graph::Graph> handle = graph_handle(self);
  if (!handle) return nullptr;
  // The reference rule is the engine's own (its refusals are engine errors).
  return run_released(
      std::move(handle),
      [&](graph::Graph& g) {
        return graph::store_path_reference_embedding(g, name, node_model, edge_model, std::move(*vector));
      },
      stored_to_py);
}

PyObject* graph_get_node_embedding(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Param params[] = {{"node_id", true}, {"model", true}};
  PyObject* a[2];
  if (!bind_args("get_node_embedding", params, args, nargs, kwnames, a)) return nullptr;
  auto borrow = SharedBorrow::take<GraphSlot>(self);
  if (!borrow) return nullptr;
  std::string id_text, model;
  if (!extract_str(a[0], "node_id", id_text) || !extract_str(a[1], "model", model)) return nullptr;

  std::shared_ptr<graph::Graph> handle = graph_handle(self);
  if (!handle) return nullptr;
  auto id = parse_id(id_text, "node_id");
  if (!id) return nullptr;

  return run_released(
      std::move(handle), [&](graph::Graph& g) { return graph::get_node_embedding(g, *id, model); },
      [](const Embedding& e) { return floats_to_py(e.vector); });
}

constexpr const char* kAddNodeEmbeddingDoc =
    "add_node_embedding($self, node_id, vector, model)\n--\n\n"
    "Agrega un embedding vectorial a un nodo existente.\n\n"
    "Args:\n"
    "    node_id (str): UUID del nodo.\n"
    "    vector (list[float]): vector de embedding.\n"
    "    model (str): nombre del modelo que produjo el vector.\n\n"
    "Example:\n"
    "    >>> g.add_node_embedding(node_id, [0.5, 0.25, 1.0], \"mini-lm\")\n";

constexpr const char* kAddEdgeEmbeddingDoc =
    "add_edge_embedding($self, edge_id, vector, model)\n--\n\n"
    "Agrega un embedding vectorial a una arista existente.\n\n"
    "Args:\n"
    "    edge_id (str): UUID de la arista.\n"
    "    vector (list[float]): vector de embedding.\n"
    "    model (str): nombre del modelo que produjo el vector.\n\n"
    "Example:\n"
    "    >>> g.add_edge_embedding(edge_id, [0.5, 0.25], \"rel-model\")\n";

constexpr const char* kAddPathReferenceEmbeddingDoc =
    "add_path_reference_embedding($self, name, node_model, edge_model, vector)\n--\n\n"
    "Persiste un embedding de referencia de path para usar con\n"
    "`path_embedding_similarity`, `path_knn_references` y `path_anomaly_score`.\n\n"
    "El vector debe tener dimensi\xc3\xb3n = dim(node_model) * 2 + dim(edge_model) * 2\n"
    "(concatenaci\xc3\xb3n media-nodos || media-aristas, formato E-7).\n\n"
    "Args:\n"
    "    name (str): nombre de la referencia.\n"
    "    node_model (str): modelo de los embeddings de nodos.\n"
    "    edge_model (str): modelo de los embeddings de aristas.\n"
    "    vector (list[float]): vector de referencia.\n\n"
    "Example:\n"
    "    >>> g.add_path_reference_embedding(\"fraude\", \"node-m\", \"edge-m\", ref_vector)\n";

constexpr const char* kGetNodeEmbeddingDoc =
    "get_node_embedding($self, node_id, model)\n--\n\n"
    "Recupera el vector de embedding de un nodo.\n\n"
    "Args:\n"
    "    node_id (str): UUID del nodo.\n"
    "    model (str): nombre del modelo.\n\n"
    "Returns:\n"
    "    list[float]: Vector de embedding.\n\n"
    "Example:\n"
    "    >>> g.get_node_embedding(node_id, \"mini-lm\")\n"
    "    [0.5, 0.25, 1.0]\n";

const PyMethodDef kEmbeddingsMethods[] = {
    method_def<graph_add_node_embedding>("add_node_embedding", kAddNodeEmbeddingDoc),
    method_def<graph_add_edge_embedding>("add_edge_embedding", kAddEdgeEmbeddingDoc),
    method_def<graph_add_path_reference_embedding>("add_path_reference_embedding", kAddPathReferenceEmbeddingDoc),
    method_def<graph_get_node_embedding>("get_node_embedding", kGetNodeEmbeddingDoc),
};

}  // namespace

std::span<const PyMethodDef> graph_embedding_methods() { return kEmbeddingsMethods; }

}  // namespace zudizid::python
