#include "common/thread_name.h"

#include <pthread.h>

#include <string>

namespace zudizid::common {

void set_current_thread_name(std::string_view name) {
  size_t len = name.size() < 15 ? name.size() : 15;
  // Do not cut a multi-byte character in half.
  while (len > 0 && len < name.size() && (static_cast<unsigned char>(name[len]) & 0xC0) == 0x80) --len;
  std::string truncated(name.substr(0, len));
  (void)pthread_setname_np(pthread_self(), truncated.c_str());
}

}  // namespace zudizid::common
