// Dropping engine state of a companion object (Transaction, BulkLoader)
// without the interpreter lock; `run_unlocked` (graph_call.h) runs their
// core steps.
#pragma once

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

}  // namespace zudizid::python
