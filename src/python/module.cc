// The extension module `zudizid`: multi-phase initialisation with one
// execution step that adds the classes and the version, in this order, each
// name also appended to `__all__`. Nothing else runs at import.
#include "python/method_def.h"
#include "python/pyclass.h"

namespace zudizid::python {

namespace {

constexpr const char* kVersion = "0.4.33";

// Appends `name` to the module's __all__ (creating it when absent), then sets
// the attribute. Steals `value`.
int add_attribute(PyObject* module, const char* name, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  if (!owned) return -1;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  if (!PyList_Check(all.get())) {
    raise(PyExc_TypeError, "`__all__` must be a list");
    return -1;
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) return -1;
  return PyObject_SetAttrString(module, name, owned.get());
}

int add_class(PyObject* module, const char* name, PyTypeObject* type) {
  if (!type) return -1;
  Py_INCREF(type);
  return add_attribute(module, name, reinterpret_cast<PyObject*>(type));
}

int module_exec(PyObject* module) {
  if (!PyModule_Check(module)) {
    raise(PyExc_TypeError, "module_exec expects a module object");
    return -1;
  }
  if (add_class(module, "Graph", graph_type()) < 0) return -1;
  if (add_class(module, "ZqlResult", zql_result_type()) < 0) return -1;
  if (add_class(module, "ProfileResult", profile_result_type()) < 0) return -1;
  if (add_class(module, "QueryResult", query_result_type()) < 0) return -1;
  if (add_class(module, "Transaction", transaction_type()) < 0) return -1;
  if (add_class(module, "BulkLoader", bulk_loader_type()) < 0) return -1;
  if (add_class(module, "ELReasoner", el_reasoner_type()) < 0) return -1;
  if (add_class(module, "Inference", inference_type()) < 0) return -1;
  return add_attribute(module, "__version__", PyUnicode_FromString(kVersion));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, slot_fn<module_exec>()},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "zudizid",
    "ZudizID Python module",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace zudizid::python

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_zudizid() {
  return PyModuleDef_Init(&zudizid::python::module_def);
}
