// Dropping engine state of a companion object (Transaction, BulkLoader)
// without the interpreter lock; `run_unlocked` (graph_call.h) runs their
// core steps.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

#include "python/graph_call.h"

namespace zudizid::python {

// Destroys `value` with the interpreter lock released: dropping the last
// clone of an engine handle joins the engine's threads.
template <class T>
void drop_unlocked(T&& value) {
  GilRelease unlocked;
  std::remove_cvref_t<T> gone(std::move(value));
}

// A new instance of `type` owning `value`; on failure the value is dropped
// without the interpreter lock and nullptr returned with the error set.
template <class T>
PyObject* wrap_unique(PyTypeObject* type, std::unique_ptr<T> value) {
  PyObject* obj = type ? new_instance(type, std::unique_ptr<T>{}) : nullptr;
  if (!obj) {
    drop_unlocked(std::move(value));
    return nullptr;
  }
  value_of<std::unique_ptr<T>>(obj) = std::move(value);
  return obj;
}

// The deallocator of an instance owning a `std::unique_ptr<T>` to engine
// state: the state is dropped without the interpreter lock (its destructor
// may roll back, flush or join engine threads), then the memory is freed.
template <class T>
void dealloc_unique_unlocked(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::unique_ptr<T> owned = std::move(value_of<std::unique_ptr<T>>(self));
  value_of<std::unique_ptr<T>>(self).~unique_ptr();
  if (owned) drop_unlocked(std::move(owned));
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

}  // namespace zudizid::python
