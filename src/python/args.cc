#include "python/args.h"

#include <fmt/format.h>

#include <cstring>
#include <string>

namespace zudizid::python {

bool bind_args(const char* function, std::span<const Param> params, PyObject* const* args, Py_ssize_t nargsf,
               PyObject* kwnames, PyObject** out) {
  const size_t n = params.size();
  for (size_t i = 0; i < n; ++i) out[i] = nullptr;

  Py_ssize_t npos = PyVectorcall_NARGS(nargsf);
  if (static_cast<size_t>(npos) > n) {
    raise(PyExc_TypeError, fmt::format("{}() takes {} positional argument{} but {} were given", function, n,
                                       n == 1 ? "" : "s", npos));
    return false;
  }
  for (Py_ssize_t i = 0; i < npos; ++i) out[i] = args[i];

  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    const char* name = PyUnicode_AsUTF8(key);
    if (!name) return false;
    size_t i = 0;
    while (i < n && std::strcmp(params[i].name, name) != 0) ++i;
    if (i == n) {
      raise(PyExc_TypeError, fmt::format("{}() got an unexpected keyword argument '{}'", function, name));
      return false;
    }
    if (out[i]) {
      raise(PyExc_TypeError, fmt::format("{}() got multiple values for argument '{}'", function, name));
      return false;
    }
    out[i] = args[npos + k];
  }

  for (size_t i = 0; i < n; ++i) {
    if (params[i].required && !out[i]) {
      raise(PyExc_TypeError,
            fmt::format("{}() missing 1 required positional argument: '{}'", function, params[i].name));
      return false;
    }
  }
  return true;
}

bool extract_str(PyObject* obj, const char* param, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    raise(PyExc_TypeError, fmt::format("'{}' object cannot be converted to 'str'", type_name(obj)));
    add_note_to_current(fmt::format("while processing '{}'", param));
    return false;
  }
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
  if (!utf8) {  // e.g. lone surrogates
    add_note_to_current(fmt::format("while processing '{}'", param));
    return false;
  }
  out.assign(utf8, static_cast<size_t>(len));
  return true;
}

std::optional<std::uint64_t> extract_u64(PyObject* obj, const char* param) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (index) {
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (!(v == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return v;
  }
  add_note_to_current(fmt::format("while processing '{}'", param));
  return std::nullopt;
}

}  // namespace zudizid::python
