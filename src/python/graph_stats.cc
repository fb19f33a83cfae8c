#include "python/graph_methods.h"

namespace zudizid::python {

std::span<const PyMethodDef> graph_stats_methods() { return {}; }

}  // namespace zudizid::python
