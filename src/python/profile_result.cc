// ProfileResult: the Python view of one PROFILE record. Read-only; every
// property builds a new object from the record with the interpreter lock
// held.
#include <fmt/format.h>

#include "python/graph_call.h"
#include "python/method_def.h"
#include "python/pyclass.h"
#include "python/zql_result.h"

namespace zudizid::python {

namespace {

using query::zql::executor::ProfileResult;

template <class F>
PyObject* with_profile(PyObject* self, F&& f) {
  auto borrow = SharedBorrow::take<ProfileResult>(self);
  if (!borrow) return nullptr;
  return f(value_of<ProfileResult>(self));
}

PyObject* profile_plan(PyObject* self, void*) {
  return with_profile(self, [](const ProfileResult& p) { return str_to_py(p.plan); });
}
PyObject* profile_statement_type(PyObject* self, void*) {
  return with_profile(self, [](const ProfileResult& p) { return str_to_py(p.statement_type); });
}
PyObject* profile_execution_ms(PyObject* self, void*) {
  return with_profile(self, [](const ProfileResult& p) { return PyFloat_FromDouble(p.execution_ms); });
}
PyObject* profile_rows_returned(PyObject* self, void*) {
  return with_profile(self, [](const ProfileResult& p) { return u64_to_py(p.rows_returned); });
}
PyObject* profile_columns(PyObject* self, void*) {
  return with_profile(self, [](const ProfileResult& p) { return strings_to_py(p.columns); });
}
PyObject* profile_path_query(PyObject* self, void*) {
  return with_profile(self, [](const ProfileResult& p) { return PyBool_FromLong(p.path_query); });
}
PyObject* profile_path_metrics(PyObject* self, void*) {
  return with_profile(self, [](const ProfileResult& p) {
    return p.path_metrics ? property_value_to_py(*p.path_metrics) : none_to_py();
  });
}
PyObject* profile_repr(PyObject* self) {
  return with_profile(self, [](const ProfileResult& p) {
    return str_to_py(fmt::format("<ProfileResult: {} rows, {:.3f} ms>", p.rows_returned, p.execution_ms));
  });
}

PyGetSetDef profile_getset[] = {
    {"plan", reinterpret_cast<getter>(guarded<profile_plan>), nullptr, nullptr, nullptr},
    {"statement_type", reinterpret_cast<getter>(guarded<profile_statement_type>), nullptr, nullptr, nullptr},
    {"execution_ms", reinterpret_cast<getter>(guarded<profile_execution_ms>), nullptr, nullptr, nullptr},
    {"rows_returned", reinterpret_cast<getter>(guarded<profile_rows_returned>), nullptr, nullptr, nullptr},
    {"columns", reinterpret_cast<getter>(guarded<profile_columns>), nullptr, nullptr, nullptr},
    {"path_query", reinterpret_cast<getter>(guarded<profile_path_query>), nullptr, nullptr, nullptr},
    {"path_metrics", reinterpret_cast<getter>(guarded<profile_path_metrics>), nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot profile_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for PROFILE result")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<ProfileResult>)},
    {Py_tp_repr, slot_fn<profile_repr>()},
    {Py_tp_getset, profile_getset},
    {0, nullptr},
};
PyType_Spec profile_spec = {"builtins.ProfileResult", static_cast<int>(sizeof(Instance<ProfileResult>)), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, profile_slots};
PyObject* g_profile_type = nullptr;

}  // namespace

PyTypeObject* profile_result_type() { return cached_type(g_profile_type, &profile_spec); }

PyObject* new_profile_result(const ProfileResult& record) {
  PyTypeObject* type = profile_result_type();
  return type ? new_instance(type, record) : nullptr;
}

}  // namespace zudizid::python
