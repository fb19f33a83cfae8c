#include "python/graph.h"

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

PyType_Slot graph_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for ZudizID Graph")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<GraphSlot>)},
    {Py_tp_repr, reinterpret_cast<void*>(graph_repr)},
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

PyTypeObject* graph_type() { return cached_type(g_graph_type, &graph_spec); }

}  // namespace zudizid::python
