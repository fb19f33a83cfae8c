// Which log implementation engine start uses: the persistent segmented log,
// unless a test installs another backend (such as the in-process stand-in).
#include <atomic>

#include "kv/pagecache/log_api.h"
#include "kv/pagecache/logger_backend.h"

namespace kelm::pagecache {

namespace {
std::atomic<LogBackend*> g_backend{nullptr};
}

LogBackend& log_backend() {
  if (LogBackend* b = g_backend.load(std::memory_order_acquire)) return *b;
  return segmented_backend();
}

void set_log_backend(LogBackend* backend) { g_backend.store(backend, std::memory_order_release); }

}  // namespace kelm::pagecache
