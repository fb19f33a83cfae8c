// The frame every blocking `Graph` method runs in, after its arguments are
// matched and converted: take the call's own handle reference, release the
// interpreter lock, run the body on the runtime from this thread, take the
// lock back, and turn the outcome into a Python value or exception.
//
//   return call_blocking(self, [&](graph::Graph& g) { return graph::get_labels(g); },
//                        [](std::vector<std::string>& v) { return to_py_list(v); });
//
// The body runs without the interpreter lock: it must not touch Python
// objects. It returns a DbResult<T>; an error becomes RuntimeError with the
// error's display text. `to_py` runs with the lock held and returns a new
// reference (or nullptr with an exception set).
#pragma once

#include <cxxabi.h>

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "common/runtime.h"
#include "graph/graph.h"
#include "python/graph.h"
#include "storage/db_error.h"

namespace zudizid::python {

// Raises RuntimeError with the error's display text; returns nullptr.
PyObject* raise_db_error(const DbError& error);

// Runs `body` (which must not touch Python objects) with the interpreter
// lock released, on the calling thread through the runtime, and returns its
// result; a C++ exception escaping it becomes the binding's fatal-error
// exception and nullopt. A forced unwind (the thread ended while taking the
// lock back, see GilRelease) passes through.
template <class Body>
std::optional<std::invoke_result_t<Body&>> run_unlocked(Body&& body) {
  std::optional<std::invoke_result_t<Body&>> result;
  std::optional<std::string> fatal;
  {
    GilRelease unlocked;
    try {
      result.emplace(common::block_on(body));
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (const std::exception& e) {
      fatal = e.what();  // copied: the exception is gone after the handler
    } catch (...) {
      fatal = "unknown C++ exception";
    }
  }
  if (fatal) raise_fatal(fatal->c_str());
  return result;
}

// Runs `body` with the interpreter lock released on `handle` (already taken
// by the caller) and converts the result. See the file comment.
template <class Body, class ToPy>
PyObject* run_released(std::shared_ptr<graph::Graph> handle, Body&& body, ToPy&& to_py) {
  auto result = run_unlocked([&] {
    auto r = body(*handle);
    handle.reset();  // the engine may be torn down here, still without the lock
    return r;
  });
  if (!result) return nullptr;
  if (!result->has_value()) return raise_db_error(result->error());
  if constexpr (std::is_void_v<typename std::remove_cvref_t<decltype(*result)>::value_type>) {
    return std::forward<ToPy>(to_py)();
  } else {
    return std::forward<ToPy>(to_py)(**result);
  }
}

// The whole frame for a method of the `Graph` object `self` whose arguments
// are already converted: shared borrow, handle step, then `run_released`.
template <class Body, class ToPy>
PyObject* call_blocking(PyObject* self, Body&& body, ToPy&& to_py) {
  auto borrow = SharedBorrow::take<GraphSlot>(self);
  if (!borrow) return nullptr;
  std::shared_ptr<graph::Graph> handle = graph_handle(self);
  if (!handle) return nullptr;
  return run_released(std::move(handle), std::forward<Body>(body), std::forward<ToPy>(to_py));
}

// A new list of `convert(item)` for each item (each a new reference or
// nullptr with an exception set, which ends the build).
template <class Range, class Convert>
PyObject* list_to_py(const Range& items, Convert convert) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (const auto& item : items) {
    PyObject* converted = convert(item);
    if (!converted) return nullptr;
    PyList_SET_ITEM(list.get(), i++, converted);
  }
  return list.release();
}

// Common result conversions (new references; nullptr with an exception set).
PyObject* none_to_py();
PyObject* str_to_py(std::string_view s);
PyObject* u64_to_py(std::uint64_t v);
PyObject* strings_to_py(const std::vector<std::string>& items);

}  // namespace zudizid::python
