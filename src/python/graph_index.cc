#include "python/graph_methods.h"

namespace zudizid::python {

std::span<const PyMethodDef> graph_index_methods() { return {}; }

}  // namespace zudizid::python
