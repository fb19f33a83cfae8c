#include "python/graph.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "python/graph_methods.h"
#include "python/method_def.h"

namespace zudizid::python {

std::shared_ptr<graph::Graph> graph_handle(PyObject* self) {
  GraphSlot& slot = value_of<GraphSlot>(self);
  std::lock_guard lock(slot.mu);
  if (slot.poisoned) {
    raise(PyExc_RuntimeError, "Graph mutex poisoned");
    return nullptr;
  }
  if (!slot.handle) {
    raise(PyExc_RuntimeError, "Graph is closed");
    return nullptr;
  }
  return slot.handle;
}

namespace {

PyObject* graph_repr(PyObject* self) {
  auto borrow = SharedBorrow::take<GraphSlot>(self);
  if (!borrow) {
    PyErr_Clear();
    return PyUnicode_FromString("<ZudizID Graph (closed)>");
  }
  GraphSlot& slot = value_of<GraphSlot>(self);
  bool open;
  {
    std::lock_guard lock(slot.mu);
    open = !slot.poisoned && slot.handle != nullptr;
  }
  return PyUnicode_FromString(open ? "<ZudizID Graph>" : "<ZudizID Graph (closed)>");
}

// The class's method order (what `Graph.__dict__` shows).
constexpr std::string_view kMethodOrder[] = {
    "open", "open_with_profile", "open_with_options", "in_memory", "in_memory_with_profile",
    "in_memory_with_options", "execute_zql", "begin_transaction", "node_count", "to_arrow", "edges_to_arrow",
    "to_arrow_complete", "bulk_loader", "get_labels", "get_edge_types", "get_schema", "get_label_properties",
    "get_label_count", "get_edge_type_properties", "get_edge_type_count", "rebuild_schema", "create_index",
    "drop_index", "list_indexes", "get_stats", "close", "__enter__", "__exit__", "add_node_embedding",
    "add_edge_embedding", "add_path_reference_embedding", "get_node_embedding", "knn_nodes", "import_turtle",
    "upsert", "upsert_many", "search_hybrid", "delete",
};

size_t method_rank(const char* name) {
  auto it = std::find(std::begin(kMethodOrder), std::end(kMethodOrder), std::string_view(name));
  return static_cast<size_t>(it - std::begin(kMethodOrder));
}

// The groups' tables joined in the class's method order, with the sentinel;
// built once, under the interpreter lock, before the type is created.
PyMethodDef* graph_method_table() {
  static std::vector<PyMethodDef> table = [] {
    std::vector<PyMethodDef> all;
    for (auto group : {graph_open_methods(), graph_txn_methods(), graph_stats_methods(), graph_upsert_methods(),
                       graph_embedding_methods(), graph_vector_methods(), graph_schema_methods(),
                       graph_index_methods(), graph_arrow_methods(), graph_ontology_methods(), graph_zql_methods()}) {
      all.insert(all.end(), group.begin(), group.end());
    }
    std::stable_sort(all.begin(), all.end(), [](const PyMethodDef& a, const PyMethodDef& b) {
      return method_rank(a.ml_name) < method_rank(b.ml_name);
    });
    all.push_back({nullptr, nullptr, 0, nullptr});
    return all;
  }();
  return table.data();
}

PyType_Slot graph_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for ZudizID Graph")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<GraphSlot>)},
    {Py_tp_repr, slot_fn<graph_repr>()},
    {Py_tp_methods, nullptr},  // filled by graph_type()
    {0, nullptr},
};

PyType_Spec graph_spec = {
    "builtins.Graph",
    static_cast<int>(sizeof(PyGraph)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    graph_slots,
};

PyObject* g_graph_type = nullptr;

}  // namespace

PyTypeObject* graph_type() {
  for (PyType_Slot& slot : graph_slots) {
    if (slot.slot == Py_tp_methods) slot.pfunc = graph_method_table();
  }
  return cached_type(g_graph_type, &graph_spec);
}

}  // namespace zudizid::python
