// A method entry point that no C++ exception leaves: an allocation failure
// while converting arguments or results becomes MemoryError, anything else
// the binding layer's fatal-error exception. The host process never aborts.
#pragma once

#include <exception>
#include <new>

#include "python/graph_call.h"

namespace zudizid::python {

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <FastMethod F>
PyObject* no_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    return F(self, args, nargs, kwnames);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_fatal(e.what());
  } catch (...) {
    return raise_fatal("unknown C++ exception");
  }
}

// The table entry of a METH_FASTCALL | METH_KEYWORDS method.
template <FastMethod F>
PyMethodDef fast_method(const char* name, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(no_throw<F>)), METH_FASTCALL | METH_KEYWORDS,
          doc};
}

}  // namespace zudizid::python
