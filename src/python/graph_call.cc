#include "python/graph_call.h"

#include <fmt/format.h>

namespace zudizid::python {

PyObject* raise_db_error(const DbError& error) { return raise(PyExc_RuntimeError, error.display()); }

PyObject* none_to_py() { Py_RETURN_NONE; }

PyObject* str_to_py(std::string_view s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* u64_to_py(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

PyObject* strings_to_py(const std::vector<std::string>& items) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* s = str_to_py(items[i]);
    if (!s) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
  }
  return list.release();
}

}  // namespace zudizid::python
