#include "python/pyclass.h"

namespace zudizid::python {

std::optional<SharedBorrow> SharedBorrow::take_counter(Py_ssize_t* counter) {
  if (*counter < 0) {
    raise(PyExc_RuntimeError, "Already mutably borrowed");
    return std::nullopt;
  }
  ++*counter;
  return SharedBorrow(counter);
}

std::optional<ExclusiveBorrow> ExclusiveBorrow::take_counter(Py_ssize_t* counter) {
  if (*counter != 0) {
    raise(PyExc_RuntimeError, "Already borrowed");
    return std::nullopt;
  }
  *counter = -1;
  return ExclusiveBorrow(counter);
}

PyTypeObject* cached_type(PyObject*& cell, PyType_Spec* spec) {
  if (!cell) cell = PyType_FromSpec(spec);
  return reinterpret_cast<PyTypeObject*>(cell);
}

}  // namespace zudizid::python
