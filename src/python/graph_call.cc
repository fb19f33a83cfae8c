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
  return list_to_py(items, [](const std::string& s) { return str_to_py(s); });
}

}  // namespace zudizid::python
