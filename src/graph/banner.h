// The welcome banner written to standard output by a directory open when
// ZUDIZID_FIRST_RUN is set.
#pragma once

#include <cstdio>
#include <string_view>

namespace zudizid::graph {

std::string_view first_run_banner();

// Writes the banner to `out` when ZUDIZID_FIRST_RUN is set (empty value
// included) and holds valid UTF-8; returns whether it was written.
bool maybe_print_first_run_banner(std::FILE* out = stdout);

}  // namespace zudizid::graph
