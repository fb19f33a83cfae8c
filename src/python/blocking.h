// Running one core step of a companion object (Transaction, BulkLoader)
// with the interpreter lock released, on the calling thread.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "common/runtime.h"
#include "python/graph_call.h"

namespace zudizid::python {

// Runs `body` (which must not touch Python objects) with the interpreter
// lock released and returns its result; a C++ exception escaping it becomes
// the binding's fatal-error exception and nullopt.
template <class Body>
std::optional<std::invoke_result_t<Body&>> run_unlocked(Body&& body) {
  std::optional<std::invoke_result_t<Body&>> result;
  std::optional<std::string> fatal;
  {
    GilRelease unlocked;
    try {
      result.emplace(common::block_on(body));
    } catch (const std::exception& e) {
      fatal = e.what();  // copied: the exception is gone after the handler
    } catch (...) {
      fatal = "unknown C++ exception";
    }
  }
  if (fatal) raise_fatal(fatal->c_str());
  return result;
}

// Destroys `value` with the interpreter lock released: dropping the last
// clone of an engine handle joins the engine's threads.
template <class T>
void drop_unlocked(T&& value) {
  GilRelease unlocked;
  std::remove_cvref_t<T> gone(std::move(value));
}

}  // namespace zudizid::python
