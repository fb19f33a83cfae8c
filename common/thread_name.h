// Naming the calling thread. Linux keeps at most 15 bytes of a thread name;
// longer names are truncated (at a UTF-8 boundary), and a failure to set the
// name is ignored: it never stops a thread from running.
#pragma once

#include <string_view>

namespace zudizid::common {

void set_current_thread_name(std::string_view name);

}  // namespace zudizid::common
