// Every entry point the interpreter calls with arguments to convert (method
// table entries, repr slots and the module's exec step) is registered
// through this header, so that each one runs inside the no-throw frame
// (deallocators convert nothing and stay plain functions):
//
//   const PyMethodDef kMethods[] = {
//       method_def<node_count>("node_count", kNodeCountDoc),            // (self, unused): METH_NOARGS
//       method_def<upsert>("upsert", kUpsertDoc),                       // vectorcall: METH_FASTCALL | METH_KEYWORDS
//       method_def<open>("open", kOpenDoc, Binding::Static),            // the same, METH_STATIC
//   };
//   {Py_tp_repr, slot_fn<repr>()},
//
// The frame's rules:
// - No ordinary C++ exception reaches the interpreter: an allocation failure
//   becomes MemoryError, any other exception the binding layer's fatal-error
//   exception (SystemError); the entry point then returns nullptr (or -1).
// - A forced unwind (abi::__forced_unwind) passes through untouched. The
//   interpreter ends a thread that tries to take the interpreter lock back
//   while it is finalising by `pthread_exit`, which unwinds the thread's
//   stack; a frame that swallowed that unwind, or a `noexcept` frame on its
//   path, would abort the whole process. Every frame between a release of
//   the lock and the interpreter therefore stays free of `noexcept` and of
//   `catch (...)` that does not rethrow (see GilRelease in py.h).
#pragma once

#include <cxxabi.h>

#include <exception>
#include <new>
#include <type_traits>

#include "python/py.h"

namespace zudizid::python {

namespace detail {

template <class R>
R failed_entry() {
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    return -1;
  }
}

template <auto F>
struct Frame;

template <class R, class... A, R (*F)(A...)>
struct Frame<F> {
  static R call(A... args) {
    try {
      return F(args...);
    } catch (abi::__forced_unwind&) {
      throw;  // the thread is being ended; let it go
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::exception& e) {
      raise_fatal(e.what());
    } catch (...) {
      raise_fatal("unknown C++ exception");
    }
    return failed_entry<R>();
  }
};

using FastFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using NoArgsFn = PyObject* (*)(PyObject*, PyObject*);

}  // namespace detail

// F behind the no-throw frame, as a function of F's own signature.
template <auto F>
constexpr auto guarded = &detail::Frame<F>::call;

// A type slot's function (tp_repr, ...) behind the no-throw frame.
template <auto F>
void* slot_fn() {
  return reinterpret_cast<void*>(guarded<F>);
}

enum class Binding { Instance, Static };

// The method-table entry of F. F is either a vectorcall method (self, args,
// nargsf, kwnames), registered with METH_FASTCALL | METH_KEYWORDS, or a
// method without arguments (self, unused), registered with METH_NOARGS.
template <auto F>
PyMethodDef method_def(const char* name, const char* doc, Binding binding = Binding::Instance) {
  int flags;
  if constexpr (std::is_same_v<decltype(F), detail::FastFn>) {
    flags = METH_FASTCALL | METH_KEYWORDS;
  } else {
    static_assert(std::is_same_v<decltype(F), detail::NoArgsFn>, "unsupported method signature");
    flags = METH_NOARGS;
  }
  if (binding == Binding::Static) flags |= METH_STATIC;
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<F>)), flags, doc};
}

}  // namespace zudizid::python
