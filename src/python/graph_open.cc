#include "python/graph_methods.h"

namespace zudizid::python {

std::span<const PyMethodDef> graph_open_methods() { return {}; }

}  // namespace zudizid::python
