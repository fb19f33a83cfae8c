// Heap types for the module's classes and the instances that wrap a C++ value.
//
// Every instance is laid out as the object header, the binding's borrow
// counter (0 free, n > 0 shared borrows, -1 exclusive) and the wrapped value.
// Type objects are created from their specifications on first use, with the
// interpreter lock held, and live for the rest of the process.
#pragma once

#include <new>
#include <optional>
#include <utility>

#include "python/py.h"

namespace zudizid::python {

template <class T>
struct Instance {
  PyObject_HEAD
  Py_ssize_t borrow;
  T value;
};

template <class T>
T& value_of(PyObject* self) {
  return reinterpret_cast<Instance<T>*>(self)->value;
}

// Frees an instance: drops the wrapped value, then the memory through the
// type's own free slot, then the heap type's reference.
template <class T>
void dealloc_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Instance<T>*>(self)->value.~T();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// Allocates an instance of `type` holding `value`; on failure the value is
// dropped and nullptr returned with the interpreter's error set.
template <class T>
PyObject* new_instance(PyTypeObject* type, T value) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (!self) return nullptr;
  auto* inst = reinterpret_cast<Instance<T>*>(self);
  inst->borrow = 0;
  new (&inst->value) T(std::move(value));
  return self;
}

// The same for values built in place (e.g. holding a mutex): the instance's
// value is default-constructed, then `init(value)` fills it.
template <class T, class Init>
PyObject* new_instance_with(PyTypeObject* type, Init&& init) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (!self) return nullptr;
  auto* inst = reinterpret_cast<Instance<T>*>(self);
  inst->borrow = 0;
  new (&inst->value) T();
  std::forward<Init>(init)(inst->value);
  return self;
}

// A shared borrow of an instance for the duration of a method.
class SharedBorrow {
 public:
  // nullopt with RuntimeError "Already mutably borrowed" while an exclusive
  // borrow is held.
  template <class T>
  static std::optional<SharedBorrow> take(PyObject* self) {
    return take_counter(&reinterpret_cast<Instance<T>*>(self)->borrow);
  }
  SharedBorrow(SharedBorrow&& o) noexcept : counter_(std::exchange(o.counter_, nullptr)) {}
  ~SharedBorrow() {
    if (counter_) --*counter_;
  }

 private:
  explicit SharedBorrow(Py_ssize_t* c) : counter_(c) {}
  static std::optional<SharedBorrow> take_counter(Py_ssize_t* counter);
  Py_ssize_t* counter_;
};

// An exclusive borrow (methods that change the wrapped value).
class ExclusiveBorrow {
 public:
  // nullopt with RuntimeError "Already borrowed" while any borrow is held.
  template <class T>
  static std::optional<ExclusiveBorrow> take(PyObject* self) {
    return take_counter(&reinterpret_cast<Instance<T>*>(self)->borrow);
  }
  ExclusiveBorrow(ExclusiveBorrow&& o) noexcept : counter_(std::exchange(o.counter_, nullptr)) {}
  ~ExclusiveBorrow() {
    if (counter_) *counter_ = 0;
  }

 private:
  explicit ExclusiveBorrow(Py_ssize_t* c) : counter_(c) {}
  static std::optional<ExclusiveBorrow> take_counter(Py_ssize_t* counter);
  Py_ssize_t* counter_;
};

// Creates the heap type from `spec` once; later calls return the same object.
// Returns nullptr with the interpreter's error set when creation fails.
PyTypeObject* cached_type(PyObject*& cell, PyType_Spec* spec);

// The type objects of the module's classes (created on first call).
PyTypeObject* graph_type();
PyTypeObject* zql_result_type();
PyTypeObject* profile_result_type();
PyTypeObject* query_result_type();
PyTypeObject* transaction_type();
PyTypeObject* bulk_loader_type();
PyTypeObject* el_reasoner_type();
PyTypeObject* inference_type();
PyTypeObject* result_iterator_type();

}  // namespace zudizid::python
