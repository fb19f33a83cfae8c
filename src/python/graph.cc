#include "python/graph.h"

#include <vector>

#include "python/graph_methods.h"

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

// The groups' tables joined, with the sentinel; built once, under the
// interpreter lock, before the type is created.
PyMethodDef* graph_method_table() {
  static std::vector<PyMethodDef> table = [] {
    std::vector<PyMethodDef> all;
    for (auto group : {graph_open_methods(), graph_txn_methods(), graph_stats_methods(), graph_upsert_methods(),
                       graph_embedding_methods(), graph_vector_methods(), graph_schema_methods(),
                       graph_index_methods()}) {
      all.insert(all.end(), group.begin(), group.end());
    }
    all.push_back({nullptr, nullptr, 0, nullptr});
    return all;
  }();
  return table.data();
}

PyType_Slot graph_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for ZudizID Graph")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<GraphSlot>)},
    {Py_tp_repr, reinterpret_cast<void*>(graph_repr)},
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
