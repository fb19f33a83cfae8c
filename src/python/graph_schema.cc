#include "python/graph_methods.h"

namespace zudizid::python {

std::span<const PyMethodDef> graph_schema_methods() { return {}; }

}  // namespace zudizid::python
