// Checks of a reload that do not depend on the element type.
#pragma once

#include <string>
#include <string_view>

#include "hnsw/hnsw/error.h"

namespace vantor::hnswio {

// The dump's distance against the asked one, by the last "::" piece of each
// name (a trailing "::" is ignored); an empty dumped name never matches.
// With compare false (the graph-only reload) only the asked pieces are logged.
Result<void> check_distance(std::string_view asked, std::string_view dumped, bool compare);

}  // namespace vantor::hnswio
