// The Python class `Graph`: a handle slot guarded by a mutex. Open methods
// fill the slot; close empties it for good.
#pragma once

#include <memory>
#include <mutex>

#include "python/pyclass.h"

namespace zudizid::graph {
class Graph;
}

namespace zudizid::python {

struct GraphSlot {
  std::mutex mu;
  bool poisoned = false;                     // guarded by mu
  std::shared_ptr<graph::Graph> handle;      // guarded by mu; empty once closed
};

using PyGraph = Instance<GraphSlot>;

// The call's own reference to the engine handle, or nullptr with
// RuntimeError "Graph is closed" / "Graph mutex poisoned" raised.
std::shared_ptr<graph::Graph> graph_handle(PyObject* self);

}  // namespace zudizid::python
