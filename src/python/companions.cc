// Type objects of the companion classes whose behaviour is not built yet:
// they carry their final names and documentation and cannot be instantiated.
// (Transaction and BulkLoader live in transaction.cc and bulk_loader.cc,
// ELReasoner and Inference in el_reasoner.cc, ZqlResult, QueryResult and
// the result iterator in zql_result.cc.)
#include "python/pyclass.h"

namespace zudizid::python {

namespace {

struct Pending {};  // the wrapped value of a class whose behaviour is not built yet

template <int N>
struct PlainType {
  static inline PyType_Slot slots[3];
  static inline PyType_Spec spec;
  static inline PyObject* cell = nullptr;

  static PyTypeObject* get(const char* name, const char* doc) {
    if (!cell) {
      int i = 0;
      if (doc && *doc) slots[i++] = {Py_tp_doc, const_cast<char*>(doc)};
      slots[i++] = {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<Pending>)};
      slots[i] = {0, nullptr};
      spec = {name, static_cast<int>(sizeof(Instance<Pending>)), 0,
              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    }
    return cached_type(cell, &spec);
  }
};

}  // namespace

PyTypeObject* profile_result_type() { return PlainType<2>::get("builtins.ProfileResult", "Python wrapper for PROFILE result"); }

}  // namespace zudizid::python
